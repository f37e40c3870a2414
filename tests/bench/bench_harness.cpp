// thermal_bench: the benchmarks that need the host as a process. It starts driver-host (with the
// stamp library preloaded, see stamp_log.h), connects clients over the socket and prints each
// figure beside its goal. docs/performance.md describes the method and the figures.
//
//   thermal_bench all            every figure, with one host (about five minutes)
//   thermal_bench latency        event latency with 1, 100 and 1000 subscribed clients
//   thermal_bench interval       interval accuracy and jitter at 1000 ms and 100 ms
//   thermal_bench throughput     property and data-field reads from 1 and 8 clients
//   thermal_bench idle           host CPU time with no client and with one subscriber at 1000 ms
//   thermal_bench memory         host RSS with 0, 1, 100 and 1000 subscribed clients
//   thermal_bench floor          the socket round-trip floor alone, back to back and paced
//   thermal_bench cold           sensorctl get and watch: start to first reading on an idle device
//   thermal_bench exporter       thermal-exporter: its RSS and the time of a scrape, the host otherwise idle
//   --quick                      short windows and few clients: checks that it runs (CTest)
//   --load busy|both             beside a load that keeps every CPU awake (a spinning process per
//                                CPU at nice 19); both: the command quiet, then again beside it
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_clients.h"
#include "bench_stats.h"
#include "cold_reading.h"
#include "exporter_bench.h"
#include "host_process.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "platform/wpd/portable_device_values.h"

namespace {

using bench::Summary;

struct Config {
    std::string command;
    bool quick = false;
    std::string load = "none";  // none, busy or both
    std::vector<int> clientCounts = {1, 100, 1000};
    double latencyWindow = 20;    // s, per client count above 1
    double intervalWindow = 30;   // s, at 100 ms (also the one-client latency window)
    double slowWindow = 60;       // s, at 1000 ms (also the idle window with one subscriber)
    double idleWindow = 60;       // s, with no client
    double throughputWindow = 5;  // s, per run
    std::size_t floorRoundTrips = 20000;
    std::size_t pacedFloorRoundTrips = 200;  // one every report interval of the latency window
    int coldRuns = 5;                        // of each client, for the cold first reading's median
    std::string hostPath = THERMAL_BENCH_HOST_PATH;
    std::string sensorctlPath = THERMAL_BENCH_SENSORCTL_PATH;
    std::string exporterPath = THERMAL_BENCH_EXPORTER_PATH;
    std::string httpFloorPath = THERMAL_BENCH_HTTP_FLOOR_PATH;
    int scrapes = 1000;  // of the exporter, for its scrape time
    std::string stampLibrary = THERMAL_BENCH_STAMP_LIBRARY;
};

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Print(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

const char* Verdict(bool met)
{
    return met ? "met" : "NOT met";
}

void SleepSeconds(double seconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// CLOCK_REALTIME minus CLOCK_MONOTONIC, in ns.
std::int64_t RealtimeOffsetNs()
{
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    const auto realNs = static_cast<std::int64_t>(real.tv_sec) * 1'000'000'000 + real.tv_nsec;
    return realNs - static_cast<std::int64_t>(bench::MonotonicNs());
}

// FILETIME (100 ns since 1601) to Unix ns.
std::int64_t FileTimeToUnixNs(std::uint64_t fileTime)
{
    constexpr std::int64_t kEpochDifference = 116444736000000000;  // 1601 to 1970, in 100 ns
    return (static_cast<std::int64_t>(fileTime) - kEpochDifference) * 100;
}

// A process per CPU that spins at the lowest priority while this lives: the CPUs stay awake, as on
// a machine with other work, while the host's and the clients' threads still run first.
class CpuLoad {
public:
    CpuLoad()
    {
        const long cpus = std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN));
        for (long i = 0; i < cpus; ++i) {
            const pid_t child = ::fork();
            if (child < 0) {
                Stop();  // the processes already started would spin on after the harness
                throw std::runtime_error("cannot start the load: fork failed");
            }
            if (child == 0) {
                ::setpriority(PRIO_PROCESS, 0, 19);
                volatile unsigned long spin = 0;
                for (;;) spin = spin + 1;
            }
            m_children.push_back(child);
        }
    }
    ~CpuLoad() { Stop(); }
    CpuLoad(const CpuLoad&) = delete;
    CpuLoad& operator=(const CpuLoad&) = delete;

    std::size_t Processes() const { return m_children.size(); }

private:
    void Stop()
    {
        for (const pid_t child : m_children) ::kill(child, SIGKILL);
        for (const pid_t child : m_children) ::waitpid(child, nullptr, 0);
        m_children.clear();
    }

    std::vector<pid_t> m_children;
};

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five;
    file >> one >> five;
    return one + " " + five;
}

