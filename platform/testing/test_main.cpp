// Test binaries start on a virtual clock whose reads advance it, installed before any static object
// of the binary is made: a static object that busy-waits on the performance counter (the thermal
// map's settling wait) then finishes at once. main() stops the read step before the tests run;
// each test chooses its own clock.
#include <gtest/gtest.h>

#include <chrono>

#include "platform_testing/virtual_clock.h"

namespace {

__attribute__((constructor(101))) void StartOnVirtualClock()
{
    platform::testing::VirtualClock::Install();
    platform::testing::VirtualClock::SetReadStep(std::chrono::milliseconds(1));
}

}  // namespace

int main(int argc, char** argv)
{
    platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
