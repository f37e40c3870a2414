// Test control of the handle table: how many kernel handles (events, threads, files, timers,
// thread pools, ...) are open now, so that a test can tell that a flow closed what it opened.
//
//   const std::size_t before = platform::testing::OpenKernelHandles();
//   RunTheFlowAndTearItDown();
//   EXPECT_EQ(platform::testing::OpenKernelHandles(), before);
//
// Thread safety: may be called from any thread.
#pragma once

#include <cstddef>

#include "platform/export.h"

PLATFORM_API_BEGIN

namespace platform::testing {

std::size_t OpenKernelHandles();

}  // namespace platform::testing
PLATFORM_API_END
