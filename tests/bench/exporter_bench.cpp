#include "exporter_bench.h"

#include <fcntl.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

namespace bench {
namespace {

constexpr std::uint64_t kGiveUpNs = 60'000'000'000ull;

std::size_t CountInFile(const std::string& path, std::string_view text)
{
    std::ifstream file(path);
    std::size_t count = 0;
    for (std::string line; std::getline(file, line);) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

// A field of /proc/PID/status or smaps_rollup in KiB ("VmRSS:", "Shared_Clean:").
std::size_t KiBField(const std::string& path, std::string_view field)
{
    std::ifstream file(path);
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with(field)) return std::stoul(line.substr(field.size()));
    }
    return 0;
}

// The port the exporter prints in its "serving metrics on http://ADDRESS:PORT/metrics" line.
int ReadPort(int fd, std::string* error)
{
    std::string output;
    const std::uint64_t start = MonotonicNs();
    while (MonotonicNs() - start < kGiveUpNs) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 1000) <= 0) continue;
        char chunk[512];
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got <= 0) break;
        output.append(chunk, static_cast<std::size_t>(got));
        std::smatch port;
        if (std::regex_search(output, port, std::regex(":([0-9]+)/metrics\n"))) return std::stoi(port[1]);
    }
    *error = "the exporter printed no address: " + output;
    return 0;
}

}  // namespace

std::size_t HttpFloorRssKiB(const std::string& httpFloor)
{
    FILE* output = ::popen(("'" + httpFloor + "'").c_str(), "r");
    if (output == nullptr) return 0;
    std::size_t kib = 0;
    char line[128];
    if (std::fgets(line, sizeof(line), output) != nullptr) std::sscanf(line, "VmRSS: %zu", &kib);
    ::pclose(output);
    return kib;
}

std::optional<ExporterFigures> MeasureExporter(const std::string& exporter, const std::string& socket,
                                               const std::string& hostLog, int scrapes, std::string* error)
{
    int output = -1;
    const pid_t pid =
        SpawnWithOutputPipe({exporter, "--socket", socket, "--listen", "127.0.0.1:0"}, &output, error);
    if (pid < 0) return std::nullopt;
    std::optional<ExporterFigures> figures;
    if (const int port = ReadPort(output, error); port != 0) {
        httplib::Client client("127.0.0.1", port);
        client.set_keep_alive(true);
        const auto hasTemperature = [&client] {
            const httplib::Result result = client.Get("/metrics");
            return result && result->body.find("\nthermal_driver_temperature_celsius{") != std::string::npos;
        };
        const std::uint64_t start = MonotonicNs();
        bool ready = false;
        while (!(ready = hasTemperature()) && MonotonicNs() - start < kGiveUpNs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (ready) {
            const std::size_t connectsBefore = CountInFile(hostLog, "client connected");
            std::vector<double> samples;
            for (int i = 0; i < scrapes; ++i) {
                const std::uint64_t begin = MonotonicNs();
                const httplib::Result result = client.Get("/metrics");
                samples.push_back(static_cast<double>(MonotonicNs() - begin) / 1000.0);
                if (!result || result->status != 200) {
                    *error = "a scrape failed";
                    samples.clear();
                    break;
                }
            }
            if (!samples.empty()) {
                figures = ExporterFigures{};
                figures->scrapeUs = Summarize(std::move(samples));
                figures->rssKiB = KiBField("/proc/" + std::to_string(pid) + "/status", "VmRSS:");
                figures->sharedKiB = KiBField("/proc/" + std::to_string(pid) + "/smaps_rollup", "Shared_Clean:");
                figures->hostConnectsDuringScrapes = CountInFile(hostLog, "client connected") - connectsBefore;
            }
        } else {
            *error = "the exporter showed no temperature within 60 s";
        }
    }
    ::close(output);
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return figures;
}

}  // namespace bench
