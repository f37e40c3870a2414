// thermal_bench_inproc: Google Benchmark runs of the pieces that fit in one process: the floors
// (a Unix-domain socket echo, a thread wake-up, the platform's event wake-up), the frame and
// event codings, and requests through the host library with the fake module (the host and socket
// alone) and with the real module (the driver's request path), each with the operator new calls
// it makes per iteration ("allocs" counter).
//
//   build/release/bin/thermal_bench_inproc                       every benchmark
//   build/release/bin/thermal_bench_inproc --benchmark_filter=Socket
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "allocation_count.h"
#include "host/driver_host.h"
#include "host/socket_server.h"
#include "platform/com/runtime.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform/kernel/time.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/virtual_clock.h"
#include "sim/state_directory.h"
#include "transport/frame.h"
#include "transport/sensor_client.h"
#include "transport/sensor_protocol.h"
#include "transport/socket_client.h"

namespace {

using platform::ComPtr;

// Reports the operator new calls per iteration made while it lives (on every thread).
class AllocationCounter {
public:
    explicit AllocationCounter(benchmark::State& state) : m_state(state), m_start(bench::AllocationCount()) {}
    ~AllocationCounter()
    {
        const auto made = static_cast<double>(bench::AllocationCount() - m_start);
        m_state.counters["allocs"] =
            benchmark::Counter(made / static_cast<double>(std::max<benchmark::IterationCount>(m_state.iterations(), 1)));
    }

private:
    benchmark::State& m_state;
    const std::uint64_t m_start;
};

// ---- Floors. ----

void BM_UnixEchoRoundTrip(benchmark::State& state)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return state.SkipWithError("socketpair");
    std::thread echo([fd = pair[1]] {
        char bytes[16];
        while (::read(fd, bytes, sizeof(bytes)) == sizeof(bytes) && ::write(fd, bytes, sizeof(bytes)) == sizeof(bytes)) {
        }
    });
    char bytes[16] = {};
    for (auto _ : state) {
        if (::write(pair[0], bytes, sizeof(bytes)) != sizeof(bytes) || ::read(pair[0], bytes, sizeof(bytes)) != sizeof(bytes)) {
            state.SkipWithError("echo");
            break;
        }
    }
    ::shutdown(pair[0], SHUT_RDWR);
    echo.join();
    ::close(pair[0]);
    ::close(pair[1]);
}
BENCHMARK(BM_UnixEchoRoundTrip)->UseRealTime();

// Two threads hand a turn back and forth through a condition variable: two wake-ups per iteration.
void BM_ThreadWakeRoundTrip(benchmark::State& state)
{
    std::mutex mutex;
    std::condition_variable changed;
    int turn = 0;  // guarded by mutex: 1 the partner's, 0 ours, -1 stop
    std::thread partner([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return turn != 0; });
            if (turn < 0) return;
            turn = 0;
            changed.notify_all();
        }
    });
    for (auto _ : state) {
        std::unique_lock lock(mutex);
        turn = 1;
        changed.notify_all();
        changed.wait(lock, [&] { return turn == 0; });
    }
    {
        std::lock_guard lock(mutex);
        turn = -1;
    }
    changed.notify_all();
    partner.join();
}
BENCHMARK(BM_ThreadWakeRoundTrip)->UseRealTime();

// The same through the platform's events (SetEvent, WaitForSingleObject): the reporter-to-event-
// thread hop of every reading goes this way.
void BM_PlatformEventRoundTrip(benchmark::State& state)
{
    HANDLE ping = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        while (WaitForSingleObject(ping, INFINITE) == WAIT_OBJECT_0 && !stop.load()) SetEvent(pong);
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop.store(true);
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
}
BENCHMARK(BM_PlatformEventRoundTrip)->UseRealTime();

// ---- Codings. ----

ComPtr<IPortableDeviceValues> NewValues()
{
    ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void**>(values.GetAddressOf()));
    return values;
}

// A data-updated event as the driver posts it: the event ID, the timestamp and the temperature.
ComPtr<IPortableDeviceValues> DataUpdatedValues()
{
    ComPtr<IPortableDeviceValues> values = NewValues();
    values->SetGuidValue(SENSOR_EVENT_PARAMETER_EVENT_ID, SENSOR_EVENT_DATA_UPDATED);
    PROPVARIANT value;
    PropVariantInit(&value);
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    InitPropVariantFromFileTime(&now, &value);
    values->SetValue(SENSOR_DATA_TYPE_TIMESTAMP, &value);
    PropVariantClear(&value);
    values->SetFloatValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, 25.0f);
    return values;
}

