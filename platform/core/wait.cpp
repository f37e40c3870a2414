#include "core/wait.h"

#include <chrono>
#include <condition_variable>

#include "core/clock.h"

namespace platform {
namespace {

struct Waiter {
    const std::function<bool()>* tryAcquire;
    std::int64_t deadline;
    bool platformThread;
    bool woken = false;
    bool acquired = false;
    Waiter* previous = nullptr;  // in the list of blocked waiters
    Waiter* next = nullptr;
    std::condition_variable cv;
};

// The blocked waiters, oldest first. Each lives on the stack of its blocked thread and links
// itself in, so that blocking allocates nothing.
struct WaiterList {
    Waiter* first = nullptr;
    Waiter* last = nullptr;

    void Append(Waiter& w)
    {
        w.previous = last;
        w.next = nullptr;
        (last != nullptr ? last->next : first) = &w;
        last = &w;
    }
    void Remove(Waiter& w)
    {
        (w.previous != nullptr ? w.previous->next : first) = w.next;
        (w.next != nullptr ? w.next->previous : last) = w.previous;
    }
};

// Guarded by KernelLock().
WaiterList g_waiters;
std::uint32_t g_runnablePlatformThreads = 0;

std::condition_variable& QuiescenceChanged()
{
    static auto* cv = new std::condition_variable;
    return *cv;
}

thread_local bool t_platformThread = false;

void MarkRunnableLocked(Waiter& w)
{
    w.woken = true;
    if (w.platformThread) ++g_runnablePlatformThreads;
    w.cv.notify_one();
}

}  // namespace
}  // namespace platform

namespace platform::support {

using detail::ClockIsVirtual;
using detail::RealTimeOfTicks;

std::mutex& KernelLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

bool BlockUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& tryAcquire, std::int64_t deadline)
{
    if (tryAcquire()) return true;
    if (deadline != kNever && MonotonicNowLocked() >= deadline) return false;

    Waiter w{&tryAcquire, deadline, t_platformThread, false, false, nullptr, nullptr, {}};
    g_waiters.Append(w);
    if (w.platformThread && --g_runnablePlatformThreads == 0) QuiescenceChanged().notify_all();

    while (!w.woken) {
        if (ClockIsVirtual() || deadline == kNever) {
            w.cv.wait(lock);
        } else if (w.cv.wait_until(lock, RealTimeOfTicks(deadline)) == std::cv_status::timeout && !w.woken &&
                   MonotonicNowLocked() >= deadline) {
            MarkRunnableLocked(w);
        }
    }
    g_waiters.Remove(w);
    return w.acquired;
}

void WakeWaitersLocked()
{
    const std::int64_t now = MonotonicNowLocked();
    for (Waiter* w = g_waiters.first; w != nullptr; w = w->next) {
        if (w->woken) continue;
        if ((*w->tryAcquire)()) {
            w->acquired = true;
            MarkRunnableLocked(*w);
        } else if (w->deadline != kNever && now >= w->deadline) {
            MarkRunnableLocked(*w);
        }
    }
}

CountAsPlatformThread::CountAsPlatformThread()
{
    if (t_platformThread) return;
    std::lock_guard lock(KernelLock());
    detail::PlatformThreadStartedLocked();
    t_platformThread = true;
    m_counted = true;
}

CountAsPlatformThread::~CountAsPlatformThread()
{
    if (!m_counted) return;
    std::lock_guard lock(KernelLock());
    t_platformThread = false;
    detail::PlatformThreadEndedLocked();
}

}  // namespace platform::support

namespace platform::detail {

std::int64_t DeadlineAfterLocked(std::uint32_t milliseconds)
{
    if (milliseconds == 0xFFFFFFFFu) return kNever;
    return MonotonicNowLocked() + static_cast<std::int64_t>(milliseconds) * kTicksPerMillisecond;
}

void PlatformThreadStartedLocked() { ++g_runnablePlatformThreads; }

void PlatformThreadEndedLocked()
{
    if (--g_runnablePlatformThreads == 0) QuiescenceChanged().notify_all();
}

void MarkCurrentThreadAsPlatformThread() { t_platformThread = true; }

std::int64_t EarliestDeadlineLocked()
{
    std::int64_t earliest = kNever;
    for (const Waiter* w = g_waiters.first; w != nullptr; w = w->next) {
        if (!w->woken && w->deadline < earliest) earliest = w->deadline;
    }
    return earliest;
}

bool WaitForQuiescence(std::uint32_t realTimeoutMs)
{
    std::unique_lock lock(KernelLock());
    return QuiescenceChanged().wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                                        [] { return g_runnablePlatformThreads == 0; });
}

std::uint32_t RunnablePlatformThreads()
{
    std::lock_guard lock(KernelLock());
    return g_runnablePlatformThreads;
}

}  // namespace platform::detail
