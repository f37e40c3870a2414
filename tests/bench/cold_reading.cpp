#include "cold_reading.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench_stats.h"

namespace bench {
namespace {

constexpr std::uint64_t kGiveUpNs = 60'000'000'000ull;

// A JSON line of sensorctl with a number as its temperature.
bool CarriesTemperature(const std::string& line)
{
    constexpr std::string_view kKey = "\"temperature_celsius\":";
    const std::size_t at = line.find(kKey);
    if (at == std::string::npos || at + kKey.size() >= line.size()) return false;
    const char first = line[at + kKey.size()];
    return first == '-' || (first >= '0' && first <= '9');
}

}  // namespace

std::optional<double> FirstReadingSeconds(const std::string& sensorctl, const std::string& socket,
                                          const std::vector<std::string>& args, std::string* error)
{
    std::vector<std::string> words{sensorctl, "--socket", socket};
    words.insert(words.end(), args.begin(), args.end());
    int output = -1;
    const std::uint64_t start = MonotonicNs();
    const pid_t pid = SpawnWithOutputPipe(std::move(words), &output, error);
    if (pid < 0) return std::nullopt;

    std::optional<double> seconds;
    std::string buffer;
    bool ended = false;
    while (!seconds && !ended) {
        const std::uint64_t now = MonotonicNs();
        if (now - start > kGiveUpNs) break;
        pollfd ready{output, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>((kGiveUpNs - (now - start)) / 1'000'000)) <= 0) continue;
        char chunk[4096];
        const ssize_t got = ::read(output, chunk, sizeof(chunk));
        if (got <= 0) {
            ended = got == 0 || errno != EINTR;
            continue;
        }
        buffer.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t newline; !seconds && (newline = buffer.find('\n')) != std::string::npos;) {
            if (CarriesTemperature(buffer.substr(0, newline))) {
                seconds = static_cast<double>(MonotonicNs() - start) / 1e9;
            }
            buffer.erase(0, newline + 1);
        }
    }
    ::close(output);
    ::kill(pid, SIGINT);  // a watch goes on until told; a get has ended or ends
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!seconds) *error = "sensorctl printed no reading within 60 s";
    return seconds;
}

}  // namespace bench