constexpr const char16_t* kSensorId = THERMAL_SENSOR_ID;

void BM_EncodeDataUpdatedEvent(benchmark::State& state)
{
    const ComPtr<IPortableDeviceValues> values = DataUpdatedValues();
    std::vector<std::uint8_t> message;
    AllocationCounter allocations(state);
    for (auto _ : state) {
        message.clear();
        transport::EncodeDataUpdatedEvent(const_cast<LPWSTR>(kSensorId), values.Get(), &message);
        benchmark::DoNotOptimize(message.data());
    }
    state.counters["bytes"] = static_cast<double>(message.size());
}
BENCHMARK(BM_EncodeDataUpdatedEvent);

void BM_DecodeSensorEvent(benchmark::State& state)
{
    std::vector<std::uint8_t> message;
    transport::EncodeDataUpdatedEvent(const_cast<LPWSTR>(kSensorId), DataUpdatedValues().Get(), &message);
    AllocationCounter allocations(state);
    for (auto _ : state) {
        transport::SensorEvent event;
        benchmark::DoNotOptimize(transport::DecodeSensorEvent(message, &event));
    }
}
BENCHMARK(BM_DecodeSensorEvent);

// An event frame written and read back, as the host writes and a client reads it.
void BM_EventFrameRoundTrip(benchmark::State& state)
{
    std::vector<std::uint8_t> message;
    transport::EncodeDataUpdatedEvent(const_cast<LPWSTR>(kSensorId), DataUpdatedValues().Get(), &message);
    std::vector<std::uint8_t> frame;
    transport::FrameReader reader;
    AllocationCounter allocations(state);
    for (auto _ : state) {
        frame.clear();
        transport::AppendEventFrame(&frame, message);
        std::span<const std::uint8_t> input(frame);
        benchmark::DoNotOptimize(reader.Read(&input));
    }
}
BENCHMARK(BM_EventFrameRoundTrip);

// ---- Requests through the host library. ----

