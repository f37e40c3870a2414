// Fault points of the platform's checked calls. Each checked call asks CheckFault before doing its
// work; test control (platform_testing/faults.h) decides which calls fail and with which error.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace platform::detail {

// Returns the error the call named `point` must fail with now, or nothing. `defaultError` is the
// call's natural error (a Win32 code or an HRESULT, as the call reports them); it is used when the
// test armed the fault without choosing one. `qualifier` narrows a point to one use, for example
// the class of a CoCreateInstance; a fault armed for "point:qualifier" matches only that use.
std::optional<std::uint32_t> CheckFault(std::string_view point, std::uint32_t defaultError,
                                        std::string_view qualifier = {});

// Whether a fault is armed or checked calls are counted. While none is, CheckFault answers nothing
// at once, so a call whose qualifier costs something to build asks this first.
bool FaultInjectionActive();

}  // namespace platform::detail