class Bench {
public:
    explicit Bench(Config config) : m_config(std::move(config)) {}

    int Run();

private:
    bool Wants(const char* part) const { return m_config.command == "all" || m_config.command == part; }

    Summary Floor(const char* when);
    // The floor with one echo every 100 ms, the spacing of the events in the latency windows.
    Summary PacedFloor();
    void StartHost();
    // Stops the host and removes its work directory when it ended well; the exit code.
    int StopHost();
    void AddSubscriber();
    void SetInterval(std::uint32_t milliseconds);
    void WaitForFirstEvent();
    void MeasureIdleWithoutClient();
    void MeasureColdFirstReading();
    void MeasureExporter();
    // One window with the subscribers there are: the events that came, and the host's CPU time.
    struct Window {
        std::vector<bench::EventRecord> events;
        double seconds = 0;
        std::uint64_t threadCpuNs = 0;
        std::uint64_t statCpuNs = 0;
        std::vector<std::size_t> rssKiB;  // sampled once a second
    };
    Window Record(double seconds);
    void ReportInterval(const Window& window, std::uint32_t intervalMs);
    void ReportLatency(const Window& window, std::size_t clients, const Summary& floor,
                       const Summary* pacedFloor = nullptr);
    void ReportIdle(const Window& window, const char* what);
    void MeasureThroughput();
    void ReportMemory(std::size_t clients);
    // Samples the RSS for up to 10 s after the other subscribers left: when it came back near the
    // one-client figure from before the peak.
    void ReportMemoryAfterPeak();

    const Config m_config;
    std::filesystem::path m_workDirectory;
    std::unique_ptr<bench::HostProcess> m_host;
    std::unique_ptr<bench::EventReader> m_reader;
    std::u16string m_sensorId;
    std::vector<std::unique_ptr<bench::RawClient>> m_subscribers;
    std::unique_ptr<bench::RawClient> m_intervalClient;  // connected to the sensor, asks for the interval
    std::uint32_t m_intervalMs = 1000;
    double m_floorP50 = 1;  // the latest floor's p50, us
    std::map<std::size_t, std::size_t> m_rssByClients;
};

Summary Bench::Floor(const char* when)
{
    const Summary floor = bench::EchoFloor(m_config.floorRoundTrips, 16);
    m_floorP50 = floor.p50;
    Print("floor (%s): Unix-domain stream socket, 16-byte echo to a child process: %s, mean %.1f us\n", when,
          bench::LatencyText(floor).c_str(), floor.mean);
    return floor;
}

Summary Bench::PacedFloor()
{
    const Summary floor = bench::EchoFloor(m_config.pacedFloorRoundTrips, 16, std::chrono::milliseconds(100));
    Print("floor (one echo every 100 ms, as the events come): %s, mean %.1f us\n", bench::LatencyText(floor).c_str(),
          floor.mean);
    return floor;
}

void Bench::StartHost()
{
    char pattern[] = "/tmp/thermal-bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a work directory");
    m_workDirectory = pattern;
    bench::HostProcess::Options options{m_config.hostPath, m_config.stampLibrary, m_workDirectory.string(), {}};
    std::string why;
    const std::uint64_t start = bench::MonotonicNs();
    m_host = bench::HostProcess::Start(options, &why);
    if (!m_host) throw std::runtime_error(why);
    Print("host: driver-host pid %d answers after %.1f s (the module's load settles for about 5 s); %zu threads\n",
          m_host->Pid(), static_cast<double>(bench::MonotonicNs() - start) / 1e9, m_host->Threads());
    m_reader = std::make_unique<bench::EventReader>(m_host->HasStamps() ? &m_host->Stamps() : nullptr);
}