// A host with a module loaded and its device started, and a socket server on it.
class LoadedHost {
public:
    explicit LoadedHost(const char* modulePath, bool virtualClock) : m_virtualClock(virtualClock)
    {
        char pattern[] = "/tmp/thermal-bench-inproc.XXXXXX";
        m_directory = ::mkdtemp(pattern) != nullptr ? pattern : "/tmp";
        sim::SetStateDirectory(m_directory / "state");
        // The real module's load settles for 5 s on the clock: a virtual clock whose reads move it
        // makes that instant (and keeps the device from idling, since it never advances on its own).
        if (m_virtualClock) {
            platform::testing::VirtualClock::Install();
            platform::testing::VirtualClock::SetReadStep(std::chrono::milliseconds(1));
        }
        m_host = std::make_unique<platform::host::DriverHost>();
        // An idling device purges its queue (the fake module does) and would abort a request.
        m_host->SetUserIdleEnabled(false);
        platform::host::HostStep step = m_host->Load(modulePath, CLSID_ThermalDriver);
        if (step.ok()) step = m_host->AddDevice();
        if (step.ok()) step = m_host->Start();
        if (m_virtualClock) platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        if (!step.ok()) {
            m_error = step.message;
            return;
        }
        platform::host::SocketServerOptions options;
        options.socketPath = (m_directory / "host.sock").string();
        m_server = std::make_unique<platform::host::SocketServer>(*m_host, std::move(options));
        std::string why;
        if (FAILED(m_server->Start(&why))) m_error = why;
    }
    ~LoadedHost()
    {
        m_server.reset();
        if (m_virtualClock) platform::testing::VirtualClock::SetReadStep(std::chrono::milliseconds(1));
        m_host->Unload();
        m_host.reset();
        if (m_virtualClock) platform::testing::VirtualClock::Uninstall();
        sim::ClearStateDirectory();
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

    const std::string& Error() const { return m_error; }
    platform::host::DriverHost& Host() { return *m_host; }
    std::string SocketPath() const { return (m_directory / "host.sock").string(); }

private:
    const bool m_virtualClock;
    std::filesystem::path m_directory;
    std::unique_ptr<platform::host::DriverHost> m_host;
    std::unique_ptr<platform::host::SocketServer> m_server;
    std::string m_error;
};

std::unique_ptr<LoadedHost> g_host;
std::string g_hostModule;

// The host of a module, made on first use; a host of another module goes first.
LoadedHost* HostOf(const char* modulePath, bool virtualClock)
{
    if (g_hostModule != modulePath) {
        g_host.reset();
        g_host = std::make_unique<LoadedHost>(modulePath, virtualClock);
        g_hostModule = modulePath;
    }
    return g_host.get();
}

#ifdef FAKE_DRIVER_MODULE_PATH
constexpr ULONG kFakeEcho = 0x00222400;  // the fake module's echo: output = input

void BM_HostEchoRequest(benchmark::State& state)
{
    LoadedHost* loaded = HostOf(FAKE_DRIVER_MODULE_PATH, false);
    if (!loaded->Error().empty()) return state.SkipWithError(loaded->Error().c_str());
    ComPtr<platform::host::CHostFile> file;
    loaded->Host().OpenFile(platform::host::FileAccess::kReadWrite, &file);
    const std::vector<BYTE> input(64, 7);
    {
        AllocationCounter allocations(state);
        for (auto _ : state) {
            const platform::host::IoResult result = loaded->Host().DeviceIoControl(file.Get(), kFakeEcho, input, 64);
            if (FAILED(result.status)) {
                static char why[64];
                std::snprintf(why, sizeof(why), "the echo failed: 0x%08X", static_cast<unsigned>(result.status));
                state.SkipWithError(why);
                break;
            }
        }
    }
    loaded->Host().CloseFile(file.Get());
}
BENCHMARK(BM_HostEchoRequest)->UseRealTime();

void BM_SocketEchoRequest(benchmark::State& state)
{
    LoadedHost* loaded = HostOf(FAKE_DRIVER_MODULE_PATH, false);
    if (!loaded->Error().empty()) return state.SkipWithError(loaded->Error().c_str());
    std::unique_ptr<transport::SocketClient> client;
    if (FAILED(transport::SocketClient::Connect(loaded->SocketPath(), {}, {}, &client))) {
        return state.SkipWithError("connect");
    }
    const std::vector<std::uint8_t> input(64, 7);
    {
        AllocationCounter allocations(state);
        for (auto _ : state) {
            if (FAILED(client->IoControl(kFakeEcho, input, 64).status)) state.SkipWithError("the echo failed");
        }
    }
    client->Close();
}
BENCHMARK(BM_SocketEchoRequest)->UseRealTime();
#endif

#ifdef THERMAL_DRIVER_MODULE_PATH
const PROPERTYKEY kProperties[] = {SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
                                   SENSOR_PROPERTY_MANUFACTURER};

// Connects `sensors` to the sensor, reads kProperties once per iteration counting allocations,
// and disconnects.
void ReadPropertiesWhileConnected(benchmark::State& state, const transport::SensorClient& sensors)
{
    HRESULT connected = E_FAIL;
    sensors.Connect(kSensorId, &connected);
    {
        AllocationCounter allocations(state);
        for (auto _ : state) {
            transport::ValuesResult result;
            if (FAILED(sensors.GetProperties(kSensorId, kProperties, &result)) || FAILED(result.hr)) {
                state.SkipWithError("the read failed");
                break;
            }
        }
    }
    sensors.Disconnect(kSensorId, &connected);
}

// Property reads of the real module's sensor, straight through the host (no socket).
void BM_DriverPropertyRead(benchmark::State& state)
{
    LoadedHost* loaded = HostOf(THERMAL_DRIVER_MODULE_PATH, true);
    if (!loaded->Error().empty()) return state.SkipWithError(loaded->Error().c_str());
    ComPtr<platform::host::CHostFile> file;
    loaded->Host().OpenFile(platform::host::FileAccess::kReadWrite, &file);
    transport::SensorClient sensors([&](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
        platform::host::IoResult reply = loaded->Host().DeviceIoControl(file.Get(), code, input, capacity);
        return transport::TransportReply{reply.status, reply.information, std::move(reply.output)};
    });
    ReadPropertiesWhileConnected(state, sensors);
    loaded->Host().CloseFile(file.Get());
}
BENCHMARK(BM_DriverPropertyRead)->UseRealTime();

// The same over the socket, with the socket client library: host and client in one process.
void BM_SocketPropertyRead(benchmark::State& state)
{
    LoadedHost* loaded = HostOf(THERMAL_DRIVER_MODULE_PATH, true);
    if (!loaded->Error().empty()) return state.SkipWithError(loaded->Error().c_str());
    std::unique_ptr<transport::SocketClient> client;
    if (FAILED(transport::SocketClient::Connect(loaded->SocketPath(), {}, {}, &client))) {
        return state.SkipWithError("connect");
    }
    transport::SensorClient sensors(client->AsSensorTransport());
    ReadPropertiesWhileConnected(state, sensors);
    client->Close();
}
BENCHMARK(BM_SocketPropertyRead)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_host.reset();
    return 0;
}
