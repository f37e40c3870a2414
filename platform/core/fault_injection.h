// Fault points of the platform's checked calls (platform_support/fault_point.h); test control
// (platform_testing/faults.h) decides which calls fail and with which error.
#pragma once

#include "platform_support/fault_point.h"

namespace platform::detail {

using support::CheckFault;
using support::FaultInjectionActive;

}  // namespace platform::detail
