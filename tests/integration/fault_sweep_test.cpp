// Systematic fault injection through the host. Each main flow of the device runs once for every
// k = 1, 2, ... with the k-th checked platform call failing (of any call, on any thread, the test's
// own client included), until a run makes fewer than k checked calls. Every run must end in a
// success or a clean error within bounded virtual time, and once the module is unloaded nothing may
// be left of it: the module's object count is zero and its library is unmapped, and no kernel
// handle, collection, class extension, WMI object, window, power-setting registration or probe
// handle is held beyond what was held before the run. Under asan-ubsan, LeakSanitizer adds its
// check when each test's process ends.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "loaded_module_fixture.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/handles.h"
#include "platform_testing/sensor_class_extension.h"
#include "platform_testing/windows.h"
#include "platform_testing/wpd.h"
#include "sensor_test_client.h"
#include "sim/probe_devices.h"
#include "sim/registry.h"
#include "sim/wmi.h"
#include "support/call_thread.h"

namespace {

using namespace std::chrono_literals;
using integration::kSensorId;
using platform::ComPtr;
using platform::host::DeviceState;
using platform::host::HostStep;
using platform::testing::VirtualClock;

// What the platform holds on behalf of its callers; a leaked object of the module keeps some of it.
struct Holdings {
    std::size_t handles = 0;
    std::size_t collections = 0;
    std::size_t classExtensions = 0;
    std::size_t wmiObjects = 0;
    std::size_t windows = 0;
    std::size_t powerRegistrations = 0;
    std::uint32_t probeHandles = 0;

