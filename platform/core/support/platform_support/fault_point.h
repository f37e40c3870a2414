// Fault points: a call that its caller checks for failure asks CheckFault before it does its work,
// so that a test can make it fail (platform_testing/faults.h decides which calls fail, and how).
//
//   if (const auto error = platform::support::CheckFault("CreateHostWorker", E_OUTOFMEMORY)) {
//       return static_cast<HRESULT>(*error);
//   }
//
// Thread safety: any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/export.h"

namespace platform::support {

// Returns the error the call named `point` must fail with now, or nothing. `defaultError` is the
// call's natural error (a Win32 code or an HRESULT, as the call reports them); it is used when the
// test armed the fault without choosing one. `qualifier` narrows a point to one use, for example
// the class of a CoCreateInstance; a fault armed for "point:qualifier" matches only that use.
PLATFORM_API std::optional<std::uint32_t> CheckFault(std::string_view point, std::uint32_t defaultError,
                                                     std::string_view qualifier = {});

// Whether a fault is armed or checked calls are counted. While none is, CheckFault answers nothing
// at once, so a call whose qualifier costs something to build asks this first.
PLATFORM_API bool FaultInjectionActive();

}  // namespace platform::support
