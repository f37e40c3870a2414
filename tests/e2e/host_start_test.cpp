// driver-host's start with what it cannot use: a second host on the same state directory, a
// machine file that is not a small regular file, state files it cannot read, a socket it cannot
// make. Each is refused before the 5-second load with the reason, and a signal ends the host at
// any step of its start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using e2e::ChildProcess;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

std::vector<std::string> HostArgs(const std::filesystem::path& state, const std::filesystem::path& socket,
                                  std::vector<std::string> extra = {})
{
    std::vector<std::string> argv{DRIVER_HOST_PATH, "--state-dir", state.string(), "--socket", socket.string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

TEST(HostStartTest, TwoHostsOnOneStateDirectory_TheSecondExits3NamingTheFirst)
{
    test_support::TempDir dir;
    const std::filesystem::path state = dir.path() / "state";
    const auto first = ChildProcess::Start(HostArgs(state, dir.path() / "first.sock"));
    ASSERT_NE(first, nullptr);
    // The state directory is taken before the driver's load.
    ASSERT_TRUE(first->ReadUntil("loading ", e2e::kStartTimeout)) << first->Stderr();

    const e2e::RunResult second = e2e::Run(HostArgs(state, dir.path() / "second.sock"), e2e::kCommandTimeout);
    EXPECT_EQ(second.exitCode, 3);
    EXPECT_THAT(second.err, HasSubstr("state directory " + state.string() + " is in use by driver-host (pid " +
                                      std::to_string(first->Pid()) + ")"));
    EXPECT_THAT(second.lines, Not(Contains(HasSubstr("loading "))));

    first->Signal(SIGTERM);
    EXPECT_EQ(first->Wait(e2e::kCommandTimeout), 0);
}

TEST(HostStartTest, WhatCannotBeUsed_IsRefusedBeforeTheLoadWithTheReason)
{
    test_support::TempDir dir;
    const std::filesystem::path state = dir.path() / "state";
    // State files that cannot be read (root reads any file: directories stand in for them).
    const std::filesystem::path unreadable = dir.path() / "unreadable";
    std::filesystem::create_directories(unreadable / "registry");
    std::filesystem::create_directories(unreadable / "device-properties");
    std::ofstream(dir.path() / "plain") << "x";
    const struct {
        std::vector<std::string> argv;
        int exitCode;
        std::vector<std::string> reasons;
    } cases[] = {
        {HostArgs(state, dir.path() / "a.sock", {"--machine", "/dev/zero"}),
         3,
         {"machine file /dev/zero: cannot be used: it is a character device, not a regular file"}},
        {HostArgs(dir.path() / "plain", dir.path() / "b.sock"),
         3,
         {"the state directory " + (dir.path() / "plain").string() + " cannot be used: it is not a directory"}},
        {HostArgs(unreadable, dir.path() / "c.sock"),
         3,
         {"the registry file " + (unreadable / "registry").string() + " cannot be read (Is a directory)",
          "the device property file " + (unreadable / "device-properties").string() +
              " cannot be read (Is a directory); it was left as it is; the host stops"}},
        {HostArgs(state, dir.path() / "none" / "d.sock"),
         4,
         {"the socket " + (dir.path() / "none" / "d.sock").string() + " cannot be served: cannot make the socket",
          "its directory " + (dir.path() / "none").string() + " cannot be used (No such file or directory)"}},
    };
    for (const auto& c : cases) {
        const e2e::RunResult run = e2e::Run(c.argv, e2e::kCommandTimeout);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        for (const std::string& reason : c.reasons) EXPECT_THAT(run.err, HasSubstr(reason));
        EXPECT_THAT(run.lines, Not(Contains(HasSubstr("loading "))));
    }
    EXPECT_TRUE(std::filesystem::is_directory(unreadable / "registry")) << "a file that cannot be read was replaced";
}

TEST(HostStartTest, MachineFileWithAByteOrderMark_IsReadAndASignalEndsTheLoad)
{
    test_support::TempDir dir;
    const std::filesystem::path machine = dir.path() / "marked.machine";
    std::ofstream(machine, std::ios::binary) << "\xEF\xBB\xBF[machine]\r\npower = dc\r\n";
    const auto host =
        ChildProcess::Start(HostArgs(dir.path() / "state", dir.path() / "host.sock", {"--machine", machine.string()}));
    ASSERT_NE(host, nullptr);
    std::vector<std::string> log;
    ASSERT_TRUE(host->ReadUntil("machine: " + machine.string() + "; power DC (battery)", e2e::kStartTimeout, &log))
        << host->Stderr();
    ASSERT_TRUE(host->ReadUntil("loading ", e2e::kStartTimeout, &log));

    // The load settles for 5 s and cannot be cut short; the signal ends the host without waiting for it.
    host->Signal(SIGTERM);
    EXPECT_EQ(host->Wait(e2e::kCommandTimeout), 0);
    for (std::string& line : host->TakeRemainingLines()) log.push_back(std::move(line));
    EXPECT_THAT(log, Contains(HasSubstr("SIGTERM while loading the driver: the host ends without serving")));
    EXPECT_THAT(log, Not(Contains(HasSubstr("module loaded"))));
}

}  // namespace
