// The host's trace session on the driver's provider: it decodes each message with the trace format
// files and hands the line to the host's log (up to the level of --trace) and to the socket's
// clients that asked for traces (up to the level each asked for).
//
// Levels are the socket's numbering: 0 off, 1 error, 2 warning, 3 information, 4 verbose. The
// session runs at the highest level that the log or any client wants, and is disabled when none
// wants any.
//
// Ownership: owned by the host program; it must outlive the socket server that feeds
// SetClientLevel and receives lines, and be destroyed after the module is unloaded or before it is
// loaded (the session disables the provider when it goes).
//
// Thread safety: every member may be called from any thread. The session's level is changed
// under m_sessionMutex; the broadcast target is guarded by m_sinkMutex. Lines are decoded on the
// thread that traced, one at a time across the process (the trace service serialises them).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "driver-host/host_log.h"
#include "platform_support/trace_consumer.h"

namespace driver_host {

class TraceRelay {
public:
    using Broadcast = std::function<void(std::uint8_t level, std::string_view line)>;

    TraceRelay(HostLog& log, std::uint8_t logLevel);
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;

    // Loads the format files; false, with why in *error, when they cannot be read. Lines of
    // messages without a format still show their component, number and arguments.
    bool LoadFormats(const std::string& directory, std::string* error);
    // Sets the session to the log's level (call once the formats are loaded).
    void Start();
    // Where lines for clients go (empty: nowhere).
    void SetBroadcast(Broadcast broadcast);
    // The highest level any client asked for.
    void SetClientLevel(std::uint8_t level);

    // The level of a decoded line ("<component> <LEVEL> <text>"): 1 to 4; 4 when it names none.
    static std::uint8_t LineLevel(std::string_view line);

private:
    void ApplyLevelLocked();
    void OnLine(const std::string& line);

    HostLog& m_log;
    const std::uint8_t m_logLevel;
    platform::support::TraceFormatTable m_formats;  // written before Start, then only read
    std::unique_ptr<platform::support::TraceDecoder> m_decoder;

    std::mutex m_sessionMutex;
    // Guarded by m_sessionMutex.
    std::unique_ptr<platform::support::TraceSession> m_session;
    std::uint8_t m_clientLevel = 0;
    std::uint8_t m_sessionLevel = 0;

    std::mutex m_sinkMutex;
    Broadcast m_broadcast;  // guarded by m_sinkMutex
};

}  // namespace driver_host
