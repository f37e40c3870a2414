#include <gtest/gtest.h>

#include "platform/kernel/last_error.h"
#include "platform/kernel/power.h"
#include "platform_testing/faults.h"
#include "sim/power_source.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;

class PowerStatus : public ::testing::Test {
protected:
    void TearDown() override { sim::SetAcLineStatus(m_previous); }

    ScopedFaults m_faults;
    std::uint8_t m_previous = sim::AcLineStatus();
};

TEST_F(PowerStatus, GetSystemPowerStatus_ReportsTheSimulatedAcLine)
{
    for (const BYTE line : {AC_LINE_OFFLINE, AC_LINE_ONLINE, AC_LINE_UNKNOWN, BYTE{2}}) {
        sim::SetAcLineStatus(line);
        SYSTEM_POWER_STATUS status{};
        ASSERT_TRUE(GetSystemPowerStatus(&status));
        EXPECT_EQ(status.ACLineStatus, line);
        EXPECT_EQ(status.BatteryFlag, BATTERY_FLAG_UNKNOWN);
        EXPECT_EQ(status.BatteryLifePercent, BATTERY_PERCENTAGE_UNKNOWN);
        EXPECT_EQ(status.SystemStatusFlag, 0);
        EXPECT_EQ(status.BatteryLifeTime, BATTERY_LIFE_UNKNOWN);
        EXPECT_EQ(status.BatteryFullLifeTime, BATTERY_LIFE_UNKNOWN);
    }
}

TEST_F(PowerStatus, GetSystemPowerStatus_FailsWhenToldWithTheChosenError)
{
    FailCall("GetSystemPowerStatus", 1, ERROR_NOT_SUPPORTED);
    SYSTEM_POWER_STATUS status{};
    status.ACLineStatus = 42;
    EXPECT_FALSE(GetSystemPowerStatus(&status));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(status.ACLineStatus, 42);

    FailCall("GetSystemPowerStatus");
    EXPECT_FALSE(GetSystemPowerStatus(&status));
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);

    EXPECT_TRUE(GetSystemPowerStatus(&status));
}

TEST_F(PowerStatus, GetSystemPowerStatus_RefusesANullPointer)
{
    EXPECT_FALSE(GetSystemPowerStatus(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
