// With AC and DC map files in the state directory, the power source chooses the map that the
// readings go through.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <fstream>

#include "e2e/e2e_host.h"
#include "support/temp_dir.h"

namespace {

// The interface probe answers the raw key 500, which each map converts its own way.
constexpr char kMachine[] = R"(# Mains power; the probe's raw key goes through the map of the power source.
[machine]
power = ac

[interface-probe]
raw = 500

[map ac]
500 = 11.0

[map dc]
500 = 22.0
)";

// Reads events until one carries `degrees`; false when none does within `events` readings.
bool ReadingsReach(e2e::ChildProcess& watcher, double degrees, int events)
{
    for (int i = 0; i < events; ++i) {
        const std::optional<nlohmann::json> reading = e2e::NextReading(watcher);
        if (!reading) return false;
        if (std::abs((*reading)["temperature_celsius"].get<double>() - degrees) < 0.01) return true;
    }
    return false;
}

TEST(PowerSourceTest, SwitchingThePowerSource_SwitchesTheMapTheReadingsGoThrough)
{
    test_support::TempDir dir;
    const std::filesystem::path machine = dir.path() / "maps.machine";
    std::ofstream(machine) << kMachine;
    const auto host = e2e::HostProcess::Start(dir.path(), {"--machine", machine.string()});
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(std::filesystem::exists(host->StateDirectory() / "windows/system32/drivers/UMDF/ThermalMap_DC.ini"));

    const auto watcher = host->StartCtl({"--json", "watch"});
    ASSERT_TRUE(ReadingsReach(*watcher, 11.0, 3)) << watcher->Stderr();

    // After a switch the collector pauses for up to 4 s before its next reading.
    ASSERT_EQ(host->Ctl({"sim", "power", "dc"}).exitCode, 0);
    EXPECT_TRUE(host->WaitForLog("power source switched: AC -> DC (battery)"));
    EXPECT_TRUE(ReadingsReach(*watcher, 22.0, 10));
    ASSERT_EQ(host->Ctl({"sim", "power", "ac"}).exitCode, 0);
    EXPECT_TRUE(ReadingsReach(*watcher, 11.0, 10));

    watcher->Signal(SIGINT);
    EXPECT_EQ(watcher->Wait(e2e::kCommandTimeout), 0);
    EXPECT_EQ(host->Stop(), 0);
}

}  // namespace
