#include "core/clock.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>

#include "core/wait.h"
#include "platform_testing/virtual_clock.h"

namespace platform {
namespace detail {
namespace {

// 100-ns units between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochInFileTime = 116'444'736'000'000'000;
// The virtual clock starts at 2026-01-01T00:00:00Z, with a monotonic time of 1000 s.
constexpr std::int64_t kVirtualSystemOrigin = kUnixEpochInFileTime + 1'767'225'600LL * kTicksPerSecond;
constexpr std::int64_t kVirtualMonotonicOrigin = 1000 * kTicksPerSecond;

std::atomic<bool> g_virtual{false};
// Guarded by KernelLock().
std::int64_t g_virtualNow = kVirtualMonotonicOrigin;
std::int64_t g_readStep = 0;

const std::chrono::steady_clock::time_point& RealOrigin()
{
    static const auto origin = std::chrono::steady_clock::now();
    return origin;
}

std::int64_t RealMonotonic()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - RealOrigin()).count() /
           100;
}

std::int64_t StepLocked()
{
    if (g_readStep > 0) {
        g_virtualNow += g_readStep;
        WakeWaitersLocked();
    }
    return g_virtualNow;
}

}  // namespace

std::chrono::steady_clock::time_point RealTimeOfTicks(std::int64_t ticks)
{
    return RealOrigin() + std::chrono::nanoseconds(ticks * 100);
}

bool ClockIsVirtual() { return g_virtual.load(std::memory_order_acquire); }

}  // namespace detail

namespace support {

std::int64_t MonotonicNowLocked() { return detail::ClockIsVirtual() ? detail::g_virtualNow : detail::RealMonotonic(); }

}  // namespace support

namespace detail {

std::int64_t ReadMonotonicClock()
{
    if (!ClockIsVirtual()) return RealMonotonic();
    std::lock_guard lock(KernelLock());
    return StepLocked();
}

std::int64_t ReadSystemClock()
{
    if (!ClockIsVirtual()) {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
                       .count() / 100 + kUnixEpochInFileTime;
    }
    std::lock_guard lock(KernelLock());
    return StepLocked() - kVirtualMonotonicOrigin + kVirtualSystemOrigin;
}

}  // namespace detail

namespace testing {
namespace {

constexpr std::uint32_t kQuiescenceTimeoutMs = 30'000;

void RequireQuiescence(const char* during)
{
    if (!detail::WaitForQuiescence(kQuiescenceTimeoutMs)) {
        std::fprintf(stderr,
                     "virtual clock: %u platform thread(s) still runnable after %u ms of real time during %s; "
                     "a thread spins without a read step, or waits outside the platform\n",
                     detail::RunnablePlatformThreads(), kQuiescenceTimeoutMs, during);
        std::abort();
    }
}

void SetMode(bool toVirtual)
{
    std::lock_guard lock(detail::KernelLock());
    if (detail::EarliestDeadlineLocked() != detail::kNever) {
        std::fprintf(stderr, "virtual clock: switched while a timed wait is blocked\n");
        std::abort();
    }
    detail::g_virtualNow = detail::kVirtualMonotonicOrigin;
    detail::g_readStep = 0;
    detail::g_virtual.store(toVirtual, std::memory_order_release);
}

}  // namespace

void VirtualClock::Install() { SetMode(true); }

void VirtualClock::Uninstall() { SetMode(false); }

bool VirtualClock::IsInstalled() { return detail::ClockIsVirtual(); }

void VirtualClock::SetReadStep(std::chrono::nanoseconds step)
{
    std::lock_guard lock(detail::KernelLock());
    detail::g_readStep = step.count() / 100;
}

void VirtualClock::RunUntilIdle() { RequireQuiescence("RunUntilIdle"); }

void VirtualClock::AdvanceBy(std::chrono::nanoseconds duration)
{
    std::int64_t target;
    {
        std::lock_guard lock(detail::KernelLock());
        target = detail::g_virtualNow + duration.count() / 100;
    }
    for (;;) {
        RequireQuiescence("AdvanceBy");
        std::lock_guard lock(detail::KernelLock());
        const std::int64_t next = std::min(detail::EarliestDeadlineLocked(), target);
        if (next > detail::g_virtualNow) detail::g_virtualNow = next;
        detail::WakeWaitersLocked();
        if (next >= target) break;
    }
    RequireQuiescence("AdvanceBy");
}

std::chrono::nanoseconds VirtualClock::Elapsed()
{
    std::lock_guard lock(detail::KernelLock());
    return std::chrono::nanoseconds((detail::g_virtualNow - detail::kVirtualMonotonicOrigin) * 100);
}

}  // namespace testing
}  // namespace platform
