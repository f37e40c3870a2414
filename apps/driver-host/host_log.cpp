#include "driver-host/host_log.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "common/text.h"

namespace driver_host {

struct HostLog::Queue {
    struct Line {
        std::string out;  // for standard output, with its line break
        std::string err;  // for standard error too, when not empty
    };

    const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex.
    std::deque<Line> lines;
    std::size_t queuedBytes = 0;
    std::uint64_t dropped = 0;  // since the writer last took the queue
    std::uint64_t logged = 0;   // every line so far, written or dropped
    std::uint64_t written = 0;  // the lines the writer is done with
    bool stopping = false;

    std::string Stamp() const
    {
        char stamp[32];
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::snprintf(stamp, sizeof(stamp), "[%8.3f] ", seconds);
        return stamp;
    }

    void RunWriter()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !lines.empty() || dropped != 0; });
            if (lines.empty() && dropped == 0) return;  // stopping, and everything written
            std::deque<Line> batch;
            batch.swap(lines);
            queuedBytes = 0;
            const std::uint64_t lost = std::exchange(dropped, 0);
            const std::uint64_t done = logged;
            lock.unlock();
            if (lost != 0) {
                std::fprintf(stdout, "%s(%llu log lines dropped: standard output was not read in time)\n",
                             Stamp().c_str(), static_cast<unsigned long long>(lost));
            }
            for (const Line& line : batch) {
                std::fwrite(line.out.data(), 1, line.out.size(), stdout);
                if (!line.err.empty()) std::fwrite(line.err.data(), 1, line.err.size(), stderr);
            }
            std::fflush(stdout);
            lock.lock();
            written = done;
            changed.notify_all();
        }
    }
};

HostLog::HostLog() : m_queue(std::make_shared<Queue>())
{
    m_writer = std::thread([queue = m_queue] { queue->RunWriter(); });
}

HostLog::~HostLog()
{
    const bool drained = Flush(std::chrono::seconds(5));
    {
        std::lock_guard lock(m_queue->mutex);
        m_queue->stopping = true;
    }
    m_queue->changed.notify_all();
    // A writer held up by a reader that never reads keeps the queue alive and ends with the process.
    if (drained) {
        m_writer.join();
    } else {
        m_writer.detach();
    }
}

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

bool HostLog::Flush(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_queue->mutex);
    const std::uint64_t target = m_queue->logged;
    return m_queue->changed.wait_for(lock, limit, [&] { return m_queue->written >= target; });
}

void HostLog::Write(std::string_view prefix, std::string_view text, const char* stderrPrefix)
{
    const std::string escaped = apps::EscapeControls(text);
    Queue::Line line;
    line.out = m_queue->Stamp() + std::string(prefix) + escaped + "\n";
    if (stderrPrefix != nullptr) line.err = "driver-host: " + std::string(stderrPrefix) + escaped + "\n";
    {
        std::lock_guard lock(m_queue->mutex);
        ++m_queue->logged;
        const std::size_t bytes = line.out.size() + line.err.size();
        if (m_queue->queuedBytes + bytes > kMaxQueuedBytes) {
            ++m_queue->dropped;
        } else {
            m_queue->queuedBytes += bytes;
            m_queue->lines.push_back(std::move(line));
        }
    }
    m_queue->changed.notify_all();
}

}  // namespace driver_host
