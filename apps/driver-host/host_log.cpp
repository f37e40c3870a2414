#include "driver-host/host_log.h"

#include <cstdio>
#include <string>

#include "common/text.h"

namespace driver_host {

HostLog::HostLog() : m_start(std::chrono::steady_clock::now()) {}

void HostLog::Step(std::string_view text)
{
    Write("", text, nullptr);
}

void HostLog::Trace(std::string_view line)
{
    Write("trace: ", line, nullptr);
}

void HostLog::Warning(std::string_view text)
{
    Write("warning: ", text, "warning: ");
}

void HostLog::Error(std::string_view text)
{
    Write("error: ", text, "");
}

void HostLog::Write(std::string_view prefix, std::string_view text, const char* stderrPrefix)
{
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const std::string line = apps::EscapeControls(text);
    std::lock_guard lock(m_mutex);
    std::printf("[%8.3f] %.*s%s\n", seconds, static_cast<int>(prefix.size()), prefix.data(), line.c_str());
    std::fflush(stdout);
    if (stderrPrefix != nullptr) std::fprintf(stderr, "driver-host: %s%s\n", stderrPrefix, line.c_str());
}

}  // namespace driver_host
