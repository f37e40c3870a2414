#include "platform/kernel/threadpool.h"

#include <algorithm>
#include <new>
#include <vector>

#include "core/clock.h"
#include "core/fault_injection.h"
#include "core/wait.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"

using namespace platform::detail;

// Every field of a pool and of its timers is guarded by KernelLock(). A pool is freed by its worker
// (or by CloseThreadpool when no worker ever started) once it is closed and has no timers left.
struct TP_TIMER {
    TP_POOL* pool;
    PTP_TIMER_CALLBACK callback;
    PVOID context;
    std::int64_t due = kNever;
    std::int64_t period = 0;
    bool fired = false;    // due passed; the callback has not started yet
    bool running = false;  // the callback runs now
    bool closed = false;
};

struct TP_POOL {
    std::vector<TP_TIMER*> timers;
    HANDLE worker = nullptr;
    bool closed = false;
    std::uint64_t generation = 0;  // changes whenever a due time changes, so the worker re-plans
};

namespace {

bool Finished(const TP_POOL* pool) { return pool->closed && pool->timers.empty(); }

void ForgetTimerLocked(TP_TIMER* timer)
{
    auto& timers = timer->pool->timers;
    timers.erase(std::remove(timers.begin(), timers.end(), timer), timers.end());
    delete timer;
}

TP_TIMER* NextReadyLocked(TP_POOL* pool)
{
    const std::int64_t now = MonotonicNowLocked();
    TP_TIMER* ready = nullptr;
    for (TP_TIMER* timer : pool->timers) {
        if (!timer->fired && timer->due != kNever && timer->due <= now) {
            timer->fired = true;
            timer->due = timer->period > 0 ? timer->due + timer->period : kNever;
        }
        if (timer->fired && !timer->running && (ready == nullptr)) ready = timer;
    }
    return ready;
}

std::int64_t EarliestDueLocked(const TP_POOL* pool)
{
    std::int64_t earliest = kNever;
    for (const TP_TIMER* timer : pool->timers) earliest = std::min(earliest, timer->due);
    return earliest;
}

DWORD WINAPI Worker(LPVOID parameter)
{
    auto* pool = static_cast<TP_POOL*>(parameter);
    std::unique_lock lock(KernelLock());
    for (;;) {
        if (Finished(pool)) break;
        TP_TIMER* ready = NextReadyLocked(pool);
        if (ready == nullptr) {
            const std::uint64_t seen = pool->generation;
            const std::function<bool()> changed = [pool, seen] {
                return pool->generation != seen || Finished(pool) || EarliestDueLocked(pool) <= MonotonicNowLocked();
            };
            BlockUntil(lock, changed, EarliestDueLocked(pool));
            continue;
        }
        ready->fired = false;
        ready->running = true;
        lock.unlock();
        ready->callback(nullptr, ready->context, ready);
        lock.lock();
        ready->running = false;
        if (ready->closed) ForgetTimerLocked(ready);
        WakeWaitersLocked();
    }
    HANDLE worker = pool->worker;
    delete pool;
    lock.unlock();
    CloseHandle(worker);
    return 0;
}

// Starts the worker if the pool has none. Needs the kernel lock; releases it around CreateThread.
bool StartWorker(std::unique_lock<std::mutex>& lock, TP_POOL* pool)
{
    if (pool->worker != nullptr) return true;
    lock.unlock();
    HANDLE worker = CreateThread(nullptr, 0, Worker, pool, 0, nullptr);
    lock.lock();
    if (worker == nullptr) return false;
    pool->worker = worker;
    return true;
}

}  // namespace