void Bench::AddSubscriber()
{
    std::string why;
    auto client = bench::RawClient::Connect(m_host->SocketPath(), &why);
    if (!client) throw std::runtime_error("a subscriber cannot connect: " + why);
    transport::SensorClient sensors(client->Transport());
    if (m_sensorId.empty()) {
        transport::ObjectsResult objects;
        DWORD count = 0;
        if (FAILED(sensors.GetSupportedSensorObjects(&objects)) || FAILED(objects.hr) || !objects.objects ||
            FAILED(objects.objects->GetCount(&count)) || count == 0) {
            throw std::runtime_error("the host lists no sensor");
        }
        platform::ComPtr<IPortableDeviceValues> object;
        LPWSTR id = nullptr;
        if (FAILED(objects.objects->GetAt(0, object.GetAddressOf())) ||
            FAILED(object->GetStringValue(WPD_OBJECT_ID, &id))) {
            throw std::runtime_error("the sensor has no object ID");
        }
        m_sensorId = id;
        CoTaskMemFree(id);
    }
    const auto send = [&](const char* what, auto request) {
        HRESULT result = E_FAIL;
        const HRESULT sent = request(&result);
        if (FAILED(sent) || FAILED(result)) {
            char text[128];
            std::snprintf(text, sizeof(text), "a client cannot %s the sensor (0x%08X, 0x%08X)", what,
                          static_cast<unsigned>(sent), static_cast<unsigned>(result));
            throw std::runtime_error(text);
        }
    };
    send("connect to", [&](HRESULT* result) { return sensors.Connect(m_sensorId, result); });
    send("subscribe to", [&](HRESULT* result) { return sensors.Subscribe(m_sensorId, result); });
    m_reader->Add(client.get(), static_cast<std::uint32_t>(m_subscribers.size()));
    m_subscribers.push_back(std::move(client));
}

void Bench::SetInterval(std::uint32_t milliseconds)
{
    // The wish comes from a client of its own (connected, not subscribed): the subscribers'
    // connections belong to the event reader.
    if (!m_intervalClient) {
        std::string why;
        m_intervalClient = bench::RawClient::Connect(m_host->SocketPath(), &why);
        if (!m_intervalClient) throw std::runtime_error("the interval client cannot connect: " + why);
        HRESULT result = E_FAIL;
        transport::SensorClient sensors(m_intervalClient->Transport());
        if (FAILED(sensors.Connect(m_sensorId, &result)) || FAILED(result)) {
            throw std::runtime_error("the interval client cannot connect to the sensor");
        }
    }
    transport::SensorClient sensors(m_intervalClient->Transport());
    platform::ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void**>(values.GetAddressOf()));
    if (!values || FAILED(values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, milliseconds))) {
        throw std::runtime_error("cannot make the report interval's values");
    }
    transport::ValuesResult result;
    if (FAILED(sensors.SetProperties(m_sensorId, values.Get(), &result)) || result.hr != S_OK) {
        throw std::runtime_error("the report interval " + std::to_string(milliseconds) + " ms was refused");
    }
    // The wait under way keeps the old interval; the tick after it reads the new one.
    const std::uint32_t previous = m_intervalMs;
    m_intervalMs = milliseconds;
    SleepSeconds((previous + 2.0 * milliseconds) / 1000.0 + 0.3);
    Print("report interval: %u ms\n", milliseconds);
}

