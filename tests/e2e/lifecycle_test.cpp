// The device's life as clients and signals drive it, and the host's log of it: a killed client
// leaves nothing behind, the radio state switches the sensor off and is kept across a restart (even
// when the current file is damaged), and SIGTERM takes the release path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

using e2e::HostProcess;
using e2e::NextReading;

bool Contains(const std::string& text, std::string_view part)
{
    return text.find(part) != std::string::npos;
}

bool LogContains(const HostProcess& host, std::string_view part)
{
    for (const std::string& line : host.Log()) {
        if (Contains(line, part)) return true;
    }
    return false;
}

// Whether the host logged the line after its first `mark` lines: read already, or coming (the
// lines of the host's threads may come in either order).
bool LoggedSince(HostProcess& host, std::size_t mark, std::string_view part)
{
    for (std::size_t i = mark; i < host.Log().size(); ++i) {
        if (Contains(host.Log()[i], part)) return true;
    }
    return host.WaitForLog(part).has_value();
}

TEST(LifecycleTest, KilledWatchClient_LeavesNothingAndTheDeviceIdlesAgain)
{
    test_support::TempDir dir;
    // The driver's own traces tell when the device leaves D0.
    const auto host = HostProcess::Start(dir.path(), {"--trace", "info"});
    ASSERT_NE(host, nullptr);
    constexpr std::string_view kIdled = "OnD0Exit: to power state 4";
    ASSERT_TRUE(LogContains(*host, kIdled)) << "the fresh device did not idle before the host was ready";

    std::size_t mark = host->Log().size();
    const auto victim = host->StartCtl({"--json", "watch"});
    ASSERT_TRUE(NextReading(*victim)) << victim->Stderr();
    const std::string victimPid = "pid " + std::to_string(victim->Pid()) + ", uid " + std::to_string(::getuid());
    EXPECT_TRUE(LoggedSince(*host, mark, "client connected (" + victimPid + ", read-write); 1 connected"));
    EXPECT_TRUE(LoggedSince(*host, mark, "device woke (D0): a client needs it"));
    mark = host->Log().size();
    victim->Signal(SIGKILL);
    EXPECT_EQ(victim->Wait(e2e::kCommandTimeout), 128 + SIGKILL);

    // Its file was cleaned up, so no client holds the device awake: it idles again.
    EXPECT_TRUE(LoggedSince(*host, mark, "client disconnected (" + victimPid + "); 0 connected"));
    ASSERT_TRUE(LoggedSince(*host, mark, kIdled)) << "the device did not idle after the client was killed";
    EXPECT_TRUE(LoggedSince(*host, mark, "device idles (D3): no client needs it"));

    // The host serves a new client, whose connect wakes the device again.
    const auto second = host->StartCtl({"--json", "watch", "--count", "5"});
    EXPECT_TRUE(NextReading(*second)) << second->Stderr();
    EXPECT_EQ(second->Wait(e2e::kCommandTimeout), 0);
    EXPECT_EQ(host->Stop(), 0);
}

TEST(LifecycleTest, RadioState_SwitchesTheSensorOffAndSurvivesARestart)
{
    test_support::TempDir dir;
    auto host = HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    const auto watcher = host->StartCtl({"--json", "watch"});
    ASSERT_TRUE(NextReading(*watcher)) << watcher->Stderr();

    const e2e::RunResult off = host->Ctl({"radio", "set", "1"});
    EXPECT_EQ(off.exitCode, 0) << off.err;
    EXPECT_TRUE(LoggedSince(*host, 0, "radio state set to 1 (off) by a client (pid "));
    bool notAvailable = false;
    for (int i = 0; i < 5 && !notAvailable; ++i) {
        const std::optional<std::string> line = watcher->ReadLine(e2e::kEventTimeout);
        ASSERT_TRUE(line);
        const std::optional<nlohmann::json> event = e2e::ParseJson(*line);
        notAvailable = event && (*event)["event"] == "state-changed" && (*event)["state"] == "not-available";
    }
    EXPECT_TRUE(notAvailable) << "no state-changed event to not-available";

    const e2e::RunResult invalid = host->Ctl({"radio", "set", "7"});
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_TRUE(Contains(invalid.err, "E_INVALIDARG")) << invalid.err;

    if (::geteuid() == 0) {
        // Another user may connect, but only with read access: the host refuses the write.
        const e2e::RunResult refused = e2e::CtlAsNobody(*host, dir.path(), {"radio", "set", "0"});
        EXPECT_EQ(refused.exitCode, 1) << refused.err;
        EXPECT_TRUE(Contains(refused.err, "E_ACCESSDENIED")) << refused.err;
        const e2e::RunResult readable = e2e::CtlAsNobody(*host, dir.path(), {"radio", "get"});
        EXPECT_EQ(readable.exitCode, 0) << readable.err;
    }

    const e2e::RunResult registry = host->Ctl({"sim", "registry", "set", "TestMode", "Disable"});
    EXPECT_EQ(registry.exitCode, 0) << registry.err;
    EXPECT_TRUE(Contains(registry.out, "the driver reads it when the device is next added")) << registry.out;

    watcher->Signal(SIGINT);
    EXPECT_EQ(watcher->Wait(e2e::kCommandTimeout), 0);
    EXPECT_EQ(host->Stop(), 0);
    EXPECT_TRUE(LogContains(*host, "SIGTERM: shutting down"));
    // The device leaves D0 on the way (unless it idled already, radio off) and releases its hardware.
    EXPECT_TRUE(LogContains(*host, "device removed: sensor not available")) << ::testing::PrintToString(host->Log());
    EXPECT_TRUE(LogContains(*host, "OnReleaseHardware]")) << ::testing::PrintToString(host->Log());
    EXPECT_TRUE(LogContains(*host, "module unloaded")) << ::testing::PrintToString(host->Log());

    // The radio state survives damage to the current file through the previous generation, and a
    // registry value set through sim is kept.
    const std::filesystem::path properties = dir.path() / "state" / "device-properties";
    std::filesystem::resize_file(properties, std::filesystem::file_size(properties) / 2);
    host = HostProcess::Start(dir.path());
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(Contains(host->Process().Stderr(), "driver-host: warning: the device property file " +
                                                       properties.string() + " is damaged; it was moved to " +
                                                       properties.string() + ".corrupt"))
        << host->Process().Stderr();
    EXPECT_TRUE(Contains(host->Process().Stderr(), "restored; radio state restored: 1 (off)"));
    EXPECT_TRUE(LogContains(*host,
                            "registry: HKEY_CURRENT_CONFIG\\Software\\Varmel\\Configure\\TestMode keeps "
                            "the value set through sim"));
    const e2e::RunResult kept = host->Ctl({"--json", "radio", "get"});
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    const std::vector<nlohmann::json> lines = e2e::JsonLines(kept);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["radio_state"], 1);
    EXPECT_EQ(host->Stop(), 0);
}

}  // namespace