    bool operator==(const Holdings&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Holdings& h)
{
    return out << "{handles " << h.handles << ", collections " << h.collections << ", class extensions "
               << h.classExtensions << ", WMI objects " << h.wmiObjects << ", windows " << h.windows
               << ", power-setting registrations " << h.powerRegistrations << ", probe handles " << h.probeHandles
               << "}";
}

Holdings Measure()
{
    return {platform::testing::OpenKernelHandles(),
            platform::testing::LivePortableDeviceCollections(),
            platform::testing::LiveSensorClassExtensions(),
            sim::LiveWmiObjects(),
            platform::testing::ExistingWindows().size(),
            platform::testing::PowerSettingRegistrationCount(),
            sim::ProbeOpenHandleCount(sim::Probe::kFixedPath) + sim::ProbeOpenHandleCount(sim::Probe::kInterface)};
}

bool ModuleIsMapped()
{
    void* library = dlopen(THERMAL_DRIVER_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}

// Where the sweep is, for the message of an abort: a hang that the virtual clock detects ends
// the process, and the fault that caused it must be named.
char g_sweepPosition[512] = "";

void SetSweepPosition(const std::string& position)
{
    std::snprintf(g_sweepPosition, sizeof(g_sweepPosition), "%s\n", position.c_str());
}

extern "C" void ReportSweepPosition(int signal)
{
    const char prefix[] = "fault sweep: the process ends during ";
    (void)!::write(STDERR_FILENO, prefix, sizeof(prefix) - 1);
    (void)!::write(STDERR_FILENO, g_sweepPosition, std::strlen(g_sweepPosition));
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The function of a fault point, without its qualifier ("Name:qualifier", "IFace::Method:qualifier").
std::string FunctionOf(const std::string& point)
{
    for (std::size_t i = 0; i < point.size(); ++i) {
        if (point[i] != ':') continue;
        if (i + 1 < point.size() && point[i + 1] == ':') {
            ++i;
            continue;
        }
        return point.substr(0, i);
    }
    return point;
}

// A failed host step must say what failed.
void ExpectCleanStep(const HostStep& step, const char* what)
{
    if (!step.ok()) {
        EXPECT_FALSE(step.message.empty()) << what << " failed with 0x" << std::hex << step.status;
    }
}

class FaultSweep : public integration::DriverHostTest {
protected:
    // Virtual time a step may take before it counts as hung. The longest wait a step makes on
    // purpose is well below it.
    static constexpr auto kHangLimit = 10min;
    static constexpr auto kTick = 10ms;

    FaultSweep()
    {
        sim::ResetRegistry();
        sim::InstallProbes();
        SetSweepPosition("the run without faults");
        m_previousAbortHandler = std::signal(SIGABRT, ReportSweepPosition);
    }

    ~FaultSweep() override
    {
        std::signal(SIGABRT, m_previousAbortHandler);
        sim::ResetDeviceTree();
        sim::ResetRegistry();
    }

    // Runs `body` on a platform thread while the virtual clock moves on, so that its timed waits end.
    // A body still running after kHangLimit of virtual time hangs; that cannot be undone, so the
    // process ends with the fault that caused it.
    void Bounded(const std::function<void()>& body, const char* what)
    {
        const auto start = m_clock.Elapsed();
        test_support::CallThread thread([&] {
            body();
            return 0;
        });
        while (!thread.Done()) {
            if (m_clock.Elapsed() - start > kHangLimit) {
                std::fprintf(stderr, "%s hangs after the injected fault %s\n", what,
                             platform::testing::LastInjectedFault().c_str());
                std::abort();  // a hang cannot be undone
            }
            m_clock.AdvanceBy(kTick);
        }
    }

    HostStep BoundedStep(const std::function<HostStep()>& step, const char* what)
    {
        HostStep result;
        Bounded([&] { result = step(); }, what);
        ExpectCleanStep(result, what);
        return result;
    }

    // Removes what a run left and unloads the module, without faults; nothing of the module may
    // stay behind.
    void TearDownRun(const Holdings& before, const std::string& fault)
    {
        Bounded([this] { m_client.reset(); }, "close");
        const HostStep unloaded = BoundedStep([this] { return m_host.Unload(); }, "unload");
        EXPECT_TRUE(unloaded.ok()) << "after " << fault << ": " << unloaded.message;
        ASSERT_EQ(m_host.Module(), nullptr) << "after " << fault << ", the module stays loaded";
        ASSERT_FALSE(ModuleIsMapped()) << "after " << fault << ", the module's library is still mapped";
        // A closed thread pool's worker ends on its own, closing its handle as it goes.
        m_clock.RunUntilIdle();
        EXPECT_EQ(Measure(), before) << "after " << fault;
    }

    // Runs the flow for k = 1, 2, ... until a run reaches no k-th checked call; `prepare` runs
    // without faults before each run, `window` with the k-th checked call failing. Returns the
    // number of runs with a fault.
    int Sweep(const std::function<void()>& prepare, const std::function<void()>& window,
              const std::function<void()>& afterwards = [] {})
    {
        // Loading the module, and every start of acquisition, reload the thermal map, which
        // busy-waits on the performance counter: reads of the clock advance it throughout.
        VirtualClock::SetReadStep(kReadStep);
        // A run without faults first: the flow works, and whatever the platform makes once per
        // process exists before the holdings are measured.
        const Holdings atStart = Measure();
        prepare();
        if (HasFatalFailure()) return 0;
        window();
        afterwards();
        TearDownRun(atStart, "nothing");
        if (HasFatalFailure()) return 0;

        const Holdings before = Measure();
        int faults = 0;
        std::map<std::string, int> points;
        for (std::uint64_t k = 1;; ++k) {
            m_host.Record().Clear();
            sim::ResetRegistry();
            prepare();
            if (HasFatalFailure()) return faults;
            SetSweepPosition("the run failing checked call " + std::to_string(k));
            platform::testing::StartCountingCheckedCalls(k);
            window();
            const bool injected = platform::testing::InjectedFaultCount() > 0;
            const std::string point = platform::testing::LastInjectedFault();
            const std::string fault = injected ? "failing call " + std::to_string(k) + " (" + point + ")" : "no fault";
            platform::testing::ResetFaults();
            SetSweepPosition("the teardown after " + fault);
            SCOPED_TRACE(fault);
            afterwards();
            TearDownRun(before, fault);
            if (HasFatalFailure() || !injected) break;
            ++faults;
            ++points[FunctionOf(point)];
        }
        std::printf("%d faults injected:", faults);
        for (const auto& [point, count] : points) std::printf(" %s x%d;", point.c_str(), count);
        std::printf("\n");
        return faults;
    }

    // Host steps of the flows.
    void LoadModule()
    {
        const HostStep loaded = BoundedStep([this] { return m_host.Load(THERMAL_DRIVER_MODULE_PATH, CLSID_ThermalDriver); }, "load");
        if (!loaded.ok()) {
            EXPECT_EQ(m_host.Module(), nullptr) << "a failed load leaves the module loaded";
        }
    }
    void AddDevice() { BoundedStep([this] { return m_host.AddDevice(); }, "device add"); }
    void Start()
    {
        const HostStep started = BoundedStep([this] { return m_host.Start(); }, "start");
        if (!started.ok()) {
            EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
        }
    }
    void LoadAndStart()
    {
        LoadModule();
        AddDevice();
        Start();
        ASSERT_EQ(m_host.State(), DeviceState::kWorking);
    }

    // The first entry to D0 starts no acquisition: the device idles first, and the client's
    // connection brings it back with acquisition running.
    void LoadAndStartWithClient()
    {
        LoadAndStart();
        m_clock.AdvanceBy(1s);
        ASSERT_EQ(m_host.State(), DeviceState::kIdle);
        OpenClient();
        HRESULT connected = E_FAIL;
        Bounded([&] { connected = m_client->Connect(); }, "connect");
        ASSERT_EQ(connected, S_OK);
    }

    void OpenClient()
    {
        Bounded([this] { m_client = std::make_unique<Client>(m_host); }, "open");
    }

    // A client that tolerates failures of its own exchanges.
    class Client {
    public:
        explicit Client(platform::host::DriverHost& host) : m_host(host)
        {
            if (FAILED(host.OpenFile(platform::host::FileAccess::kReadWrite, &m_file))) return;
            m_protocol = std::make_unique<transport::SensorClient>(
                [&host, file = m_file](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
                    platform::host::IoResult reply = host.DeviceIoControl(file.Get(), code, input, capacity);
                    return transport::TransportReply{reply.status, reply.information, std::move(reply.output)};
                });
        }
        ~Client()
        {
            if (m_file) m_host.CloseFile(m_file.Get());
        }
        Client(const Client&) = delete;
        Client& operator=(const Client&) = delete;

        bool Open() const { return m_protocol != nullptr; }
        // The callback's result, or the exchange's failure.
        HRESULT Connect() const { return Call(&transport::SensorClient::Connect); }
        HRESULT Subscribe() const { return Call(&transport::SensorClient::Subscribe); }
        HRESULT Read() const
        {
            if (!Open()) return E_HANDLE;
            transport::ValuesResult data;
            const std::vector<PROPERTYKEY> keys = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
            const HRESULT exchange = m_protocol->GetDataFields(kSensorId, keys, &data);
            return FAILED(exchange) ? exchange : data.hr;
        }
        HRESULT SetInterval(ULONG milliseconds) const
        {
            if (!Open()) return E_HANDLE;
            ComPtr<IPortableDeviceValues> values;
            HRESULT hr = CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IPortableDeviceValues, reinterpret_cast<void**>(values.GetAddressOf()));
            if (SUCCEEDED(hr)) hr = values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, milliseconds);
            transport::ValuesResult results;
            if (SUCCEEDED(hr)) hr = m_protocol->SetProperties(kSensorId, values.Get(), &results);
            return FAILED(hr) ? hr : results.hr;
        }
        HRESULT SetRadio(ULONG code, ULONG state) const
        {
            if (!m_file) return E_HANDLE;
            const auto* bytes = reinterpret_cast<const BYTE*>(&state);
            return m_host.DeviceIoControl(m_file.Get(), code, std::span<const BYTE>(bytes, sizeof(state)), 0).status;
        }
        HRESULT GetRadio(ULONG code) const
        {
            if (!m_file) return E_HANDLE;
            return m_host.DeviceIoControl(m_file.Get(), code, {}, sizeof(ULONG)).status;
        }
        HRESULT State(ULONG* state) const
        {
            if (!Open()) return E_HANDLE;
            transport::ValuesResult properties;
            const std::vector<PROPERTYKEY> keys = {SENSOR_PROPERTY_STATE};
            HRESULT hr = m_protocol->GetProperties(kSensorId, keys, &properties);
            if (SUCCEEDED(hr)) hr = properties.hr;
            if (SUCCEEDED(hr)) hr = properties.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, state);
            return hr;
        }

    private:
        using Operation = HRESULT (transport::SensorClient::*)(std::u16string_view, HRESULT*) const;
        HRESULT Call(Operation operation) const
        {
            if (!Open()) return E_HANDLE;
            HRESULT result = E_FAIL;
            const HRESULT exchange = (m_protocol.get()->*operation)(kSensorId, &result);
            return FAILED(exchange) ? exchange : result;
        }

        platform::host::DriverHost& m_host;
        ComPtr<platform::host::CHostFile> m_file;
        std::unique_ptr<transport::SensorClient> m_protocol;
    };

