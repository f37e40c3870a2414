// A soak of a real driver-host: many clients connect, subscribe, read data fields and properties,
// set report intervals and go away (politely, by closing the socket in the middle of a request, or
// as a sensorctl process killed with SIGKILL), while the simulation channel flips the power source,
// sleeps and resumes the system, and pulls the device out and adds it again.
//
// Checked: every request is answered with a success or one of the host's documented refusals
// (within a bound: a missing answer is a hang); a client that reads its events promptly loses none;
// the host stays up and serves a fresh client at the end; once the clients are gone its descriptors
// are those before the first client, and its resident memory that after the warm-up, within a
// tolerance.
//
// The run is real time (a soak of a real process). THERMAL_STRESS_SECONDS sets its length (default
// 50) and THERMAL_STRESS_CLIENTS the number of client threads (default 8); the long form is
//   THERMAL_STRESS_SECONDS=600 THERMAL_STRESS_CLIENTS=50 build/debug/bin/stress_tests
// The figures of a run are printed at its end ("soak:" lines).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "e2e/e2e_host.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_keys.h"
#include "support/temp_dir.h"
#include "transport/socket_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bounds every wait for an answer; the host answers within a few seconds even when a request
// waits for a fresh reading after a wake, so reaching it means a request was never answered.
constexpr std::chrono::milliseconds kReplyBound = 60s;
// The descriptors the host may hold at the end, once every client is gone, beyond those it held
// before the first client (a connection still being torn down).
constexpr int kFdTolerance = 2;
// Resident memory may grow this much from the warm-up to the end (allocator caches, thread stacks
// of pools that grew to their size): a leak of one allocation per request would pass it within
// seconds.
constexpr long kRssToleranceKiB = 8 * 1024;

int EnvInt(const char* name, int fallback)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    const int value = std::atoi(text);
    return value > 0 ? value : fallback;
}

long VmRssKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

int OpenFds(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return error ? -1 : count;
}

std::string HresultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// What every client saw, shared by the client threads.
class Tally {
public:
    void Request(const std::string& what, HRESULT status)
    {
        std::lock_guard lock(m_mutex);
        ++m_requests;
        if (SUCCEEDED(status)) {
            ++m_successes;
        } else {
            ++m_refusals[what + " " + HresultText(status)];
        }
    }
    void Unexpected(const std::string& what)
    {
        std::lock_guard lock(m_mutex);
        if (m_unexpected.size() < 20) m_unexpected.push_back(what);
        ++m_unexpectedCount;
    }
    void Count(const std::string& what, long n = 1)
    {
        std::lock_guard lock(m_mutex);
        m_counts[what] += n;
    }

    std::string Report() const
    {
        std::lock_guard lock(m_mutex);
        std::ostringstream out;
        out << "soak: requests " << m_requests << ", answered with success " << m_successes << "\n";
        for (const auto& [kind, n] : m_refusals) out << "soak: refused " << kind << ": " << n << "\n";
        for (const auto& [kind, n] : m_counts) out << "soak: " << kind << ": " << n << "\n";
        return out.str();
    }
    long Requests() const
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    long UnexpectedCount() const
    {
        std::lock_guard lock(m_mutex);
        return m_unexpectedCount;
    }
    std::string UnexpectedList() const
    {
        std::lock_guard lock(m_mutex);
        std::string all;
        for (const std::string& one : m_unexpected) all += one + "\n";
        return all;
    }
    long CountOf(const std::string& what) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_counts.find(what);
        return it == m_counts.end() ? 0 : it->second;
    }

private:
    mutable std::mutex m_mutex;
    long m_requests = 0;           // guarded by m_mutex
    long m_successes = 0;          // guarded by m_mutex
    std::map<std::string, long> m_refusals;  // guarded by m_mutex
    std::map<std::string, long> m_counts;    // guarded by m_mutex
    std::vector<std::string> m_unexpected;   // guarded by m_mutex
    long m_unexpectedCount = 0;              // guarded by m_mutex
};

// The host's answers a client may get while the device comes and goes: the device is not there
// (being removed, or removed), the connection's file was opened on a device that was removed and
// added again since (E_HANDLE: the file stays refused), or the request was in the driver's queue
// when the device or the file went away.
bool IsCleanRefusal(HRESULT status)
{
    return status == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) || status == E_HANDLE ||
           status == HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
}

