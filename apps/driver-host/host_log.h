// driver-host's log: one line per lifecycle step on standard output, each stamped with the seconds
// since the program started, e.g.
//
//   [   5.012] device started (D0)
//
// A thread of the log writes the lines, in order, and flushes standard output after each batch, so
// a program reading it sees each step at once. The lines wait for it in a queue of at most
// kMaxQueuedBytes: a reader that does not keep up (a pipe nobody reads) never holds up the host's
// threads; beyond the queue, lines are dropped and counted, and a line says how many once the
// reader catches up. Trace lines go through the same log so that they never tear a step line.
// Control characters in a text are written out (apps::EscapeControls), so no text, a client's
// included, can forge a line or steer a terminal.
//
// Ownership: owns its writer thread. Thread safety: every member may be called from any thread;
// one mutex orders the lines.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>
#include <thread>

namespace driver_host {

class HostLog {
public:
    static constexpr std::size_t kMaxQueuedBytes = 1u << 20;

    HostLog();
    // Writes what waits (for at most a few seconds: a reader may never come), then ends.
    ~HostLog();
    HostLog(const HostLog&) = delete;
    HostLog& operator=(const HostLog&) = delete;

    void Step(std::string_view text);
    // A line without the time stamp's emphasis, for decoded trace lines: "[   5.012] trace: ...".
    void Trace(std::string_view line);
    // Something a person should know that did not stop the host, on standard error as well as in
    // the log ("driver-host: warning: ...").
    void Warning(std::string_view text);
    // A failure, on standard error as well as in the log.
    void Error(std::string_view text);

    // Waits until every line logged so far is written; false when that took longer than `limit`.
    bool Flush(std::chrono::milliseconds limit);

private:
    struct Queue;

    // `stderrPrefix` null: the log only.
    void Write(std::string_view prefix, std::string_view text, const char* stderrPrefix);

    // Shared with the writer thread, which may outlive the log when its reader never reads.
    const std::shared_ptr<Queue> m_queue;
    std::thread m_writer;
};

}  // namespace driver_host
