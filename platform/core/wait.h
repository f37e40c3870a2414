// The single blocking mechanism of the platform. Every wait (events, threads, messages, timers)
// blocks through BlockUntil under the kernel lock, so that
//  - time-outs are measured on the one clock, real or virtual;
//  - the virtual clock knows which platform threads are blocked, and can run a test until every
//    platform thread is blocked or ended (quiescence) before it moves time on.
//
// Thread safety: KernelLock() guards every waitable object's state and the waiter list. Any state
// change that can satisfy a waiter calls WakeWaitersLocked() before the lock is released.
#pragma once

#include <cstdint>

#include "platform_support/wait.h"

namespace platform::detail {

using support::BlockUntil;
using support::KernelLock;
using support::WakeWaitersLocked;

// Converts a millisecond time-out (INFINITE for none) into a deadline on the one clock.
std::int64_t DeadlineAfterLocked(std::uint32_t milliseconds);

// Platform threads are counted so that the virtual clock can tell when all of them are blocked.
void PlatformThreadStartedLocked();
void PlatformThreadEndedLocked();
void MarkCurrentThreadAsPlatformThread();

// The earliest deadline of a blocked waiter, or kNever.
std::int64_t EarliestDeadlineLocked();
// Blocks the caller until no platform thread is runnable. Returns false after `realTimeoutMs` of
// real time without reaching that point.
bool WaitForQuiescence(std::uint32_t realTimeoutMs);
std::uint32_t RunnablePlatformThreads();

}  // namespace platform::detail
