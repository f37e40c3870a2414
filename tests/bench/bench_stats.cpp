#include "bench_stats.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <stdexcept>
#include <thread>

namespace bench {

std::uint64_t MonotonicNs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ull + static_cast<std::uint64_t>(now.tv_nsec);
}

Summary Summarize(std::vector<double> samples)
{
    Summary summary;
    if (samples.empty()) return summary;
    std::sort(samples.begin(), samples.end());
    const auto rank = [&](double percent) {
        const auto index = static_cast<std::size_t>(std::ceil(percent / 100.0 * static_cast<double>(samples.size())));
        return samples[std::clamp<std::size_t>(index, 1, samples.size()) - 1];
    };
    summary.count = samples.size();
    summary.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    summary.min = samples.front();
    summary.max = samples.back();
    summary.p2_5 = rank(2.5);
    summary.p50 = rank(50);
    summary.p97_5 = rank(97.5);
    summary.p99 = rank(99);
    return summary;
}

std::string LatencyText(const Summary& us)
{
    char text[160];
    std::snprintf(text, sizeof(text), "p50 %8.1f us  p99 %8.1f us  max %8.1f us  (n=%zu)", us.p50, us.p99, us.max,
                  us.count);
    return text;
}

namespace {

bool WriteAll(int fd, const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool ReadAll(int fd, char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, bytes, size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

}  // namespace

pid_t SpawnWithOutputPipe(std::vector<std::string> words, int* readEnd, std::string* error)
{
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid < 0) {
        *error = std::string("fork: ") + std::strerror(errno);
        ::close(out[0]);
        return -1;
    }
    *readEnd = out[0];
    return pid;
}

Summary EchoFloor(std::size_t roundTrips, std::size_t messageBytes, std::chrono::microseconds spacing)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair failed");
    std::vector<char> message(messageBytes, 'x');
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        ::close(pair[0]);
        while (ReadAll(pair[1], message.data(), message.size()) && WriteAll(pair[1], message.data(), message.size())) {
        }
        ::_exit(0);
    }
    ::close(pair[1]);
    const std::size_t warmUp = spacing.count() > 0 ? 2 : std::max<std::size_t>(roundTrips / 10, 10);
    std::vector<double> samples;
    samples.reserve(roundTrips);
    for (std::size_t i = 0; i < warmUp + roundTrips; ++i) {
        if (spacing.count() > 0) std::this_thread::sleep_for(spacing);
        const std::uint64_t start = MonotonicNs();
        if (!WriteAll(pair[0], message.data(), message.size()) || !ReadAll(pair[0], message.data(), message.size())) {
            break;
        }
        if (i >= warmUp) samples.push_back(static_cast<double>(MonotonicNs() - start) / 1000.0);
    }
    ::close(pair[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return Summarize(std::move(samples));
}

}  // namespace bench
