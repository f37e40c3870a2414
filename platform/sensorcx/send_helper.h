// A second thread for handing one event to many subscribers. Each hand-over ends in a system call
// that wakes the subscriber's reader, and a thousand of them keep one thread busy for milliseconds;
// with two threads, each taking half, the last subscriber hears of the event about twice as soon.
//
// Thread safety: Run may be called from any thread; one caller at a time shares the work (m_turn),
// the others do all of theirs alone. The work slot and the stop flag are guarded by m_mutex.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace platform::detail {

class SendHelper {
public:
    SendHelper() = default;
    ~SendHelper();
    SendHelper(const SendHelper&) = delete;
    SendHelper& operator=(const SendHelper&) = delete;

    // Runs `theirs` on the helper thread and `mine` on the calling thread, and returns when both
    // have run. Both run on the calling thread, one after the other, when another caller has the
    // helper or its thread cannot be started.
    void Run(const std::function<void()>& theirs, const std::function<void()>& mine);

private:
    void Serve();

    std::mutex m_turn;     // held by the caller that shares its work
    std::thread m_thread;  // started by the first caller that shares, under m_turn
    std::mutex m_mutex;
    std::condition_variable m_posted;
    std::condition_variable m_done;
    const std::function<void()>* m_work = nullptr;  // guarded by m_mutex; null when none waits or runs
    bool m_stop = false;                            // guarded by m_mutex
};

}  // namespace platform::detail
