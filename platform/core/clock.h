// The one clock behind every time source, wait and timer of the platform.
//
// Time is counted in 100-ns units. The real clock follows std::chrono::steady_clock (monotonic)
// and system_clock (calendar). A virtual clock, installed by test control, stands still until it
// is advanced, and may advance a step on each read of a public time source so that busy waits end.
//
// Thread safety: every function may be called from any thread. Functions named ...Locked must be
// called with the kernel lock held (see wait.h).
#pragma once

#include <chrono>
#include <cstdint>

#include "platform_support/wait.h"

namespace platform::detail {

using support::kNever;
using support::kTicksPerMillisecond;
using support::kTicksPerSecond;
using support::MonotonicNowLocked;

// Monotonic time as a public time source reads it: applies the virtual read step.
std::int64_t ReadMonotonicClock();
// Calendar time, as 100-ns units since 1601-01-01 UTC; applies the virtual read step.
std::int64_t ReadSystemClock();

bool ClockIsVirtual();

// The real steady-clock instant of a monotonic tick count (real clock only).
std::chrono::steady_clock::time_point RealTimeOfTicks(std::int64_t ticks);

}  // namespace platform::detail
