// The host's worker threads: each runs one piece of work (a queue's dispatching) and ends, or takes
// posted work (a file's cleanup) one piece after the other, waiting for more until Close. They are
// started with CreateThread, so the virtual clock counts them. A thread of the host's caller may
// run a piece of work too (RunHere), counted the same while it does.
//
// Ownership: every running thread holds a reference to the HostWorkers that started it, so the
// object outlives its threads whoever releases it last.
//
// Thread safety: every operation may be called from any thread. The running count and the closed
// flag are guarded by KernelLock(), so that WaitForAll blocks as a platform wait.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "platform/types.h"
#include "platform_support/wait.h"

namespace platform::host {

class HostWorkers : public std::enable_shared_from_this<HostWorkers> {
public:
    enum class StartResult {
        kStarted,
        kClosed,  // Close was called; nothing runs any more
        kFailed,  // CreateThread failed; its error is the last error
    };

    static std::shared_ptr<HostWorkers> Create();

    // Runs `work` on a new thread; `work` is destroyed on that thread before it counts as ended.
    // Unless it started, `work` is destroyed unrun.
    StartResult Start(std::function<void()> work);
    // Runs `work` on a thread that takes posted work: one that waits for it, else a new one while
    // fewer than kMaxPostThreads run, else the first of them to be free. A thousand clients that
    // leave at once so cost a few threads, not a thousand. Unless it started or waits, `work` is
    // not kept.
    StartResult Post(const std::function<void()>& work);
    static constexpr std::uint32_t kMaxPostThreads = 4;
    // Runs `work` on the calling thread as one of the host's threads: WaitForAll waits for it, and
    // the virtual clock counts the thread while it runs. False, with `work` not run, after Close.
    template <class Work>
    bool RunHere(Work&& work)
    {
        if (!EnterHere()) return false;
        const struct Leave {
            HostWorkers* self;
            ~Leave() { self->LeaveHere(); }
        } leave{this};
        const support::CountAsPlatformThread counted;
        work();
        return true;
    }
    // Refuses every later Start, and wakes the threads that wait for more work (see ClosedLocked).
    void Close();
    // Whether Close was called; the caller holds KernelLock(). A thread that waits for more work
    // waits for this too, and ends when it turns true.
    bool ClosedLocked() const { return m_closed; }
    // Blocks until every thread started so far has ended.
    void WaitForAll();

private:
    HostWorkers() = default;
    static DWORD WINAPI Run(LPVOID parameter);
    bool EnterHere();
    void LeaveHere();
    // On a thread that takes posted work: until Close, with nothing left.
    void RunPosted();

    std::uint32_t m_running = 0;  // threads started and threads in RunHere; guarded by KernelLock()
    bool m_closed = false;        // guarded by KernelLock()
    // Guarded by KernelLock().
    std::list<std::function<void()>> m_posted;  // waiting for a thread
    std::uint32_t m_postThreads = 0;            // running RunPosted
    std::uint32_t m_idlePostThreads = 0;        // of those, waiting for work
};

}  // namespace platform::host