void Bench::WaitForFirstEvent()
{
    const std::uint64_t start = bench::MonotonicNs();
    m_reader->BeginWindow();
    while (m_reader->RecordCount() == 0) {
        if (bench::MonotonicNs() - start > 90'000'000'000ull) throw std::runtime_error("no data event within 90 s");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_reader->EndWindow();
    Print(
        "wake: the first data-updated event came %.1f s after the first subscribe (the woken device settles for "
        "about 5 s)\n",
        static_cast<double>(bench::MonotonicNs() - start) / 1e9);
}

Bench::Window Bench::Record(double seconds)
{
    Window window;
    const std::uint64_t cpu0 = m_host->ThreadCpuNs();
    const std::uint64_t stat0 = m_host->StatCpuNs();
    const std::uint64_t start = bench::MonotonicNs();
    m_reader->BeginWindow();
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                            std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() < end) {
        window.rssKiB.push_back(m_host->RssKiB());
        std::this_thread::sleep_until(std::min(end, std::chrono::steady_clock::now() + std::chrono::seconds(1)));
    }
    window.events = m_reader->EndWindow();
    window.seconds = static_cast<double>(bench::MonotonicNs() - start) / 1e9;
    window.threadCpuNs = m_host->ThreadCpuNs() - cpu0;
    window.statCpuNs = m_host->StatCpuNs() - stat0;
    window.rssKiB.push_back(m_host->RssKiB());
    return window;
}

void Bench::ReportIdle(const Window& window, const char* what)
{
    const double percent = static_cast<double>(window.threadCpuNs) / (window.seconds * 1e9) * 100.0;
    const double statPercent = static_cast<double>(window.statCpuNs) / (window.seconds * 1e9) * 100.0;
    const auto [low, high] = std::minmax_element(window.rssKiB.begin(), window.rssKiB.end());
    Print(
        "idle CPU, %s, %.0f s: %.4f %% of one core (%.1f ms; /proc stat in 10-ms ticks: %.1f ms, %.3f %%)  "
        "[goal <= 0.1 %%: %s]; RSS %zu..%zu KiB over the window\n",
        what, window.seconds, percent, static_cast<double>(window.threadCpuNs) / 1e6,
        static_cast<double>(window.statCpuNs) / 1e6, statPercent, Verdict(percent <= 0.1), *low, *high);
}

void Bench::MeasureIdleWithoutClient()
{
    // The device idles (leaves D0) once no client needs it; the window starts after start-up.
    const Window window = Record(m_config.idleWindow);
    ReportIdle(window, "no client");
}

void Bench::MeasureExporter()
{
    std::string why;
    const std::optional<bench::ExporterFigures> figures =
        bench::MeasureExporter(m_config.exporterPath, m_host->SocketPath(), m_host->LogPath(), m_config.scrapes, &why);
    if (!figures) throw std::runtime_error("exporter: " + why);
    Print("exporter: scrape %s  [goal p50 < 5 ms: %s]\n", bench::LatencyText(figures->scrapeUs).c_str(),
          Verdict(figures->scrapeUs.p50 < 5000));
    const std::size_t floorKiB = bench::HttpFloorRssKiB(m_config.httpFloorPath);
    Print("exporter: RSS %zu KiB (%.2f MiB; %zu KiB of it library pages shared with other processes); "
          "floor (a program that only makes a cpp-httplib server) %zu KiB, %.2f x  [goal < 8 MiB: %s]\n",
          figures->rssKiB, figures->rssKiB / 1024.0, figures->sharedKiB, floorKiB,
          floorKiB != 0 ? static_cast<double>(figures->rssKiB) / static_cast<double>(floorKiB) : 0.0,
          Verdict(figures->rssKiB < 8 * 1024));
    Print("exporter: %zu host connects during %d scrapes  [goal 0: %s]\n", figures->hostConnectsDuringScrapes,
          m_config.scrapes, Verdict(figures->hostConnectsDuringScrapes == 0));
}

void Bench::MeasureColdFirstReading()
{
    struct Client {
        const char* name;
        std::vector<std::string> args;
    };
    const Client clients[] = {{"get", {"--json", "get"}}, {"watch", {"--json", "watch"}}};
    for (const Client& client : clients) {
        std::vector<double> seconds;
        std::string runs;
        for (int run = 0; run < m_config.coldRuns; ++run) {
            // The last client's leave lets the device idle 100 ms later: a second on, it is cold.
            SleepSeconds(1.0);
            std::string why;
            const std::optional<double> first =
                bench::FirstReadingSeconds(m_config.sensorctlPath, m_host->SocketPath(), client.args, &why);
            if (!first) throw std::runtime_error(why);
            seconds.push_back(*first);
            char text[16];
            std::snprintf(text, sizeof(text), "%s%.2f", runs.empty() ? "" : ", ", *first);
            runs += text;
        }
        const Summary summary = bench::Summarize(seconds);
        Print("cold first reading, sensorctl %s: median %.2f s from its start to its first reading (runs: %s s)  "
              "[goal <= 5.5 s: %s]\n",
              client.name, summary.p50, runs.c_str(), Verdict(summary.p50 <= 5.5));
    }
    SleepSeconds(1.0);  // the device idles again before what follows
}

void Bench::ReportInterval(const Window& window, std::uint32_t intervalMs)
{
    // The first subscriber's events, in order of arrival.
    std::vector<bench::EventRecord> events;
    for (const auto& event : window.events) {
        if (event.client == 0) events.push_back(event);
    }
    std::sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.receivedNs < b.receivedNs; });
    const auto report = [&](const char* what, auto timeOf) {
        std::vector<double> gaps;
        for (std::size_t i = 1; i < events.size(); ++i) {
            const std::uint64_t a = timeOf(events[i - 1]);
            const std::uint64_t b = timeOf(events[i]);
            if (a != 0 && b != 0) gaps.push_back(static_cast<double>(b - a) / 1e6);
        }
        const Summary gap = bench::Summarize(gaps);
        const double within = gaps.empty()
                                  ? 0.0
                                  : static_cast<double>(std::count_if(
                                        gaps.begin(), gaps.end(),
                                        [&](double g) { return std::abs(g - intervalMs) <= 0.02 * intervalMs; })) /
                                        static_cast<double>(gaps.size()) * 100.0;
        const double meanError = (gap.mean - intervalMs) / intervalMs * 100.0;
        Print(
            "interval %u ms, %s: mean period %.3f ms (%+.3f %%), gaps 2.5-97.5 %% %.3f..%.3f ms, largest %.3f ms "
            "(%.3f periods), %.1f %% of gaps within +-2 %% (n=%zu)",
            intervalMs, what, gap.mean, meanError, gap.p2_5, gap.p97_5, gap.max, gap.max / intervalMs, within,
            gap.count);
        if (intervalMs == 100) {
            Print("  [goals: mean within +-1 %%: %s; 95 %% within +-2 %%: %s; no gap above 1.8 periods: %s]",
                  Verdict(std::abs(meanError) <= 1.0), Verdict(within >= 95.0), Verdict(gap.max <= 1.8 * intervalMs));
        }
        Print("\n");
    };
    report("hand-over to hand-over", [](const bench::EventRecord& e) { return e.handOverNs; });
    report("as the client receives", [](const bench::EventRecord& e) { return e.receivedNs; });
}