platform::ComPtr<IPortableDeviceValues> NewValues()
{
    platform::ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void**>(values.GetAddressOf()));
    return values;
}

// Odd while the machine loop removes the device and until it is added again; it counts up at each
// change, so a request that saw the same even value before and after ran with the device there.
std::atomic<unsigned> g_removalEpoch{0};

// Answers of the driver itself while the device comes and goes: a request the host accepted before
// a removal began reaches a driver that tears the device down (ERROR_NOT_SUPPORTED), and one that
// reaches a device being added again before the driver's preparation made its sensor manager gets
// E_UNEXPECTED (radio codes) or ERROR_NOT_SUPPORTED. Any other time they are faults.
bool IsRemovalRefusal(HRESULT status, unsigned epochBefore, unsigned epochAfter)
{
    const bool duringRemoval = epochBefore != epochAfter || (epochBefore % 2) != 0;
    return duringRemoval && (status == HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED) || status == E_UNEXPECTED ||
                             status == HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION));
}

struct ClientCounters {
    std::atomic<long> dropped{0};
    std::atomic<long> events{0};
};

std::unique_ptr<transport::SocketClient> ConnectClient(const std::string& socket, ClientCounters* counters,
                                                       HRESULT* hr)
{
    transport::SocketClientCallbacks callbacks;
    callbacks.onEvent = [counters](std::span<const std::uint8_t>) { ++counters->events; };
    callbacks.onEventsDropped = [counters](std::uint32_t dropped) { counters->dropped += dropped; };
    transport::SocketClientOptions options;
    options.replyTimeout = kReplyBound;
    std::unique_ptr<transport::SocketClient> client;
    *hr = transport::SocketClient::Connect(socket, std::move(callbacks), options, &client);
    return client;
}

// The bytes of one sensor-protocol request, as a SensorClient would send them.
struct CapturedRequest {
    ULONG code = 0;
    std::vector<std::uint8_t> input;
};

CapturedRequest CaptureSubscribe(std::u16string_view sensorId)
{
    CapturedRequest captured;
    transport::SensorClient capture([&](ULONG code, std::span<const std::uint8_t> input, std::size_t) {
        captured.code = code;
        captured.input.assign(input.begin(), input.end());
        return transport::TransportReply{E_FAIL, 0, {}};
    });
    HRESULT ignored = S_OK;
    capture.Subscribe(sensorId, &ignored);
    return captured;
}

// A client that says hello, sends a request and closes the socket without waiting for the answer;
// `cutAt` cuts the bytes sent short (in the middle of a frame) when it is below their size.
void AbruptClient(const std::string& socketPath, const CapturedRequest& request, std::size_t cutAt, Tally* tally)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return tally->Unexpected("socket: " + std::string(std::strerror(errno)));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        tally->Unexpected("connect: " + std::string(std::strerror(errno)));
        ::close(fd);
        return;
    }
    std::vector<std::uint8_t> bytes;
    transport::AppendHelloFrame(&bytes, 1, transport::HelloPayload{transport::kHelloMagic, transport::kProtocolVersion});
    transport::AppendIoControlFrame(&bytes, 2, transport::IoControlPayload{request.code, 4096, request.input});
    transport::AppendIoControlFrame(&bytes, 3, transport::IoControlPayload{IOCTL_GET_RADIO_STATE, 4, {}});
    const std::size_t length = std::min(cutAt, bytes.size());
    const ssize_t sent = ::send(fd, bytes.data(), length, MSG_NOSIGNAL);
    if (sent < 0 && errno != EPIPE && errno != ECONNRESET) {
        tally->Unexpected("send: " + std::string(std::strerror(errno)));
    }
    ::close(fd);
    tally->Count("clients closed mid-request");
}

