#include "driver-host/trace_relay.h"

#include <algorithm>

#include "platform/probe/thermal_driver_contract.h"

namespace driver_host {
namespace {

// The platform's trace levels are the socket's plus one (2 error ... 5 verbose).
UCHAR PlatformLevel(std::uint8_t level)
{
    return static_cast<UCHAR>(level + 1);
}

}  // namespace

TraceRelay::TraceRelay(HostLog& log, std::uint8_t logLevel) : m_log(log), m_logLevel(logLevel)
{
    m_decoder = std::make_unique<platform::support::TraceDecoder>(m_formats,
                                                                  [this](const std::string& line) { OnLine(line); });
}

TraceRelay::~TraceRelay()
{
    std::lock_guard lock(m_sessionMutex);
    m_session.reset();
}

bool TraceRelay::LoadFormats(const std::string& directory, std::string* error)
{
    return m_formats.LoadDirectory(directory, error);
}

void TraceRelay::Start()
{
    std::lock_guard lock(m_sessionMutex);
    ApplyLevelLocked();
}

void TraceRelay::SetBroadcast(Broadcast broadcast)
{
    std::lock_guard lock(m_sinkMutex);
    m_broadcast = std::move(broadcast);
}

void TraceRelay::SetClientLevel(std::uint8_t level)
{
    std::lock_guard lock(m_sessionMutex);
    m_clientLevel = level;
    ApplyLevelLocked();
}

std::uint8_t TraceRelay::LineLevel(std::string_view line)
{
    const std::size_t first = line.find(' ');
    if (first == std::string_view::npos) return 4;
    const std::string_view rest = line.substr(first + 1);
    const std::string_view word = rest.substr(0, rest.find(' '));
    if (word == "ERROR") return 1;
    if (word == "WARNING") return 2;
    if (word == "INFO" || word == "INFORMATION") return 3;
    return 4;
}

void TraceRelay::ApplyLevelLocked()
{
    const std::uint8_t wanted = std::max(m_logLevel, m_clientLevel);
    if (wanted == m_sessionLevel && (wanted == 0 || m_session)) return;
    if (wanted == 0) {
        m_session.reset();  // disables the provider
    } else {
        if (!m_session) m_session = std::make_unique<platform::support::TraceSession>(*m_decoder);
        const ULONG result = m_session->Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, PlatformLevel(wanted), 0x1);
        if (result != 0) m_log.Error("the driver's traces cannot be enabled (error " + std::to_string(result) + ")");
    }
    m_sessionLevel = wanted;
}

void TraceRelay::OnLine(const std::string& line)
{
    const std::uint8_t level = LineLevel(line);
    if (level <= m_logLevel) m_log.Trace(line);
    std::lock_guard lock(m_sinkMutex);
    if (m_broadcast) m_broadcast(level, line);
}

}  // namespace driver_host