void Bench::ReportLatency(const Window& window, std::size_t clients, const Summary& floor, const Summary* pacedFloor)
{
    std::vector<double> latencies;
    std::vector<double> byTimestamp;
    std::size_t unmatched = 0;
    const std::int64_t offset = RealtimeOffsetNs();
    for (const auto& event : window.events) {
        if (event.handOverNs == 0) {
            ++unmatched;
        } else {
            latencies.push_back(static_cast<double>(event.receivedNs - event.handOverNs) / 1000.0);
        }
        const std::int64_t receivedUnixNs = static_cast<std::int64_t>(event.receivedNs) + offset;
        byTimestamp.push_back(static_cast<double>(receivedUnixNs - FileTimeToUnixNs(event.fileTime)) / 1000.0);
    }
    const Summary latency = bench::Summarize(latencies);
    const Summary stamped = bench::Summarize(byTimestamp);
    Print("event latency, %zu subscribed client(s): %s; %.1f x the floor's p50 at p50, %.1f x at p99", clients,
          bench::LatencyText(latency).c_str(), latency.p50 / floor.p50, latency.p99 / floor.p50);
    if (pacedFloor != nullptr && pacedFloor->count > 0) {
        Print("; %.1f x the paced floor's p50 at p50, %.1f x its p99 at p99", latency.p50 / pacedFloor->p50,
              latency.p99 / pacedFloor->p99);
    }
    if (clients == 1) {
        Print("  [goals: p50 <= 50 us: %s; p99 <= 500 us: %s]", Verdict(latency.p50 <= 50),
              Verdict(latency.p99 <= 500));
    } else if (clients >= 1000) {
        Print("  [goal: p99 <= 3 ms: %s]", Verdict(latency.p99 <= 3000));
    }
    Print("\n");
    Print(
        "   (events %zu over %zu clients, %zu without a hand-over stamp; by the event's own millisecond timestamp "
        "the p50 would read %.1f us; host dropped %llu events so far)\n",
        window.events.size(), clients, unmatched, stamped.p50,
        static_cast<unsigned long long>(m_reader->DroppedEvents()));
}

