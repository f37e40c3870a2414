#include "driver-host/host_log.h"

#include <cstdio>

namespace driver_host {

HostLog::HostLog() : m_start(std::chrono::steady_clock::now()) {}

void HostLog::Step(std::string_view text)
{
    Write("", text, false);
}

void HostLog::Trace(std::string_view line)
{
    Write("trace: ", line, false);
}

void HostLog::Error(std::string_view text)
{
    Write("error: ", text, true);
}

void HostLog::Write(std::string_view prefix, std::string_view text, bool alsoStderr)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    std::lock_guard lock(m_mutex);
    std::printf("[%8.3f] %.*s%.*s\n", seconds, static_cast<int>(prefix.size()), prefix.data(),
                static_cast<int>(text.size()), text.data());
    std::fflush(stdout);
    if (alsoStderr) {
        std::fprintf(stderr, "driver-host: %.*s\n", static_cast<int>(text.size()), text.data());
    }
}

}  // namespace driver_host
