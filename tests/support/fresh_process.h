// Runs a test scenario in a fresh run of the test binary (a threadsafe death test), for objects
// that exist once per process; the scenario's failures fail the test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace test_support {

// Ends a fresh process with the verdict of the scenario that ran in it.
[[noreturn]] inline void ExitWithVerdict()
{
    const ::testing::TestResult* result = ::testing::UnitTest::GetInstance()->current_test_info()->result();
    for (int i = 0; i < result->total_part_count(); ++i) {
        const ::testing::TestPartResult& part = result->GetTestPartResult(i);
        if (part.failed()) {
            std::fprintf(stderr, "%s:%d: %s\n", part.file_name() ? part.file_name() : "?", part.line_number(),
                         part.message());
        }
    }
    std::exit(result->Failed() ? 1 : 0);
}

// Runs a scenario in a fresh run of the test binary; its failures fail the test.
template <class Scenario>
void InFreshProcess(Scenario scenario)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            scenario();
            ExitWithVerdict();
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace test_support
