#include "acquisition/thermal_acquisition.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "acquisition_test_kit.h"
#include "platform/kernel/last_error.h"
#include "platform/win32_error.h"
#include "platform_testing/faults.h"
#include "sim/power_source.h"
#include "sim/probe_devices.h"
#include "sim/wmi.h"

namespace {

using namespace acquisition_test;
using platform::testing::FailCall;
using platform::testing::FailCallAlways;
using Call = RecordingSensor::Call;
using Deliveries = std::vector<double>;

constexpr char16_t kCollectorEventName[] = u"CloseThreadEvent_SensorCollector";
constexpr char16_t kReporterEventName[] = u"CloseThreadEvent_SensorReporter";

using ThermalAcquisition = AcquisitionTest;

// The module's object was made while the binary loaded; its maps loaded then. Before the
// collector first stores a reading there is none: not a reading of 0 degrees.
TEST_F(ThermalAcquisition, GetThermalAcquisition_GivesTheOneObjectWithItsMapsLoaded)
{
    CThermalAcquisition* acquisition = GetThermalAcquisition();
    ASSERT_NE(acquisition, nullptr);
    EXPECT_EQ(acquisition, GetThermalAcquisition());
    EXPECT_EQ(acquisition->IsStarted(), 0);
    EXPECT_EQ(acquisition->GetReportInterval(), 1000u);
    EXPECT_EQ(acquisition->GetLatestTemperature(), kNoReading);

    double reading = 0.0;
    EXPECT_EQ(acquisition->ReadTemperature(&reading), 1);
    EXPECT_EQ(reading, 40.0);
}

TEST_F(ThermalAcquisition, StartThreads_StoresAndDeliversNoReadingAtOnce)
{
    ASSERT_EQ(Init(), 1);
    m_acquisition->SetLatestTemperature(12.5);
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    EXPECT_EQ(Latest(), kNoReading);
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{kNoReading});
    EXPECT_EQ(m_sensor.Calls(),
              (std::vector<Call>{Call::kSetLastReading, Call::kUpdateDataFields, Call::kSignalNewData}));

    m_clock.AdvanceBy(1000ms);
    EXPECT_EQ(Latest(), 40.0);
    EXPECT_EQ(InterfaceReads(), 1u);
}

TEST_F(ThermalAcquisition, StopThreads_StoresAndDeliversNoReadingOnTheWayOut)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    m_clock.AdvanceBy(2000ms);
    ASSERT_EQ(Latest(), 40.0);
    m_sensor.TakeNewDeliveries();

    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_EQ(Latest(), kNoReading);
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{kNoReading});
    // Both threads have ended and their events are closed.
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_FALSE(NamedEventExists(kReporterEventName));
    m_clock.AdvanceBy(5000ms);
    EXPECT_EQ(InterfaceReads(), 2u);
    EXPECT_TRUE(m_sensor.TakeNewDeliveries().empty());

    // Again, with nothing to stop.
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_TRUE(m_sensor.TakeNewDeliveries().empty());
}

TEST_F(ThermalAcquisition, StartThreads_WhileRunningStartsNothingAndKeepsOnePair)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    FailCallAlways("CreateThread");
    FailCallAlways("CreateEventW");
    EXPECT_EQ(Start(), 1);
    EXPECT_EQ(platform::testing::InjectedFaultCount(), 0u);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{kNoReading});  // from the first start only
    platform::testing::ResetFaults();

    // One reading and at most one delivery per tick.
    m_clock.AdvanceBy(3000ms);
    EXPECT_EQ(InterfaceReads(), 3u);
    EXPECT_LE(m_sensor.TakeNewDeliveries().size(), 2u);
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
}

// The reporter alone: without InitCollector the collector thread ends at once, so the test alone
// decides what the reporter finds at each tick.
TEST_F(ThermalAcquisition, Reporter_DeliversUnlessThePreviousTickSawNoReading)
{
    ASSERT_EQ(Start(), 1);
    ASSERT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{kNoReading});

    const double seen[] = {25.0, 25.0, kNoReading, kNoReading, 30.0, 31.0};
    const Deliveries expected[] = {{}, {25.0}, {kNoReading}, {}, {}, {31.0}};
    for (std::size_t tick = 0; tick < std::size(seen); ++tick) {
        SCOPED_TRACE(tick);
        m_acquisition->SetLatestTemperature(seen[tick]);
        m_clock.AdvanceBy(1000ms);
        EXPECT_EQ(m_sensor.TakeNewDeliveries(), expected[tick]);
    }

    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{kNoReading});
}