void Bench::MeasureThroughput()
{
    const std::vector<PROPERTYKEY> properties = {SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
                                                 SENSOR_PROPERTY_MANUFACTURER};
    const std::vector<PROPERTYKEY> dataFields = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
    const std::u16string id = m_sensorId;
    const auto read = [id](std::span<const PROPERTYKEY> keys, bool data) {
        return [id, keys, data](const transport::SensorClient& sensors) {
            transport::ValuesResult result;
            const HRESULT hr =
                data ? sensors.GetDataFields(id, keys, &result) : sensors.GetProperties(id, keys, &result);
            return FAILED(hr) ? hr : result.hr;
        };
    };
    // One request at a time per client (the goal's case), and one client with four requests in
    // flight (four threads sharing its connection).
    const std::pair<int, int> runs[] = {{1, 1}, {8, 1}, {1, 4}};
    for (const bool data : {false, true}) {
        for (const auto& [clients, threads] : runs) {
            const bench::Throughput throughput = bench::MeasureThroughput(
                m_host->SocketPath(), m_sensorId, clients, threads, m_config.throughputWindow,
                read(data ? std::span<const PROPERTYKEY>(dataFields) : std::span<const PROPERTYKEY>(properties), data));
            const Summary roundTrip = bench::Summarize(throughput.roundTripsUs);
            Print(
                "throughput, %s, %d client(s)%s: %.0f requests/s; round trip p50 %.1f us p99 %.1f us (n=%zu, %llu "
                "failed)",
                data ? "data-field reads (2 fields)" : "property reads (3 properties)", clients,
                threads > 1 ? " with 4 requests in flight" : "", throughput.perSecond, roundTrip.p50, roundTrip.p99,
                roundTrip.count, static_cast<unsigned long long>(throughput.failures));
            const double ratio = roundTrip.p50 / m_floorP50;
            Print("  (%.1f x the floor's p50 at p50)", ratio);
            if (!data && clients == 1 && threads == 1) {
                Print("  [goals: >= 50000/s: %s; p50 <= 2.0 x the floor: %s]", Verdict(throughput.perSecond >= 50000),
                      Verdict(ratio <= 2.0));
            }
            Print("\n");
        }
    }
}

void Bench::ReportMemoryAfterPeak()
{
    const std::size_t before = m_rssByClients.count(1) != 0 ? m_rssByClients[1] : 0;
    const auto goal = static_cast<std::size_t>(1.2 * static_cast<double>(before));
    const double step = 0.25;
    double waited = 0;
    std::size_t rss = m_host->RssKiB();
    while (rss > goal && waited < 10) {
        SleepSeconds(step);
        waited += step;
        rss = m_host->RssKiB();
    }
    Print("memory: host RSS after the other subscribers left: %zu KiB after %.2f s; %.2f x the %zu KiB with one "
          "client before the peak  [goal <= 1.2 x within 10 s: %s]\n",
          rss, waited, before != 0 ? static_cast<double>(rss) / static_cast<double>(before) : 0.0, before,
          Verdict(before != 0 && rss <= goal));
}

void Bench::ReportMemory(std::size_t clients)
{
    SleepSeconds(m_config.quick ? 0.2 : 1.0);
    const std::size_t rss = m_host->RssKiB();
    m_rssByClients[clients] = rss;
    Print("memory: host RSS with %zu subscribed client(s): %zu KiB (%.2f MiB), %zu threads", clients, rss, rss / 1024.0,
          m_host->Threads());
    if (clients == 1) Print("  [goal <= 8 MiB: %s]", Verdict(rss <= 8 * 1024));
    if (clients > 1 && m_rssByClients.count(1) != 0) {
        const double perClient =
            (static_cast<double>(rss) - static_cast<double>(m_rssByClients[1])) / static_cast<double>(clients - 1);
        Print("; %.1f KiB per added client  [goal <= 32 KiB: %s]", perClient, Verdict(perClient <= 32));
    }
    Print("\n");
}