// One client thread: sessions of a few random requests each, ended by a close, until the deadline.
void ClientLoop(const std::string& socket, std::u16string sensorId, unsigned seed, Clock::time_point deadline,
                Tally* tally, ClientCounters* counters)
{
    std::mt19937 random(seed);
    const PROPERTYKEY dataKeys[] = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
    const PROPERTYKEY propertyKeys[] = {SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
                                        SENSOR_PROPERTY_FRIENDLY_NAME, SENSOR_PROPERTY_RADIO_STATE};
    const ULONG intervals[] = {0, 500, 1000, 5000, 300000};
    const CapturedRequest subscribe = CaptureSubscribe(sensorId);

    while (Clock::now() < deadline) {
        if (random() % 6 == 0) {
            AbruptClient(socket, subscribe, random() % 160, tally);
            continue;
        }
        HRESULT connected = S_OK;
        std::unique_ptr<transport::SocketClient> client = ConnectClient(socket, counters, &connected);
        if (!client) {
            tally->Unexpected("connect: " + HresultText(connected));
            continue;
        }
        tally->Count("sessions");
        transport::SensorClient sensors(client->AsSensorTransport());
        const int steps = 1 + static_cast<int>(random() % 8);
        for (int step = 0; step < steps && Clock::now() < deadline; ++step) {
            HRESULT exchange = S_OK;
            HRESULT callback = S_OK;
            std::string what;
            const unsigned epochBefore = g_removalEpoch.load();
            switch (random() % 7) {
            case 0: {
                what = "connect";
                exchange = sensors.Connect(sensorId, &callback);
                break;
            }
            case 1: {
                what = "subscribe";
                exchange = sensors.Subscribe(sensorId, &callback);
                break;
            }
            case 2: {
                what = "unsubscribe";
                exchange = sensors.Unsubscribe(sensorId, &callback);
                break;
            }
            case 3: {
                what = "read data";
                transport::ValuesResult data;
                exchange = sensors.GetDataFields(sensorId, dataKeys, &data);
                callback = data.hr;
                break;
            }
            case 4: {
                what = "read properties";
                transport::ValuesResult data;
                exchange = sensors.GetProperties(sensorId, propertyKeys, &data);
                callback = data.hr;
                break;
            }
            case 5: {
                what = "set interval";
                platform::ComPtr<IPortableDeviceValues> values = NewValues();
                if (!values) return tally->Unexpected("no values set");
                values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
                                                intervals[random() % std::size(intervals)]);
                transport::ValuesResult results;
                exchange = sensors.SetProperties(sensorId, values.Get(), &results);
                callback = results.hr;
                break;
            }
            default: {
                what = "radio get";
                const transport::TransportReply reply = client->IoControl(IOCTL_GET_RADIO_STATE, {}, 4);
                exchange = reply.status;
                break;
            }
            }
            tally->Request(what, exchange);
            if (SUCCEEDED(exchange) && FAILED(callback)) tally->Count(what + " callback " + HresultText(callback));
            const bool removalRefusal = IsRemovalRefusal(exchange, epochBefore, g_removalEpoch.load());
            if (FAILED(exchange) && !IsCleanRefusal(exchange) && !removalRefusal) {
                tally->Unexpected(what + " answered " + HresultText(exchange));
            }
            // A file of a removed device stays refused: start a new session.
            if (exchange == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) || exchange == E_HANDLE || removalRefusal) {
                break;
            }
        }
        client->Close();
    }
}

// Starts sensorctl watchers and kills them with SIGKILL, some before they are connected, some
// after their first reading.
void KillerLoop(const e2e::HostProcess& host, unsigned seed, Clock::time_point deadline, Tally* tally)
{
    std::mt19937 random(seed);
    while (Clock::now() < deadline) {
        std::unique_ptr<e2e::ChildProcess> watcher = host.StartCtl({"--json", "watch"});
        if (!watcher) return tally->Unexpected("sensorctl did not start");
        if (random() % 2 == 0) {
            // Up to its first line (a reading, or its report that the device is away), or a while.
            watcher->ReadLine(std::chrono::milliseconds(random() % 3000));
        }
        watcher->Signal(SIGKILL);
        if (watcher->Wait(e2e::kCommandTimeout) != 128 + SIGKILL) {
            // It may have ended on its own first (the device was pulled out under it).
            tally->Count("watchers that ended before the kill");
        }
        tally->Count("client processes killed");
    }
}

