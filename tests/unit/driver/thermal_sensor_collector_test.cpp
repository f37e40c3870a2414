#include "acquisition/thermal_sensor_collector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "acquisition_test_kit.h"
#include "platform/win32_error.h"
#include "platform_testing/faults.h"
#include "sim/probe_devices.h"
#include "sim/wmi.h"

namespace {

using namespace acquisition_test;
using platform::testing::FailCall;
using platform::testing::FailCallAlways;
using sim::Probe;

class ThermalSensorCollector : public AcquisitionTest {
protected:
    // InitCollector under a read step: the map's settling wait must pass.
    int InitCollector()
    {
        platform::testing::VirtualClock::SetReadStep(1ms);
        const int result = m_acquisition->InitCollector();
        platform::testing::VirtualClock::SetReadStep(0ns);
        return result;
    }
    double Read()
    {
        double reading = 77.0;
        EXPECT_EQ(m_acquisition->ReadTemperature(&reading), 1);
        return reading;
    }
    static void FailInterfaceReads()
    {
        ASSERT_TRUE(sim::FailProbeRequests(Probe::kInterface, IOCTL_PROBE_READ_VALUE, ERROR_GEN_FAILURE, sim::kAlways));
    }
    static void FailFixedReads()
    {
        ASSERT_TRUE(sim::FailProbeRequests(Probe::kFixedPath, IOCTL_PROBE_GET_COUNTS, ERROR_GEN_FAILURE, sim::kAlways));
    }
};

TEST_F(ThermalSensorCollector, TestMode_EveryTickReadsMinus8Point8AndWmiIsNeverConnected)
{
    ScopedTestMode testMode;
    ASSERT_EQ(Init(), 1);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
    ASSERT_EQ(Start(), 1);
    for (int tick = 0; tick < 4; ++tick) {
        m_clock.AdvanceBy(1000ms);
        EXPECT_EQ(Latest(), -8.8);
    }
    // The reporter's first tick may see the reading or not; from its third tick on it delivers
    // -8.8 every time.
    const auto deliveries = m_sensor.Deliveries();
    ASSERT_GE(deliveries.size(), 3u);
    EXPECT_EQ(deliveries.front(), kNoReading);
    for (std::size_t i = 1; i < deliveries.size(); ++i) EXPECT_EQ(deliveries[i], -8.8);

    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_acquisition->DeinitAcquisition(), 1);
    EXPECT_EQ(InterfaceReads(), 0u);
    EXPECT_EQ(FixedReads(), 0u);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
}

TEST_F(ThermalSensorCollector, ReadTemperature_AsksTheInterfaceDeviceFirst)
{
    ASSERT_EQ(InitCollector(), 1);
    EXPECT_EQ(Read(), 40.0);
    EXPECT_EQ(InterfaceReads(), 1u);
    EXPECT_EQ(FixedReads(), 0u);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
}

TEST_F(ThermalSensorCollector, ReadTemperature_AnInterfaceKeyMissingFromTheMapGivesNoReadingAndEndsTheChain)
{
    ASSERT_EQ(InitCollector(), 1);
    for (const std::uint32_t raw : {5000u, 0xFFFFFC18u /* -1000 */}) {
        ASSERT_TRUE(sim::SetInterfaceProbeRawValue(raw));
        EXPECT_EQ(Read(), kNoReading) << raw;
    }
    EXPECT_EQ(FixedReads(), 0u);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
}

TEST_F(ThermalSensorCollector, ReadTemperature_AsksTheFixedPathDeviceWhenTheInterfaceDeviceGivesNothing)
{
    ASSERT_EQ(InitCollector(), 1);
    FailInterfaceReads();
    EXPECT_EQ(Read(), 25.0);
    EXPECT_EQ(FixedReads(), 1u);

    // Its no-reading answer with success ends the chain too.
    ASSERT_TRUE(sim::SetFixedProbeStatusWord(0x6301));  // ready, a kind without a table
    EXPECT_EQ(Read(), kNoReading);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
}

