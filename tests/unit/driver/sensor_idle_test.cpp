// The idle timer: long report intervals let the host idle the device, and the timer brings it back
// one minute before the next report. These sensors have no client, so they hold no power reference
// to give back or take again (the calls with a client are tested on the host's device).
#include <gtest/gtest.h>

#include <memory>

#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;

class SensorIdle : public ::testing::Test {
protected:
    SensorIdle() { EXPECT_EQ(m_sensor->CSensor::Initialize(0, 0, u"m", u"m", u"s", kSensorId, m_device.Get()), S_OK); }
    ~SensorIdle() override
    {
        m_sensor.reset();
        EXPECT_EQ(m_device->References(), 1u);
    }

    void Schedule(ULONG interval)
    {
        m_sensor->SetCurrentReportInterval(interval);
        m_sensor->ScheduleIdle();
        m_clock.RunUntilIdle();
    }
    std::vector<DEVICE_POWER_STATE> DxStates()
    {
        std::vector<DEVICE_POWER_STATE> states;
        for (const auto& settings : m_device->IdleSettings()) states.push_back(settings.DxState);
        return states;
    }

    platform::testing::ScopedVirtualClock m_clock;
    ComPtr<HostDevice> m_device = MakeHostDevice();
    std::unique_ptr<CThermalSensor> m_sensor{CThermalSensor::Create()};
};

using States = std::vector<DEVICE_POWER_STATE>;

TEST_F(SensorIdle, ScheduleIdle_300000ms_LetsTheDeviceIdleAndWakesItAfter240000ms)
{
    EXPECT_CALL(*m_device.Get(), ResumeIdle()).Times(0);
    EXPECT_CALL(*m_device.Get(), StopIdle(::testing::_)).Times(0);
    Schedule(300000);

    const auto armed = m_device->IdleSettings();
    ASSERT_EQ(armed.size(), 1u);
    EXPECT_EQ(armed[0].Size, 32u);
    EXPECT_EQ(armed[0].IdleCaps, IdleCannotWakeFromS0);
    EXPECT_EQ(armed[0].DxState, PowerDeviceD2);
    EXPECT_EQ(armed[0].IdleTimeout, 100u);
    EXPECT_EQ(armed[0].UserControlOfIdleSettings, IdleAllowUserControl);
    EXPECT_EQ(armed[0].Enabled, WdfFalse);
    EXPECT_EQ(armed[0].PowerUpIdleDeviceOnSystemWake, WdfFalse);
    EXPECT_EQ(armed[0].IdleTimeoutType, SystemManagedIdleTimeout);

    m_clock.AdvanceBy(239999ms);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2}));
    m_clock.AdvanceBy(1ms);
    const auto left = m_device->IdleSettings();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[1].DxState, PowerDeviceD3);
    EXPECT_EQ(left[1].IdleCaps, IdleCannotWakeFromS0);
    EXPECT_EQ(left[1].IdleTimeoutType, SystemManagedIdleTimeout);
}

TEST_F(SensorIdle, ScheduleIdle_ShorterOrNotComputedInterval_ArmsNothing)
{
    EXPECT_CALL(*m_device.Get(), ResumeIdle()).Times(0);
    EXPECT_CALL(*m_device.Get(), StopIdle(::testing::_)).Times(0);
    Schedule(299999);
    Schedule(CSensor::kReportIntervalNotComputed);
    m_clock.AdvanceBy(600000ms);
    EXPECT_TRUE(m_device->IdleSettings().empty());
}

TEST_F(SensorIdle, ScheduleIdle_WhileArmed_KeepsTheFirstDueTime)
{
    Schedule(300000);
    m_clock.AdvanceBy(100000ms);
    Schedule(600000);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2}));
    m_clock.AdvanceBy(140000ms);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2, PowerDeviceD3}));
}

TEST_F(SensorIdle, ScheduleIdle_ShortIntervalWhileArmed_LeavesIdleAndCancelsTheTimer)
{
    EXPECT_CALL(*m_device.Get(), StopIdle(::testing::_)).Times(0);
    Schedule(300000);
    Schedule(1000);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2, PowerDeviceD3}));
    m_clock.AdvanceBy(600000ms);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2, PowerDeviceD3}));
}

TEST_F(SensorIdle, Uninitialize_WithTheTimerArmed_NoCallbackRunsAfterwards)
{
    Schedule(300000);
    ASSERT_EQ(m_sensor->Uninitialize(), S_OK);
    m_clock.AdvanceBy(600000ms);
    EXPECT_EQ(DxStates(), (States{PowerDeviceD2}));
}

}  // namespace
