// The platform's one clock and its one way to block, for code beside the platform library that
// runs on platform threads or waits for them (the driver host): a thread that blocks here is seen
// by the virtual clock as a blocked platform thread, and its deadline follows the one clock.
//
//   std::unique_lock kernel(platform::support::KernelLock());
//   platform::support::BlockUntil(kernel, [&] { return done; }, platform::support::kNever);
//   ...
//   { std::lock_guard kernel(platform::support::KernelLock()); done = true;
//     platform::support::WakeWaitersLocked(); }
//
// Time is counted in 100-ns units.
//
// Thread safety: KernelLock() guards the state a waiter waits for; any change that can satisfy a
// waiter calls WakeWaitersLocked() before the lock is released. Functions named ...Locked need the
// kernel lock held.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/export.h"

namespace platform::support {

inline constexpr std::int64_t kTicksPerSecond = 10'000'000;
inline constexpr std::int64_t kTicksPerMillisecond = 10'000;
inline constexpr std::int64_t kNever = INT64_MAX;

PLATFORM_API std::mutex& KernelLock();

// Blocks until `tryAcquire` returns true or `deadline` (clock ticks, kNever for none) has passed.
// `tryAcquire` runs under the kernel lock, on the waiting thread or on the thread that changed the
// state; it may consume what it waited for (an auto-reset event). Returns true when it succeeded.
PLATFORM_API bool BlockUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& tryAcquire,
                             std::int64_t deadline);

// Re-evaluates every blocked waiter after a state change or a clock step.
PLATFORM_API void WakeWaitersLocked();

// Monotonic time on the one clock, without the virtual read step.
PLATFORM_API std::int64_t MonotonicNowLocked();

// Counts a thread that the platform did not start as a platform thread while this lives, so that
// the virtual clock waits for it as for the others (a socket thread that runs a request in the
// driver). Does nothing on a platform thread.
class PLATFORM_API CountAsPlatformThread {
public:
    CountAsPlatformThread();
    ~CountAsPlatformThread();
    CountAsPlatformThread(const CountAsPlatformThread&) = delete;
    CountAsPlatformThread& operator=(const CountAsPlatformThread&) = delete;

private:
    bool m_counted = false;
};

}  // namespace platform::support
