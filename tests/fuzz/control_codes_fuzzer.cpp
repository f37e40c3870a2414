// Sends arbitrary device I/O control requests to the driver's default queue through the host, as a
// client's open file does: the four private radio-state codes, the two portable-device message
// codes and any other code, with input buffers of any length and content and any output capacity.
// The driver runs in test mode of the simulated machine, started once; each input opens one file
// (read-only or read-write), sends its requests in order and closes the file. Every request must
// complete, without a crash, a sanitizer report or a hang, and the host must stay able to serve.
//
// Input: byte 0 chooses the file's access (bit 0: read-write); then up to kMaxRequests records of
//   selector (1 byte), output capacity (2 bytes, little-endian), input length (2 bytes), input.
// The selector's low three bits choose the code: 0-3 the radio codes, 4 and 5 the message codes
// with the input as it is, 6 a message built from the input's first bytes (so that commands with
// well-formed parameters are reached often), 7 the code in the input's first four bytes.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "driver/module.h"
#include "host/driver_host.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/kernel/module.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_keys.h"
#include "platform_testing/virtual_clock.h"
#include "sim/registry.h"
#include "transport/sensor_protocol.h"
#include "transport/values_codec.h"

namespace {

using namespace std::chrono_literals;
using platform::ComPtr;
using platform::host::FileAccess;
using platform::host::IoResult;
using platform::testing::VirtualClock;

constexpr std::size_t kMaxRequests = 8;
// Virtual time a request may take; the longest wait of a request (a data-field read that waits for
// five fresh readings) is far below it.
constexpr auto kHangLimit = 10min;
constexpr auto kReadStep = 50ms;

// The module's static objects busy-wait on the performance counter when they are made, before
// main: the clock is virtual from the start, with reads advancing it.
__attribute__((constructor(101))) void StartOnVirtualClock()
{
    VirtualClock::Install();
    VirtualClock::SetReadStep(1ms);
}

platform::host::DriverHost* g_host = nullptr;
// The module keeps its class factory encoded, out of the leak checker's sight; this reference
// keeps it in sight for as long as the process lives.
IClassFactory* g_factory = nullptr;

// Loads nothing: the driver object is made from the driver linked into this program.
void StartHost()
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure", u"TestMode", u"Enable");
    if (g_Module.DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr) != TRUE) std::abort();
    ComPtr<IClassFactory> factory;
    ComPtr<IDriverEntry> driver;
    if (FAILED(g_Module.DllGetClassObject(CLSID_ThermalDriver, IID_IClassFactory,
                                          reinterpret_cast<void**>(factory.GetAddressOf()))) ||
        FAILED(factory->CreateInstance(nullptr, __uuidof(IDriverEntry), reinterpret_cast<void**>(driver.GetAddressOf())))) {
        std::abort();
    }
    g_factory = factory.Detach();
    g_host = new platform::host::DriverHost();  // lives as long as the process
    g_host->SetUserIdleEnabled(false);
    if (!g_host->UseDriver(driver.Get()).ok() || !g_host->AddDevice().ok() || !g_host->Start().ok()) std::abort();
    // A return from low power starts acquisition, so that reads find readings.
    if (!g_host->Suspend(WdfPowerDeviceD3).ok() || !g_host->Resume().ok()) std::abort();
    // A read step stays: every start of acquisition (a first client's connection) reloads the
    // thermal map, which busy-waits 5 s on the performance counter. A coarse step keeps that wait
    // to a hundred reads.
    VirtualClock::SetReadStep(kReadStep);
}

// Lets the host's threads run, and moves the virtual clock on while they wait, until `done` is set.
// Most requests need no time at all.
void RunUntil(const std::atomic<bool>& done)
{
    VirtualClock::RunUntilIdle();
    const auto start = VirtualClock::Elapsed();
    while (!done.load()) {
        if (VirtualClock::Elapsed() - start > kHangLimit) std::abort();  // a request hangs
        VirtualClock::AdvanceBy(5ms);
    }
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> data) : m_data(data) {}
    bool Empty() const { return m_data.empty(); }
    std::uint8_t Byte()
    {
        if (m_data.empty()) return 0;
        const std::uint8_t b = m_data[0];
        m_data = m_data.subspan(1);
        return b;
    }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::span<const std::uint8_t> Bytes(std::size_t count)
    {
        count = std::min(count, m_data.size());
        const auto taken = m_data.first(count);
        m_data = m_data.subspan(count);
        return taken;
    }

private:
    std::span<const std::uint8_t> m_data;
};

// Keys a built message may ask for.
const PROPERTYKEY kKeys[] = {
    WPD_OBJECT_ID, SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, SENSOR_PROPERTY_FRIENDLY_NAME,
    SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, SENSOR_PROPERTY_CHANGE_SENSITIVITY,
    transport::kCommand,
};

