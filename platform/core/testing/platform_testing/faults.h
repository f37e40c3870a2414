// Fault injection for the platform's checked calls.
//
//   platform::testing::ScopedFaults faults;                 // resets everything on scope exit
//   platform::testing::FailCall("CreateEventW");            // the next CreateEventW fails
//   platform::testing::FailCall("CoCreateInstance:{6101F767-998E-452B-B54A-E836DD486BAD}");
//
// A point is the platform function's name; some calls also accept "Name:qualifier" to fail one use
// only (CoCreateInstance takes the class in registry text form). The error is what the call
// reports: a Win32 code through the last error for BOOL and HANDLE calls, the HRESULT for COM
// calls; 0 chooses the call's natural error, and kFailWithoutError makes a BOOL or HANDLE call fail
// with ERROR_SUCCESS as its last error (a failure the system gives no reason for).
//
// Systematic injection: StartCountingCheckedCalls(k) fails the k-th checked call from now, of any
// point; CheckedCallCount() tells how many calls a flow made, so a test can try k = 1..N.
//
// A test's own machinery (the thread it runs a flow on, its waits for it) stays out of a sweep
// under ScopedFaultExemption: checked calls on the thread that holds one are neither counted nor
// failed.
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace platform::testing {

inline constexpr std::uint32_t kFailWithoutError = 0xFFFFFFFF;

// Fails `times` calls of `point`, after letting `after` calls pass.
void FailCall(std::string_view point, int times = 1, std::uint32_t error = 0, int after = 0);
void FailCallAlways(std::string_view point, std::uint32_t error = 0);

// Counts every checked call from now on; the `failAt`-th (1-based; 0 for none) fails.
void StartCountingCheckedCalls(std::uint64_t failAt = 0, std::uint32_t error = 0);
std::uint64_t CheckedCallCount();

// How many faults were injected, and the point of the last one ("Name" or "Name:qualifier").
std::uint64_t InjectedFaultCount();
std::string LastInjectedFault();

void ResetFaults();

// Exempts the calling thread while `exempt` is true (nested calls count).
void ExemptCurrentThreadFromFaults(bool exempt);

class ScopedFaultExemption {
public:
    ScopedFaultExemption() { ExemptCurrentThreadFromFaults(true); }
    ~ScopedFaultExemption() { ExemptCurrentThreadFromFaults(false); }
    ScopedFaultExemption(const ScopedFaultExemption&) = delete;
    ScopedFaultExemption& operator=(const ScopedFaultExemption&) = delete;
};

class ScopedFaults {
public:
    ScopedFaults() { ResetFaults(); }
    ~ScopedFaults() { ResetFaults(); }
    ScopedFaults(const ScopedFaults&) = delete;
    ScopedFaults& operator=(const ScopedFaults&) = delete;
};

}  // namespace platform::testing
PLATFORM_API_END
