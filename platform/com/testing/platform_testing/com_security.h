// Control of the process's COM security.
//
//   platform::testing::ResetComSecurity();   // the next CoInitializeSecurity succeeds again
//
// Thread safety: may be called from any thread.
#pragma once

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace platform::testing {

// Forgets that the process's security was set.
void ResetComSecurity();

}  // namespace platform::testing
PLATFORM_API_END