int Bench::Run()
{
    const bool hostParts = m_config.command != "floor";
    Summary floor = Floor("start");
    if (!hostParts) {
        PacedFloor();
        return 0;
    }

    StartHost();
    if (Wants("memory")) ReportMemory(0);
    if (Wants("idle")) MeasureIdleWithoutClient();
    if (Wants("cold")) MeasureColdFirstReading();
    if (Wants("exporter")) MeasureExporter();
    if (m_config.command == "cold" || m_config.command == "exporter") return StopHost();

    AddSubscriber();
    WaitForFirstEvent();
    SetInterval(1000);
    if (Wants("memory")) ReportMemory(1);

    if (Wants("idle") || Wants("interval")) {
        const Window slow = Record(m_config.slowWindow);
        if (Wants("idle")) ReportIdle(slow, "one subscriber at 1000 ms");
        if (Wants("interval")) ReportInterval(slow, 1000);
    }

    if (Wants("interval") || Wants("latency") || Wants("throughput") || Wants("memory")) SetInterval(100);
    if (Wants("interval") || Wants("latency")) {
        floor = Floor("before the one-client window");
        const Summary paced = Wants("latency") ? PacedFloor() : Summary{};
        const Window fast = Record(m_config.intervalWindow);
        if (Wants("interval")) ReportInterval(fast, 100);
        if (Wants("latency")) ReportLatency(fast, 1, floor, &paced);
    }
    if (Wants("latency") || Wants("memory")) {
        for (const int count : m_config.clientCounts) {
            if (count <= 1) continue;
            while (m_subscribers.size() < static_cast<std::size_t>(count)) AddSubscriber();
            if (Wants("memory")) ReportMemory(m_subscribers.size());
            if (Wants("latency")) {
                floor = Floor("before the window");
                ReportLatency(Record(m_config.latencyWindow), m_subscribers.size(), floor);
            }
        }
        // Back to the first subscriber: the rest close their connections.
        m_reader.reset();
        m_subscribers.resize(1);
        m_reader = std::make_unique<bench::EventReader>(m_host->HasStamps() ? &m_host->Stamps() : nullptr);
        m_reader->Add(m_subscribers[0].get(), 0);
        if (Wants("memory")) ReportMemoryAfterPeak();
    }
    // Flat over time: the work that follows (the throughput runs, then a window of readings) adds
    // nothing to what the host held before it. What the allocator keeps of an earlier peak (the
    // most subscribers) is shown beside it.
    const std::size_t rssBefore = m_host->RssKiB();
    if (Wants("throughput")) {
        Floor("before the throughput runs");
        MeasureThroughput();
    }
    if (Wants("memory")) {
        const Window later = Record(m_config.quick ? 1.0 : 10.0);
        const auto [low, high] = std::minmax_element(later.rssKiB.begin(), later.rssKiB.end());
        const auto kib = [](std::size_t value) { return static_cast<long long>(value); };
        Print(
            "memory: host RSS with one subscriber%s, over %.0f s: %zu..%zu KiB; %+lld KiB against the %zu KiB "
            "before%s, %+lld KiB against one client at the start  [flat: %s]\n",
            Wants("throughput") ? " after the throughput runs" : "", later.seconds, *low, *high,
            kib(*high) - kib(rssBefore), rssBefore, Wants("throughput") ? " them" : "",
            kib(*high) - kib(m_rssByClients[1]), Verdict(*high <= rssBefore + 256));
    }
    Print("host: %llu events dropped by the host in all, %llu connections ended by the host\n",
          static_cast<unsigned long long>(m_reader->DroppedEvents()),
          static_cast<unsigned long long>(m_reader->ClosedConnections()));

    return StopHost();
}

int Bench::StopHost()
{
    m_reader.reset();
    m_subscribers.clear();
    m_intervalClient.reset();
    const int status = m_host->Stop();
    std::error_code ignored;
    if (status == 0)
        std::filesystem::remove_all(m_workDirectory, ignored);
    else
        Print("host: exit status %d; its output is in %s\n", status, m_host->LogPath().c_str());
    return status == 0 ? 0 : 1;
}

