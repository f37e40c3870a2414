// The virtual clock: every platform time source, wait time-out and timer reads it once installed.
//
//   platform::testing::ScopedVirtualClock clock;     // installs; the previous clock returns at scope exit
//   StartSomethingThatWaits();
//   clock.AdvanceBy(std::chrono::milliseconds(1000)); // wakes every wait due by then, in order
//
// AdvanceBy moves time to each due deadline in turn, and after each step lets the platform threads
// run until every one of them is blocked in a platform wait or has ended (RunUntilIdle). A thread
// that busy-waits on a time source only finishes when reads advance the clock: SetReadStep makes
// each read of a public time source (performance counter, tick count, system time) add a step.
//
// Install and uninstall only while no timed wait is blocked. Thread safety: all functions may be
// called from any thread that is not a platform thread.
#pragma once

#include <chrono>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace platform::testing {

class VirtualClock {
public:
    static void Install();
    static void Uninstall();
    static bool IsInstalled();
    static void SetReadStep(std::chrono::nanoseconds step);
    static void AdvanceBy(std::chrono::nanoseconds duration);
    static void RunUntilIdle();
    // Virtual time since installation.
    static std::chrono::nanoseconds Elapsed();
};

class ScopedVirtualClock {
public:
    explicit ScopedVirtualClock(std::chrono::nanoseconds readStep = std::chrono::nanoseconds(0))
        : m_wasInstalled(VirtualClock::IsInstalled())
    {
        VirtualClock::Install();
        VirtualClock::SetReadStep(readStep);
    }
    // Returns to the clock that was in force before: real, or a fresh virtual clock.
    ~ScopedVirtualClock()
    {
        if (m_wasInstalled) {
            VirtualClock::Install();
        } else {
            VirtualClock::Uninstall();
        }
    }
    ScopedVirtualClock(const ScopedVirtualClock&) = delete;
    ScopedVirtualClock& operator=(const ScopedVirtualClock&) = delete;

    void AdvanceBy(std::chrono::nanoseconds duration) { VirtualClock::AdvanceBy(duration); }
    void RunUntilIdle() { VirtualClock::RunUntilIdle(); }
    std::chrono::nanoseconds Elapsed() const { return VirtualClock::Elapsed(); }

private:
    bool m_wasInstalled;
};

}  // namespace platform::testing
PLATFORM_API_END