TEST_F(ThermalAcquisition, DeliverTemperature_SignalsWhateverTheUpdateReturned)
{
    m_sensor.SetUpdateResult(E_FAIL);
    m_acquisition->SetLatestTemperature(21.0);
    m_acquisition->DeliverTemperature(21.0);
    EXPECT_EQ(m_sensor.Deliveries(), Deliveries{21.0});
    EXPECT_EQ(m_sensor.Calls(),
              (std::vector<Call>{Call::kSetLastReading, Call::kUpdateDataFields, Call::kSignalNewData}));

    // Without a sensor the reading is dropped.
    m_acquisition->SetSensor(nullptr);
    m_acquisition->DeliverTemperature(22.0);
    EXPECT_EQ(m_sensor.Deliveries(), Deliveries{21.0});
    EXPECT_EQ(m_traces.Count(kAcquisitionTrace, 16), 1u);
}

TEST_F(ThermalAcquisition, SetReportInterval_TakesEffectAtTheWaitAfterTheNextTick)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    m_clock.AdvanceBy(500ms);
    m_acquisition->SetReportInterval(3000);
    EXPECT_EQ(m_acquisition->GetReportInterval(), 3000u);

    // The wait under way keeps its 1000 ms.
    m_clock.AdvanceBy(499ms);
    EXPECT_EQ(InterfaceReads(), 0u);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(InterfaceReads(), 1u);
    // The next one takes 3000 ms.
    m_clock.AdvanceBy(2999ms);
    EXPECT_EQ(InterfaceReads(), 1u);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(InterfaceReads(), 2u);
}

TEST_F(ThermalAcquisition, SetReportInterval_ReachesTheReporterAtItsNextTick)
{
    ASSERT_EQ(Start(), 1);  // the reporter alone (see above)
    m_acquisition->SetLatestTemperature(20.0);
    m_clock.AdvanceBy(1000ms);  // first tick: nothing delivered
    m_clock.AdvanceBy(500ms);
    m_acquisition->SetReportInterval(3000);
    m_sensor.TakeNewDeliveries();

    m_clock.AdvanceBy(500ms);  // the wait under way keeps its 1000 ms
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{20.0});
    m_clock.AdvanceBy(2999ms);
    EXPECT_TRUE(m_sensor.TakeNewDeliveries().empty());
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(m_sensor.TakeNewDeliveries(), Deliveries{20.0});
}

TEST_F(ThermalAcquisition, PowerSourceChange_DelaysTheNextReadingBy4000ms)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    sim::SetAcLineStatus(sim::kAcOffline);
    m_clock.RunUntilIdle();

    m_clock.AdvanceBy(1000ms);  // the tick: the collector holds off
    EXPECT_EQ(InterfaceReads(), 0u);
    m_clock.AdvanceBy(3999ms);
    EXPECT_EQ(InterfaceReads(), 0u);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(InterfaceReads(), 1u);
    EXPECT_EQ(Latest(), 40.0);
    // The change is consumed: the next reading is one interval later.
    m_clock.AdvanceBy(1000ms);
    EXPECT_EQ(InterfaceReads(), 2u);
}

TEST_F(ThermalAcquisition, PowerSourceChange_AStopDuringTheHoldOffEndsTheCollectorWithoutAReading)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    m_clock.AdvanceBy(1000ms);
    ASSERT_EQ(Latest(), 40.0);
    sim::SetAcLineStatus(sim::kAcOffline);
    m_clock.RunUntilIdle();
    m_clock.AdvanceBy(1000ms);  // holding off
    m_clock.AdvanceBy(1000ms);

    const auto before = m_clock.Elapsed();
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_clock.Elapsed(), before);  // at once
    EXPECT_EQ(InterfaceReads(), 1u);
    EXPECT_EQ(Latest(), kNoReading);
}