int Usage(const char* why)
{
    if (why != nullptr) std::fprintf(stderr, "thermal_bench: %s\n", why);
    std::fprintf(stderr,
                 "usage: thermal_bench [--quick] [--load none|busy|both] [--clients N,N,...]\n"
                 "                     [--latency-window S] [--interval-window S]\n"
                 "                     [--slow-window S] [--idle-window S] [--throughput-window S]\n"
                 "                     [--host PATH] [--stamp-library PATH] [--sensorctl PATH] [--exporter PATH]\n"
                 "                     all|latency|interval|throughput|idle|memory|floor|cold|exporter\n"
                 "Windows (seconds): latency per client count above one (20), the 100-ms interval and one-client\n"
                 "latency (30), the 1000-ms interval and idle CPU with one subscriber (60), idle CPU with no client\n"
                 "(60), each throughput run (5).\n"
                 "--load busy runs beside a spinning process per CPU at nice 19 (CPUs kept awake); both runs the\n"
                 "command quiet, then again beside that load.\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Config config;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(argument + " needs a value");
            return argv[++i];
        };
        try {
            if (argument == "--quick") {
                config.quick = true;
                config.clientCounts = {1, 20};
                config.latencyWindow = 1;
                config.intervalWindow = 1.5;
                config.slowWindow = 2.5;
                config.idleWindow = 1;
                config.throughputWindow = 0.3;
                config.floorRoundTrips = 2000;
                config.pacedFloorRoundTrips = 10;
                config.coldRuns = 1;
                config.scrapes = 50;
            } else if (argument == "--load") {
                config.load = value();
                if (config.load != "none" && config.load != "busy" && config.load != "both") {
                    throw std::invalid_argument("--load takes none, busy or both");
                }
            } else if (argument == "--clients") {
                config.clientCounts.clear();
                std::stringstream list(value());
                for (std::string item; std::getline(list, item, ',');) config.clientCounts.push_back(std::stoi(item));
            } else if (argument == "--latency-window") {
                config.latencyWindow = std::stod(value());
            } else if (argument == "--interval-window") {
                config.intervalWindow = std::stod(value());
            } else if (argument == "--slow-window") {
                config.slowWindow = std::stod(value());
            } else if (argument == "--idle-window") {
                config.idleWindow = std::stod(value());
            } else if (argument == "--throughput-window") {
                config.throughputWindow = std::stod(value());
            } else if (argument == "--host") {
                config.hostPath = value();
            } else if (argument == "--sensorctl") {
                config.sensorctlPath = value();
            } else if (argument == "--exporter") {
                config.exporterPath = value();
            } else if (argument == "--stamp-library") {
                config.stampLibrary = value();
            } else if (argument == "--help" || argument == "-h") {
                return Usage(nullptr), 0;
            } else if (!argument.empty() && argument[0] != '-' && config.command.empty()) {
                config.command = argument;
            } else {
                return Usage(("unknown argument " + argument).c_str());
            }
        } catch (const std::exception& failure) {
            return Usage(failure.what());
        }
    }
    static const char* const kCommands[] = {"all",    "latency", "interval", "throughput",
                                            "idle",   "memory",  "floor",    "cold", "exporter"};
    if (std::none_of(std::begin(kCommands), std::end(kCommands), [&](const char* c) { return config.command == c; })) {
        return Usage("name one command");
    }
    // A descriptor per subscriber, and some to spare.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    const auto run = [&config](bool busy) {
        std::optional<CpuLoad> load;
        if (busy) load.emplace();
        if (config.load == "both" || busy) {
            Print("== %s (load average %s at the start) ==\n",
                  busy ? ("beside a load: " + std::to_string(load->Processes()) + " processes spinning at nice 19")
                             .c_str()
                       : "quiet: no load made by the harness",
                  LoadAverage().c_str());
        }
        return Bench(config).Run();
    };
#ifndef NDEBUG
    Print("(a build without optimisation: the figures, the exporter's RSS among them, are not the release "
          "build's, from which docs/performance.md takes its own)\n");
#endif
    try {
        if (config.load == "both") {
            const int quiet = run(false);
            const int busy = run(true);
            return quiet != 0 ? quiet : busy;
        }
        return run(config.load == "busy");
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "thermal_bench: %s\n", failure.what());
        return 1;
    }
}