// Drives the machine through the simulation channel; every command must succeed. Leaves the device
// added and working.
void MachineLoop(const std::string& socket, unsigned seed, Clock::time_point deadline, Tally* tally)
{
    std::mt19937 random(seed);
    ClientCounters counters;
    HRESULT connected = S_OK;
    std::unique_ptr<transport::SocketClient> sim = ConnectClient(socket, &counters, &connected);
    if (!sim) return tally->Unexpected("simulation client: " + HresultText(connected));
    auto run = [&](const std::string& command) {
        std::string output;
        const HRESULT hr = sim->Simulate(command, &output);
        if (FAILED(hr)) tally->Unexpected("sim " + command + ": " + HresultText(hr) + " " + output);
        tally->Count("sim " + command);
    };
    auto pause = [&] { std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 1500)); };
    while (Clock::now() < deadline) {
        switch (random() % 4) {
        case 0:
            run("power ac");
            break;
        case 1:
            run("power dc");
            break;
        case 2:
            run("sleep");
            pause();
            run("resume");
            break;
        default:
            ++g_removalEpoch;
            run("surprise-remove");
            pause();
            run("add-device");
            ++g_removalEpoch;
            break;
        }
        pause();
    }
    run("power ac");
    sim->Close();
}

std::u16string FirstSensorId(transport::SocketClient& client)
{
    transport::SensorClient sensors(client.AsSensorTransport());
    transport::ObjectsResult objects;
    if (FAILED(sensors.GetSupportedSensorObjects(&objects)) || FAILED(objects.hr) || !objects.objects) return {};
    platform::ComPtr<IPortableDeviceValues> object;
    if (FAILED(objects.objects->GetAt(0, object.GetAddressOf()))) return {};
    LPWSTR text = nullptr;
    if (FAILED(object->GetStringValue(WPD_OBJECT_ID, &text)) || text == nullptr) return {};
    std::u16string id(text);
    CoTaskMemFree(text);
    return id;
}

// Waits (bounded) for the host's descriptors to come down to `limit` once the clients are gone.
int SettledFds(pid_t pid, int limit)
{
    const auto until = Clock::now() + 30s;
    int fds = OpenFds(pid);
    while (fds > limit && Clock::now() < until) {
        std::this_thread::sleep_for(100ms);
        fds = OpenFds(pid);
    }
    return fds;
}