TEST_F(ThermalAcquisition, CollectorThread_StartedBeforeInitEndsAtOnceAndStoresNothing)
{
    m_acquisition->SetLatestTemperature(42.0);
    EXPECT_EQ(Start(), 1);
    m_clock.AdvanceBy(3000ms);
    EXPECT_EQ(Latest(), 42.0);
    EXPECT_EQ(InterfaceReads(), 0u);
    EXPECT_EQ(m_traces.Count(kCollectorTrace, 60), 1u);  // the error-level "not initialised"
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(Latest(), 42.0);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
}

// Thread start failures: the collector's result is ignored, the reporter's is returned, started is
// set either way, and the following stop releases what was made.
struct StartFault {
    const char* name;
    const char* point;
    int after;
    int result;
    bool collectorRuns;
    bool reporterRuns;
};

void PrintTo(const StartFault& fault, std::ostream* out)
{
    *out << fault.name;
}

class ThermalAcquisitionStartFault : public AcquisitionTest, public ::testing::WithParamInterface<StartFault> {};

TEST_P(ThermalAcquisitionStartFault, StartThreads_ReportsTheReporterAndRunsWhatStarted)
{
    const StartFault fault = GetParam();
    ASSERT_EQ(Init(), 1);
    FailCall(fault.point, 1, 0, fault.after);
    EXPECT_EQ(Start(), fault.result);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    m_acquisition->SetLatestTemperature(20.0);
    m_clock.AdvanceBy(2000ms);
    EXPECT_EQ(InterfaceReads(), fault.collectorRuns ? 2u : 0u);
    EXPECT_EQ(m_sensor.TakeNewDeliveries().empty(), !fault.reporterRuns);

    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_FALSE(NamedEventExists(kReporterEventName));

    // Nothing is left over: a later start runs both.
    EXPECT_EQ(Start(), 1);
    m_clock.AdvanceBy(1000ms);
    EXPECT_EQ(InterfaceReads(), fault.collectorRuns ? 3u : 1u);
}

const StartFault kStartFaults[] = {
    {"CollectorEvent", "CreateEventW", 0, 1, false, true},
    {"CollectorThread", "CreateThread", 0, 1, false, true},
    {"ReporterEvent", "CreateEventW", 1, 0, true, false},
    {"ReporterThread", "CreateThread", 1, 0, true, false},
};

INSTANTIATE_TEST_SUITE_P(ThermalAcquisition, ThermalAcquisitionStartFault, ::testing::ValuesIn(kStartFaults),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// The sensor side frees its sensors only once acquisition no longer counts as started, so a
// reporter that still delivers keeps it started.
TEST_F(ThermalAcquisition, StopThreads_WhenTheReporterCannotBeSignalledReturnsZeroAndStaysStarted)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    FailCall("SetEvent", 1, 0, 1);  // the collector's passes, the reporter's fails
    EXPECT_EQ(m_acquisition->StopThreads(), 0);
    EXPECT_EQ(m_traces.Count(kReporterTrace, 14), 1u);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_TRUE(NamedEventExists(kReporterEventName));

    // The reporter runs on with its handles until a stop succeeds.
    m_acquisition->SetLatestTemperature(20.0);
    m_clock.AdvanceBy(2000ms);
    EXPECT_FALSE(m_sensor.TakeNewDeliveries().empty());
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_FALSE(NamedEventExists(kReporterEventName));
}

// The sensor side deinitialises before it stops the threads. The deinit must not release the maps
// or WMI under a read: it stops and joins the threads first.
TEST_F(ThermalAcquisition, DeinitAcquisition_WhileAReadIsUnderWayWaitsForItBeforeReleasing)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_GT(sim::LiveWmiObjects(), 0u);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(sim::HoldProbeRequests(sim::Probe::kInterface));
    m_clock.AdvanceBy(1000ms);
    ASSERT_EQ(sim::HeldProbeRequests(sim::Probe::kInterface), 1u);

    CallThread deinit([this] { return m_acquisition->DeinitAcquisition(); });
    m_clock.RunUntilIdle();
    EXPECT_FALSE(deinit.Done());
    EXPECT_GT(sim::LiveWmiObjects(), 0u);

    ASSERT_TRUE(sim::ReleaseProbeRequests(sim::Probe::kInterface));
    deinit.Join();
    EXPECT_EQ(deinit.Result(), 1);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_EQ(Latest(), kNoReading);
    EXPECT_EQ(m_sensor.Deliveries().back(), kNoReading);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));

    // The sensor side's StopThreads then finds nothing to stop.
    EXPECT_EQ(m_acquisition->StopThreads(), 1);
    m_clock.AdvanceBy(5000ms);
    EXPECT_EQ(InterfaceReads(), 1u);
}

