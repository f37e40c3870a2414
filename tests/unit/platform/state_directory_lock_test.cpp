// One host per state directory: the lock on it, and the directories it refuses before a host loads
// its driver.
#include "host/state_directory_lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform_testing/faults.h"
#include "support/temp_dir.h"

namespace {

using platform::host::StateDirectoryLock;
using ::testing::HasSubstr;

TEST(StateDirectoryLock, SecondOwner_IsRefusedWithTheFirstOnesPidUntilItLetsGo)
{
    test_support::TempDir dir;
    const auto state = dir.path() / "state";
    std::string problem;
    auto first = StateDirectoryLock::Acquire(state, "driver-host", &problem);
    ASSERT_NE(first, nullptr) << problem;

    EXPECT_EQ(StateDirectoryLock::Acquire(state, "driver-host", &problem), nullptr);
    EXPECT_EQ(problem, "state directory " + state.string() + " is in use by driver-host (pid " +
                           std::to_string(::getpid()) + ")");

    first.reset();
    EXPECT_NE(StateDirectoryLock::Acquire(state, "driver-host", &problem), nullptr) << problem;
}

TEST(StateDirectoryLock, Directory_IsMadePrivateOrRefusedWithTheReason)
{
    test_support::TempDir dir;
    std::ofstream(dir.path() / "file") << "x";
    platform::testing::ScopedFaults faults;
    const struct {
        std::filesystem::path directory;
        const char* fault;    // a fault point to arm first, or null
        const char* problem;  // empty: acquired
    } cases[] = {
        {dir.path() / "made" / "here", nullptr, ""},
        {dir.path() / "file", nullptr, "cannot be used: it is not a directory"},
        {dir.path() / "file" / "below", nullptr, "cannot be used: it cannot be made (Not a directory)"},
        {dir.path() / "unwritable", "StateDirectoryLock:probe",
         "cannot be used: it is not writable (Permission denied)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.directory.string());
        if (c.fault != nullptr) platform::testing::FailCall(c.fault);
        std::string problem;
        const auto lock = StateDirectoryLock::Acquire(c.directory, "driver-host", &problem);
        EXPECT_EQ(lock != nullptr, std::string(c.problem).empty());
        if (lock == nullptr) {
            EXPECT_THAT(problem, HasSubstr(c.directory.string() + " " + c.problem));
        }
    }
    struct stat made {};
    ASSERT_EQ(::stat((dir.path() / "made" / "here").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 0777, 0700u);
}

}  // namespace
