// driver-host's log: one line per lifecycle step on standard output, each stamped with the seconds
// since the program started, e.g.
//
//   [   5.012] device started (D0)
//
// Standard output is flushed after every line, so a program reading it sees each step at once.
// Trace lines go through the same log so that they never tear a step line. Control characters in
// a text are written out (apps::EscapeControls), so no text, a client's included, can forge a line
// or steer a terminal.
//
// Thread safety: every member may be called from any thread; one mutex orders the lines.
#pragma once

#include <chrono>
#include <mutex>
#include <string_view>

namespace driver_host {

class HostLog {
public:
    HostLog();

    void Step(std::string_view text);
    // A line without the time stamp's emphasis, for decoded trace lines: "[   5.012] trace: ...".
    void Trace(std::string_view line);
    // Something a person should know that did not stop the host, on standard error as well as in
    // the log ("driver-host: warning: ...").
    void Warning(std::string_view text);
    // A failure, on standard error as well as in the log.
    void Error(std::string_view text);

private:
    // `stderrPrefix` null: the log only.
    void Write(std::string_view prefix, std::string_view text, const char* stderrPrefix);

    const std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;  // orders whole lines
};

}  // namespace driver_host