// A message with well-formed parameters: command, object ID (the sensor's, another or none),
// requested keys and a report interval to write, each chosen by the input's bytes.
std::vector<std::uint8_t> BuildMessage(Reader in)
{
    std::vector<std::uint8_t> bytes;
    ComPtr<IPortableDeviceValues> parameters;
    ComPtr<IPortableDeviceValues> keys;
    if (FAILED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                                reinterpret_cast<void**>(parameters.GetAddressOf()))) ||
        FAILED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                                reinterpret_cast<void**>(keys.GetAddressOf())))) {
        return bytes;
    }
    parameters->SetUnsignedIntegerValue(transport::kCommand, in.Byte() % 13);
    const std::uint8_t id = in.Byte();
    if (id % 4 == 0) parameters->SetStringValue(transport::kObjectId, THERMAL_SENSOR_ID);
    if (id % 4 == 1) parameters->SetStringValue(transport::kObjectId, u"DEVICE");
    if (id % 4 == 2) parameters->SetStringValue(transport::kObjectId, u"");
    // Requested keys travel as the keys of a values set, with empty values.
    const std::uint8_t keyBits = in.Byte();
    const PROPVARIANT empty{};
    for (std::size_t i = 0; i < std::size(kKeys); ++i) {
        if ((keyBits >> i) & 1) keys->SetValue(kKeys[i], &empty);
    }
    if (keyBits != 0) parameters->SetIPortableDeviceValuesValue(transport::kRequestedKeys, keys.Get());
    if (!in.Empty()) {
        ComPtr<IPortableDeviceValues> write;
        if (SUCCEEDED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_IPortableDeviceValues, reinterpret_cast<void**>(write.GetAddressOf())))) {
            const std::uint32_t interval = in.Word() | (static_cast<std::uint32_t>(in.Word()) << 16);
            write->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, interval);
            parameters->SetIPortableDeviceValuesValue(transport::kValuesToWrite, write.Get());
        }
    }
    transport::EncodeValues(parameters.Get(), &bytes);
    return bytes;
}

ULONG CodeOf(std::uint8_t selector, std::span<const std::uint8_t> input)
{
    switch (selector & 7) {
        case 0: return IOCTL_GET_RADIO_STATE;
        case 1: return IOCTL_GET_PREVIOUS_RADIO_STATE;
        case 2: return IOCTL_SET_RADIO_STATE;
        case 3: return IOCTL_SET_PREVIOUS_RADIO_STATE;
        case 4: return transport::kSensorMessageReadCode;
        case 5:
        case 6: return (selector & 8) != 0 ? transport::kSensorMessageReadWriteCode : transport::kSensorMessageReadCode;
        default: {
            ULONG code = 0;
            for (std::size_t i = 0; i < 4 && i < input.size(); ++i) code |= static_cast<ULONG>(input[i]) << (8 * i);
            return code;
        }
    }
}

}  // namespace

// LeakSanitizer runs right after an input, while the host's worker threads of its requests may
// still be ending. What a thread keeps in its thread-local storage until its very end (the list of
// thread-local destructors, and the class extension's list of the thread's own calls) can look
// unreachable then; both are freed when the thread ends.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:__cxa_thread_atexit_impl\nleak:CSensorClassExtension::CallScope::CallScope\n";
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    StartHost();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Reader in(std::span<const std::uint8_t>(data, size));
    const FileAccess access = (in.Byte() & 1) != 0 ? FileAccess::kReadWrite : FileAccess::kRead;
    ComPtr<platform::host::CHostFile> file;
    if (FAILED(g_host->OpenFile(access, &file))) std::abort();

    for (std::size_t i = 0; i < kMaxRequests && !in.Empty(); ++i) {
        const std::uint8_t selector = in.Byte();
        const std::size_t capacity = in.Word();
        const std::span<const std::uint8_t> payload = in.Bytes(in.Word());
        const std::vector<std::uint8_t> input =
            (selector & 7) == 6 ? BuildMessage(Reader(payload)) : std::vector<std::uint8_t>(payload.begin(), payload.end());
        std::atomic<bool> done{false};
        IoResult result;
        const ULONG code = CodeOf(selector, payload);
        g_host->DeviceIoControl(file.Get(), code, input, capacity, [&](IoResult reply) {
            result = std::move(reply);
            done.store(true);
        });
        RunUntil(done);
        // A code that asks for write access (bit 15) never reaches the driver through a file
        // opened for reading only.
        if (access == FileAccess::kRead && (code & 0x8000) != 0 && result.status != E_ACCESSDENIED) std::abort();
        if (result.output.size() > capacity || (SUCCEEDED(result.status) && result.information > capacity)) {
            std::abort();  // more bytes than the caller's buffer holds
        }
    }

    std::atomic<bool> closed{false};
    if (FAILED(g_host->CloseFile(file.Get(), [&] { closed.store(true); }))) std::abort();
    RunUntil(closed);
    VirtualClock::RunUntilIdle();  // the host's threads of this input end
    g_host->Record().Clear();
    return 0;
}