// A second start of the sensor side without a stop initialises again while the collector may be
// reading: the maps and WMI are loaded again only once it has ended.
TEST_F(ThermalAcquisition, InitAcquisition_WhileAReadIsUnderWayWaitsForItBeforeReloading)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    ASSERT_TRUE(sim::HoldProbeRequests(sim::Probe::kInterface));
    m_clock.AdvanceBy(1000ms);
    ASSERT_EQ(sim::HeldProbeRequests(sim::Probe::kInterface), 1u);

    platform::testing::VirtualClock::SetReadStep(1ms);  // the reload's settling wait
    CallThread init([this] { return m_acquisition->InitAcquisition(); });
    m_clock.RunUntilIdle();
    EXPECT_FALSE(init.Done());

    ASSERT_TRUE(sim::ReleaseProbeRequests(sim::Probe::kInterface));
    init.Join();
    platform::testing::VirtualClock::SetReadStep(0ns);
    EXPECT_EQ(init.Result(), 1);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_EQ(Latest(), kNoReading);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_GT(sim::LiveWmiObjects(), 0u);
}

TEST_F(ThermalAcquisition, DeinitAcquisition_KeepsMapsAndWmiWhileTheCollectorCannotBeStopped)
{
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    FailCall("SetEvent");  // the collector's stop fails
    EXPECT_EQ(m_acquisition->DeinitAcquisition(), 0);
    EXPECT_GT(sim::LiveWmiObjects(), 0u);

    // The collector still reads through its maps.
    m_clock.AdvanceBy(1000ms);
    EXPECT_EQ(Latest(), 40.0);
    // The first deinit stopped the notifier, so this one reports 0 for it.
    EXPECT_EQ(m_acquisition->DeinitAcquisition(), 0);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
    EXPECT_EQ(Latest(), kNoReading);
}

// Each cycle stops while the collector is inside a read on a slow device: the stop waits for the
// read, and nothing is left behind.
TEST_F(ThermalAcquisition, StartStop_200CyclesWithAReadInProgress)
{
    ASSERT_EQ(Init(), 1);
    m_acquisition->SetReportInterval(100);
    for (int cycle = 0; cycle < 200; ++cycle) {
        SCOPED_TRACE(cycle);
        ASSERT_TRUE(sim::HoldProbeRequests(sim::Probe::kInterface));
        ASSERT_EQ(Start(), 1);
        m_clock.AdvanceBy(100ms);
        ASSERT_EQ(sim::HeldProbeRequests(sim::Probe::kInterface), 1u);

        CallThread stop([this] { return m_acquisition->StopThreads(); });
        m_clock.RunUntilIdle();
        EXPECT_FALSE(stop.Done());
        ASSERT_TRUE(sim::ReleaseProbeRequests(sim::Probe::kInterface));
        stop.Join();
        ASSERT_EQ(stop.Result(), 1);
        ASSERT_EQ(Latest(), kNoReading);
        ASSERT_EQ(m_acquisition->IsStarted(), 0);
    }
    EXPECT_EQ(InterfaceReads(), 200u);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_FALSE(NamedEventExists(kReporterEventName));
    EXPECT_EQ(sim::ProbeOpenHandleCount(sim::Probe::kInterface), 1u);
    EXPECT_EQ(m_acquisition->DeinitAcquisition(), 1);
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
}

TEST_F(ThermalAcquisition, Destructor_StopsThreadsStillRunning)
{
    ScopedTestMode testMode;  // no WMI connection to release
    ASSERT_EQ(Init(), 1);
    ASSERT_EQ(Start(), 1);
    m_clock.AdvanceBy(1000ms);
    ASSERT_EQ(Latest(), -8.8);
    m_acquisition.reset();
    EXPECT_EQ(m_sensor.Deliveries().back(), kNoReading);
    EXPECT_FALSE(NamedEventExists(kCollectorEventName));
    EXPECT_FALSE(NamedEventExists(kReporterEventName));
    m_acquisition = MakeSettled<CThermalAcquisition>();
}

}  // namespace