PTP_POOL CreateThreadpool(PVOID)
{
    if (const auto error = CheckFault("CreateThreadpool", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    auto* pool = new (std::nothrow) TP_POOL;
    if (pool == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return pool;
}

void SetThreadpoolThreadMaximum(PTP_POOL, DWORD) {}

BOOL SetThreadpoolThreadMinimum(PTP_POOL ptpp, DWORD cthrdMic)
{
    if (const auto error = CheckFault("SetThreadpoolThreadMinimum", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return FALSE;
    }
    if (ptpp == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (cthrdMic == 0) return TRUE;
    std::unique_lock lock(KernelLock());
    return StartWorker(lock, ptpp) ? TRUE : FALSE;
}

void CloseThreadpool(PTP_POOL ptpp)
{
    if (ptpp == nullptr) return;
    std::unique_lock lock(KernelLock());
    ptpp->closed = true;
    if (ptpp->worker == nullptr) {
        if (ptpp->timers.empty()) delete ptpp;
        // A pool that never started a worker has no callback in flight; its remaining timers are
        // freed by CloseThreadpoolTimer.
        return;
    }
    ++ptpp->generation;
    WakeWaitersLocked();
}

void InitializeThreadpoolEnvironment(PTP_CALLBACK_ENVIRON pcbe) { *pcbe = TP_CALLBACK_ENVIRON{1, nullptr}; }

void SetThreadpoolCallbackPool(PTP_CALLBACK_ENVIRON pcbe, PTP_POOL ptpp) { pcbe->Pool = ptpp; }

void DestroyThreadpoolEnvironment(PTP_CALLBACK_ENVIRON) {}

PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK pfnti, PVOID pv, PTP_CALLBACK_ENVIRON pcbe)
{
    if (const auto error = CheckFault("CreateThreadpoolTimer", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    if (pfnti == nullptr || pcbe == nullptr || pcbe->Pool == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* timer = new (std::nothrow) TP_TIMER{pcbe->Pool, pfnti, pv};
    if (timer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::lock_guard lock(KernelLock());
    timer->pool->timers.push_back(timer);
    return timer;
}

void SetThreadpoolTimer(PTP_TIMER pti, LPFILETIME pftDueTime, DWORD msPeriod, DWORD)
{
    std::int64_t due = kNever;
    if (pftDueTime != nullptr) {
        const auto value = static_cast<std::int64_t>((static_cast<std::uint64_t>(pftDueTime->dwHighDateTime) << 32) |
                                                     pftDueTime->dwLowDateTime);
        // An absolute due time is converted through the calendar clock read outside the lock.
        const std::int64_t untilAbsolute = value >= 0 ? value - ReadSystemClock() : 0;
        std::lock_guard lock(KernelLock());
        due = MonotonicNowLocked() + (value < 0 ? -value : std::max<std::int64_t>(untilAbsolute, 0));
    }
    std::unique_lock lock(KernelLock());
    pti->due = due;
    pti->period = static_cast<std::int64_t>(msPeriod) * kTicksPerMillisecond;
    if (due != kNever && !StartWorker(lock, pti->pool)) {
        pti->due = kNever;  // no worker, no callback; IsThreadpoolTimerSet tells the caller
        return;
    }
    ++pti->pool->generation;
    WakeWaitersLocked();
}

BOOL IsThreadpoolTimerSet(PTP_TIMER pti)
{
    std::lock_guard lock(KernelLock());
    return pti->due != kNever ? TRUE : FALSE;
}

void WaitForThreadpoolTimerCallbacks(PTP_TIMER pti, BOOL fCancelPendingCallbacks)
{
    std::unique_lock lock(KernelLock());
    if (fCancelPendingCallbacks) pti->fired = false;
    const std::function<bool()> idle = [pti] { return !pti->running && !pti->fired; };
    BlockUntil(lock, idle, kNever);
}

void CloseThreadpoolTimer(PTP_TIMER pti)
{
    std::lock_guard lock(KernelLock());
    pti->closed = true;
    pti->due = kNever;
    pti->fired = false;
    TP_POOL* pool = pti->pool;
    if (!pti->running) ForgetTimerLocked(pti);
    if (pool->worker == nullptr && Finished(pool)) {
        delete pool;
        return;
    }
    ++pool->generation;
    WakeWaitersLocked();
}