TEST(SoakTest, ManyClientsWhileTheMachineChanges_AllAnsweredNothingGrows)
{
    const int seconds = EnvInt("THERMAL_STRESS_SECONDS", 50);
    const int clients = EnvInt("THERMAL_STRESS_CLIENTS", 8);
    const unsigned seed = static_cast<unsigned>(EnvInt("THERMAL_STRESS_SEED", static_cast<int>(std::random_device{}() >> 1)));
    std::printf("soak: %d s, %d client threads, seed %u (THERMAL_STRESS_SEED repeats it)\n", seconds, clients, seed);

    test_support::TempDir dir;
    auto host = e2e::HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    const pid_t pid = host->Process().Pid();
    // Before any client: what the host holds of its own (the socket, its log, its threads' pipes).
    const int idleFds = OpenFds(pid);

    ClientCounters firstCounters;
    HRESULT connected = S_OK;
    std::unique_ptr<transport::SocketClient> first = ConnectClient(host->Socket(), &firstCounters, &connected);
    ASSERT_TRUE(first) << HresultText(connected);
    const std::u16string sensorId = FirstSensorId(*first);
    ASSERT_FALSE(sensorId.empty());
    first->Close();

    Tally tally;
    // A subscriber that keeps up: it reads every event at once, so it must lose none.
    ClientCounters keeper;
    std::unique_ptr<transport::SocketClient> keeperClient = ConnectClient(host->Socket(), &keeper, &connected);
    ASSERT_TRUE(keeperClient);
    {
        transport::SensorClient keeperSensors(keeperClient->AsSensorTransport());
        HRESULT callback = E_FAIL;
        ASSERT_EQ(keeperSensors.Connect(sensorId, &callback), S_OK);
        ASSERT_EQ(keeperSensors.Subscribe(sensorId, &callback), S_OK);
        ASSERT_EQ(callback, S_OK);
    }

    // Warm-up: the full load before the first measurement, until thread pools, allocator caches and
    // the host's record of calls (a fixed number of entries, then the oldest go) have
    // reached their size: a third of the run (at least 10 s) and 20000 requests, or 60% of the run
    // on a machine too slow for that.
    constexpr long kWarmUpRequests = 20000;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    const auto warmedUp = start + std::chrono::seconds(std::max(10, seconds / 3));
    const auto latestWarmUp = start + std::chrono::seconds(std::max(10, seconds * 3 / 5));
    std::vector<ClientCounters> counters(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back(ClientLoop, host->Socket(), sensorId, seed + 1 + static_cast<unsigned>(i), deadline,
                             &tally, &counters[static_cast<std::size_t>(i)]);
    }
    threads.emplace_back(KillerLoop, std::cref(*host), seed + 1000, deadline, &tally);
    threads.emplace_back(MachineLoop, host->Socket(), seed + 2000, deadline, &tally);

    std::this_thread::sleep_until(warmedUp);
    while (tally.Requests() < kWarmUpRequests && Clock::now() < latestWarmUp) std::this_thread::sleep_for(100ms);
    const long warmUpRequests = tally.Requests();
    const long warmRss = VmRssKiB(pid);
    const int warmFds = OpenFds(pid);
    // Samples along the run, for the record.
    std::string samples;
    for (auto next = Clock::now() + 10s; next < deadline; next += 10s) {
        std::this_thread::sleep_until(next);
        samples += " " + std::to_string(VmRssKiB(pid)) + "/" + std::to_string(OpenFds(pid));
    }
    for (std::thread& thread : threads) thread.join();
    keeperClient->Close();

    // Quiet again: the device is added and working, every client is gone.
    const int endFds = SettledFds(pid, idleFds + kFdTolerance);
    const long endRss = VmRssKiB(pid);
    long dropped = keeper.dropped;
    long events = keeper.events;
    for (const ClientCounters& c : counters) {
        dropped += c.dropped;
        events += c.events;
    }
    std::printf("%s", tally.Report().c_str());
    std::printf("soak: events received %ld, dropped %ld (a prompt reader: the counter of frames the host dropped)\n",
                events, dropped);
    std::printf("soak: host RSS KiB/descriptors every 10 s after the warm-up:%s\n", samples.c_str());
    std::printf("soak: warm-up ended after %ld requests\n", warmUpRequests);
    std::printf("soak: host RSS after warm-up %ld KiB, at the end %ld KiB; descriptors before the clients %d, "
                "after warm-up %d, at the end %d\n",
                warmRss, endRss, idleFds, warmFds, endFds);

    EXPECT_EQ(tally.UnexpectedCount(), 0) << tally.UnexpectedList();
    EXPECT_EQ(dropped, 0) << "clients that read every event at once lost some";
    EXPECT_GT(tally.CountOf("sessions"), 0);
    EXPECT_GT(idleFds, 0);
    EXPECT_LE(endFds, idleFds + kFdTolerance) << "the host's descriptors grew";
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers keep freed memory in quarantine and shadow memory of their own, so resident
    // memory says nothing about leaks there (LeakSanitizer checks the host's heap instead).
    EXPECT_LE(endRss, warmRss + kRssToleranceKiB) << "the host's resident memory grew";
#endif

    // A fresh client is served: it connects to the sensor (which wakes the device) and reads a
    // temperature.
    ClientCounters freshCounters;
    std::unique_ptr<transport::SocketClient> fresh = ConnectClient(host->Socket(), &freshCounters, &connected);
    ASSERT_TRUE(fresh) << HresultText(connected);
    transport::SensorClient sensors(fresh->AsSensorTransport());
    HRESULT sensorConnected = E_FAIL;
    ASSERT_EQ(sensors.Connect(sensorId, &sensorConnected), S_OK);
    ASSERT_EQ(sensorConnected, S_OK);
    const PROPERTYKEY dataKeys[] = {SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
    transport::ValuesResult data;
    // The device may have just come back (resume, re-add): its first reading follows the thermal
    // map's settling, a few seconds later; until then a read answers that no data is there yet.
    const auto readBound = Clock::now() + kReplyBound;
    // A read that meets the purge of the device's power-down is aborted and sent again.
    do {
        const HRESULT sent = sensors.GetDataFields(sensorId, dataKeys, &data);
        if (sent == HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)) data.hr = sent;
        else ASSERT_EQ(sent, S_OK);
        if (data.hr != S_OK) std::this_thread::sleep_for(250ms);
    } while (data.hr != S_OK && Clock::now() < readBound);
    EXPECT_EQ(data.hr, S_OK) << HresultText(data.hr);
    fresh->Close();
    EXPECT_EQ(host->Stop(), 0) << host->Process().Stderr();
}

}  // namespace