TEST_F(ThermalSensorCollector, ReadTemperature_AsksWmiLast)
{
    ASSERT_EQ(InitCollector(), 1);
    FailInterfaceReads();
    FailFixedReads();
    EXPECT_EQ(Read(), 30.0);
    EXPECT_EQ(sim::WmiNextCalls(), 1u);
}

TEST_F(ThermalSensorCollector, ReadTemperature_NoSourceGivesNoReading)
{
    ASSERT_EQ(InitCollector(), 1);
    FailInterfaceReads();
    FailFixedReads();
    sim::ResetWmi();  // no instance answers
    EXPECT_EQ(Read(), kNoReading);
    EXPECT_EQ(m_traces.Count(kCollectorTrace, 33), 1u);  // the error-level "no source answered"
}

TEST_F(ThermalSensorCollector, ReadFromWmi_IsNotAskedBeforeInitCollector)
{
    FailInterfaceReads();
    FailFixedReads();
    EXPECT_EQ(Read(), kNoReading);
    double untouched = 77.0;
    EXPECT_EQ(m_acquisition->ReadFromWmi(&untouched), 0);
    EXPECT_EQ(untouched, 77.0);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
}

// A lookup that cannot read the power status writes nothing; the reading is then no reading,
// never a temperature of 0 degrees.
TEST_F(ThermalSensorCollector, ReadTemperature_AnUnreadablePowerStatusGivesNoReading)
{
    ASSERT_EQ(InitCollector(), 1);
    FailCallAlways("GetSystemPowerStatus");
    EXPECT_EQ(Read(), kNoReading);
    EXPECT_EQ(InterfaceReads(), 1u);

    FailInterfaceReads();
    FailFixedReads();
    EXPECT_EQ(Read(), kNoReading);
    EXPECT_EQ(sim::WmiNextCalls(), 1u);
}

TEST_F(ThermalSensorCollector, InitAndDeinit_Return1EvenWhenWmiCannotConnect)
{
    for (const char* point : {"CoCreateInstance", "IWbemLocator::ConnectServer"}) {
        SCOPED_TRACE(point);
        FailCall(point);
        EXPECT_EQ(InitCollector(), 1);
        EXPECT_EQ(sim::LiveWmiObjects(), 0u);
        FailInterfaceReads();
        FailFixedReads();
        EXPECT_EQ(Read(), kNoReading);
        EXPECT_EQ(m_acquisition->DeinitCollector(), 1);
        platform::testing::ResetFaults();
    }
    // Both run under their method timing traces.
    const std::vector<std::string> timed = m_traces.Texts(kScopeTimerTrace, 10);
    EXPECT_EQ(std::count(timed.begin(), timed.end(), "CThermalSensorCollector::InitCollector"), 2);
    EXPECT_EQ(std::count(timed.begin(), timed.end(), "CThermalSensorCollector::DeinitCollector"), 2);
}

TEST_F(ThermalSensorCollector, DeinitCollector_ClearsTheMapsAndInitCollectorReloadsThem)
{
    ASSERT_EQ(InitCollector(), 1);
    ASSERT_GT(sim::LiveWmiObjects(), 0u);
    EXPECT_EQ(m_acquisition->DeinitCollector(), 1);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
    EXPECT_EQ(Read(), kNoReading);  // the interface device answers, its key has no entry

    ASSERT_EQ(InitCollector(), 1);
    EXPECT_EQ(Read(), 40.0);
}

TEST_F(ThermalSensorCollector, StartCollectorThread_WithoutASinkStartsNothing)
{
    auto collector = MakeSettled<CThermalSensorCollector>();
    platform::testing::FailCallAlways("CreateEventW");  // would show any attempt
    EXPECT_EQ(collector->StartCollectorThread(), 0);
    EXPECT_EQ(platform::testing::InjectedFaultCount(), 0u);
    EXPECT_EQ(collector->StopCollectorThread(), 1);
}

}  // namespace