    // Runs a client operation; with faults off it must succeed.
    void ClientStep(const std::function<HRESULT(const Client&)>& operation, const char* what)
    {
        HRESULT hr = E_FAIL;
        Bounded([&] { hr = m_client ? operation(*m_client) : E_HANDLE; }, what);
        if (platform::testing::InjectedFaultCount() == 0) {
            EXPECT_TRUE(SUCCEEDED(hr)) << what << ": 0x" << std::hex << hr;
        }
    }

    // After a fault in a client's flow, a new client is still served.
    void ExpectServed()
    {
        HRESULT hr = E_FAIL;
        ULONG state = 0;
        Bounded(
            [&] {
                Client other(m_host);
                hr = other.State(&state);
            },
            "a later client's read");
        EXPECT_EQ(hr, S_OK);
    }

    // The test's thread only starts, waits for and moves the clock for the flow's threads.
    platform::testing::ScopedFaultExemption m_exemption;
    std::unique_ptr<Client> m_client;
    void (*m_previousAbortHandler)(int) = SIG_DFL;
};

TEST_F(FaultSweep, ModuleLoadAndDeviceAdd)
{
    const int faults = Sweep([] {},
                             [this] {
                                 LoadModule();
                                 if (m_host.Module() != nullptr) AddDevice();
                             });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, PrepareAndFirstD0)
{
    const int faults = Sweep(
        [this] {
            LoadModule();
            AddDevice();
            ASSERT_EQ(m_host.State(), DeviceState::kAdded);
        },
        [this] { Start(); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, IdleAndWake)
{
    const int faults = Sweep([this] { LoadAndStart(); },
                             [this] {
                                 m_clock.AdvanceBy(1s);  // no power reference: the host idles the device
                                 // A power reference brings it back with acquisition running.
                                 Bounded([this] { m_host.Device()->StopIdle(FALSE); }, "wake");
                                 m_clock.AdvanceBy(3s);
                                 Bounded([this] { m_host.Device()->ResumeIdle(); }, "idle again");
                                 m_clock.AdvanceBy(1s);
                             });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, SuspendAndResume)
{
    const int faults = Sweep(
        [this] {
            m_host.SetUserIdleEnabled(false);
            LoadAndStart();
        },
        [this] {
            BoundedStep([this] { return m_host.Suspend(WdfPowerDeviceD3); }, "suspend");
            BoundedStep([this] { return m_host.Resume(); }, "resume");
            m_clock.AdvanceBy(2s);
        });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, Release)
{
    // With a subscribed client, whose file is closed after the removal.
    const int faults = Sweep(
        [this] {
            LoadAndStartWithClient();
            HRESULT subscribed = E_FAIL;
            Bounded([&] { subscribed = m_client->Subscribe(); }, "subscribe");
            ASSERT_EQ(subscribed, S_OK);
        },
        [this] {
            BoundedStep([this] { return m_host.Remove(); }, "remove");
            Bounded([this] { m_client.reset(); }, "close");
            BoundedStep([this] { return m_host.Unload(); }, "unload");
        });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, SurpriseRemoval)
{
    const int faults = Sweep([this] { LoadAndStartWithClient(); },
                             [this] { BoundedStep([this] { return m_host.SurpriseRemove(); }, "surprise removal"); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, ClientConnect)
{
    const int faults = Sweep([this] { LoadAndStart(); },
                             [this] {
                                 OpenClient();
                                 ClientStep([](const Client& c) { return c.Connect(); }, "connect");
                             },
                             [this] { ExpectServed(); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, ClientSubscribe)
{
    const int faults = Sweep([this] { LoadAndStartWithClient(); },
                             [this] {
                                 ClientStep([](const Client& c) { return c.Subscribe(); }, "subscribe");
                                 m_clock.AdvanceBy(3s);  // data events reach the subscriber
                             },
                             [this] { ExpectServed(); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, ClientRead)
{
    const int faults = Sweep([this] { LoadAndStartWithClient(); },
                             [this] { ClientStep([](const Client& c) { return c.Read(); }, "read"); },
                             [this] { ExpectServed(); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, ClientSetsTheReportInterval)
{
    const int faults = Sweep([this] { LoadAndStartWithClient(); },
                             [this] {
                                 // Five minutes or more let the device idle between reports.
                                 ClientStep([](const Client& c) { return c.SetInterval(300'000); }, "long interval");
                                 m_clock.AdvanceBy(1s);
                                 ClientStep([](const Client& c) { return c.SetInterval(1000); }, "short interval");
                                 m_clock.AdvanceBy(2s);
                             },
                             [this] { ExpectServed(); });
    EXPECT_GT(faults, 0);
}

TEST_F(FaultSweep, RadioChange)
{
    const int faults = Sweep([this] { LoadAndStartWithClient(); },
                             [this] {
                                 ClientStep([](const Client& c) { return c.SetRadio(IOCTL_SET_RADIO_STATE, 0); },
                                            "radio off");
                                 m_clock.AdvanceBy(1s);
                                 ClientStep([](const Client& c) { return c.GetRadio(IOCTL_GET_RADIO_STATE); },
                                            "radio read");
                                 ClientStep([](const Client& c) { return c.SetRadio(IOCTL_SET_RADIO_STATE, 1); },
                                            "radio on");
                                 m_clock.AdvanceBy(2s);
                             },
                             [this] { ExpectServed(); });
    EXPECT_GT(faults, 0);
}

}  // namespace
