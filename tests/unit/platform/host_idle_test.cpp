// The host's idle policy with a driver object made in the test: when the device idles and comes
// back, what the user idle setting does, and how the host's own steps meet an idle device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/driver_host.h"
#include "host_test_doubles.h"
#include "platform_testing/virtual_clock.h"
#include "support/call_thread.h"

namespace {

using namespace std::chrono_literals;
using platform::ComPtr;
using platform::host::CHostFile;
using platform::host::DeviceState;
using platform::host::DriverHost;
using platform::host::FileAccess;
using platform::host::RecordKind;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS kIdleToD2{
    32, IdleCannotWakeFromS0, PowerDeviceD2, 100, IdleAllowUserControl, WdfFalse, WdfFalse, SystemManagedIdleTimeout};

class HostIdle : public ::testing::Test {
protected:
    HostIdle()
    {
        m_callbacks = host_test::MakeCallbacks();
        m_callbacks->queueCallback = host_test::MakeCompletingQueueCallback();
        m_driver = ComPtr<host_test::FakeDriverEntry>(new host_test::FakeDriverEntry(m_callbacks));
        m_driver->idleSettings = kIdleToD2;
    }

    // Starts the device; the record then starts empty.
    void Start()
    {
        ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
        ASSERT_TRUE(m_host.AddDevice().ok());
        ASSERT_TRUE(m_host.Start().ok());
        m_host.Record().Clear();
    }

    void StartAndIdle()
    {
        Start();
        m_clock.AdvanceBy(100ms);
        ASSERT_EQ(m_host.State(), DeviceState::kIdle);
        m_host.Record().Clear();
    }

    // "Name(arguments)" of each callback and of each idle change, in order.
    std::vector<std::string> Calls() const
    {
        std::vector<std::string> calls;
        for (const auto& entry : m_host.Record().Entries()) {
            const bool idleChange = entry.kind == RecordKind::kHostEvent && entry.name.rfind("Idle", 0) == 0;
            if (entry.kind != RecordKind::kCallback && !idleChange) continue;
            const auto colons = entry.name.find("::");
            calls.push_back((colons == std::string::npos ? entry.name : entry.name.substr(colons + 2)) + "(" +
                            entry.arguments + ")");
        }
        return calls;
    }

    std::vector<std::string> DriverErrors() const
    {
        std::vector<std::string> errors;
        for (const auto& entry : m_host.Record().Entries(RecordKind::kDriverError)) {
            errors.push_back(entry.name + ": " + entry.result);
        }
        return errors;
    }

    platform::testing::ScopedVirtualClock m_clock;
    ComPtr<host_test::FakeDeviceCallbacks> m_callbacks;
    ComPtr<host_test::FakeDriverEntry> m_driver;
    DriverHost m_host;  // declared last: unloaded first, while the clock and the driver are there
};

TEST_F(HostIdle, WorkingWithoutAReference_IdlesAfterTheTimeoutAndNotBefore)
{
    Start();
    m_clock.AdvanceBy(99ms);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_THAT(Calls(), IsEmpty());

    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD2);
    EXPECT_THAT(Calls(), ElementsAre("IdlePowerDown(targetState=3)", "OnSelfManagedIoSuspend()",
                                     "OnD0Exit(targetState=3)"));
    EXPECT_EQ(m_host.Record().Named("IdlePowerDown")[0].result, "S_OK");
}

TEST_F(HostIdle, StopIdleFalse_BringsTheDeviceBackAndAReferenceKeepsItThere)
{
    StartAndIdle();
    m_host.Device()->StopIdle(FALSE);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_THAT(Calls(), ElementsAre("IdlePowerUp(previousState=3)", "OnD0Entry(previousState=3)",
                                     "OnSelfManagedIoRestart()"));

    m_clock.AdvanceBy(10s);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);

    // The timeout counts from the moment the last reference goes.
    m_host.Device()->ResumeIdle();
    m_clock.AdvanceBy(99ms);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    m_clock.AdvanceBy(1ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_THAT(DriverErrors(), IsEmpty());
}

// A reference that comes while the idle timeout counts does not keep the device in D0 as it is: the
// driver let it idle, so the host completes the power-down and brings it back, and the driver sees
// the exit from D0 and the return it relies on, however soon the reference came. StopIdle(TRUE)
// returns once the device is back.
TEST_F(HostIdle, ReferenceWhileTheTimeoutCounts_CompletesThePowerDownAndComesBack)
{
    const std::vector<std::string> cycle{"IdlePowerDown(targetState=3)", "OnSelfManagedIoSuspend()",
                                         "OnD0Exit(targetState=3)",      "IdlePowerUp(previousState=3)",
                                         "OnD0Entry(previousState=3)",   "OnSelfManagedIoRestart()"};
    Start();
    for (const BOOL waitForD0 : {FALSE, TRUE}) {
        SCOPED_TRACE(waitForD0 ? "StopIdle(TRUE)" : "StopIdle(FALSE)");
        m_clock.AdvanceBy(99ms);
        test_support::CallThread client([this, waitForD0] {
            m_host.Device()->StopIdle(waitForD0);
            return static_cast<int>(m_host.State());
        });
        client.Join();
        m_clock.RunUntilIdle();
        if (waitForD0) {
            EXPECT_EQ(client.Result(), static_cast<int>(DeviceState::kWorking));
        }
        m_clock.AdvanceBy(1s);  // from then on the reference holds the device in D0
        EXPECT_EQ(m_host.State(), DeviceState::kWorking);
        EXPECT_EQ(Calls(), cycle);
        m_host.Record().Clear();
        m_host.Device()->ResumeIdle();
    }
    EXPECT_THAT(DriverErrors(), IsEmpty());
}

TEST_F(HostIdle, StopIdleFalseDuringThePowerDown_DoesNotWaitAndTheDeviceComesStraightBack)
{
    // Called on the thread making the power change: a wait for D0 there would never end.
    m_callbacks->onD0Exit = [](IWDFDevice* device) {
        ComPtr<IWDFDevice2> device2;
        ASSERT_EQ(ComPtr<IWDFDevice>(device).As(&device2), S_OK);
        device2->StopIdle(FALSE);
    };
    Start();
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_THAT(Calls(), ElementsAre("IdlePowerDown(targetState=3)", "OnSelfManagedIoSuspend()",
                                     "OnD0Exit(targetState=3)", "IdlePowerUp(previousState=3)",
                                     "OnD0Entry(previousState=3)", "OnSelfManagedIoRestart()"));
}

TEST_F(HostIdle, StopIdleTrue_WaitsForD0ButNotOnThePowerChangesOwnThread)
{
    m_callbacks->onD0Entry = [](IWDFDevice* device) {
        ComPtr<IWDFDevice2> device2;
        ASSERT_EQ(ComPtr<IWDFDevice>(device).As(&device2), S_OK);
        device2->StopIdle(TRUE);
        device2->ResumeIdle();
    };
    StartAndIdle();
    test_support::CallThread waiter([this] {
        m_host.Device()->StopIdle(TRUE);
        return static_cast<int>(m_host.State());
    });
    waiter.Join();
    EXPECT_EQ(waiter.Result(), static_cast<int>(DeviceState::kWorking));
    EXPECT_THAT(DriverErrors(), ElementsAre(HasSubstr("IWDFDevice2::StopIdle: called on the thread of a power change")));
}

TEST_F(HostIdle, UserIdleSetting_OffNeverIdlesAndWakesAnIdleDevice)
{
    StartAndIdle();
    m_host.SetUserIdleEnabled(false);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    m_clock.AdvanceBy(1h);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);

    m_host.SetUserIdleEnabled(true);
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
}

TEST_F(HostIdle, UserIdleSetting_OffBeforeTheDeviceIsAdded_HoldsForIt)
{
    m_host.SetUserIdleEnabled(false);
    Start();
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
}

TEST_F(HostIdle, SettingsWithoutUserControl_FollowEnabled)
{
    m_driver->idleSettings->UserControlOfIdleSettings = IdleDoNotAllowUserControl;
    Start();
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);

    auto settings = kIdleToD2;
    settings.UserControlOfIdleSettings = IdleDoNotAllowUserControl;
    settings.Enabled = WdfTrue;
    settings.DxState = PowerDeviceD3;
    ASSERT_EQ(m_host.Device()->AssignS0IdleSettingsEx(&settings), S_OK);
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD3);
}

TEST_F(HostIdle, SettingsOutsideTheirValues_AreRefusedAndTheOldOnesHold)
{
    Start();
    const auto refused = [this](auto change) {
        auto settings = kIdleToD2;
        change(settings);
        return m_host.Device()->AssignS0IdleSettingsEx(&settings) == E_INVALIDARG;
    };
    EXPECT_TRUE(refused([](auto& s) { s.DxState = PowerDeviceD0; }));
    EXPECT_TRUE(refused([](auto& s) { s.DxState = static_cast<DEVICE_POWER_STATE>(5); }));
    EXPECT_TRUE(refused([](auto& s) { s.IdleCaps = IdleCapsInvalid; }));
    EXPECT_TRUE(refused([](auto& s) { s.UserControlOfIdleSettings = IdleUserControlInvalid; }));
    EXPECT_TRUE(refused([](auto& s) { s.Enabled = static_cast<WDF_TRI_STATE>(3); }));
    EXPECT_TRUE(refused([](auto& s) { s.IdleTimeoutType = static_cast<WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE>(3); }));
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD2);
}

TEST_F(HostIdle, ResumeIdleWithoutAReference_IsADriverErrorAndTheCountStaysAtZero)
{
    Start();
    m_host.Device()->ResumeIdle();
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 0);
    EXPECT_THAT(DriverErrors(), ElementsAre(HasSubstr("IWDFDevice2::ResumeIdle: no power reference")));
    m_host.Device()->StopIdle(FALSE);
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);  // the one reference still counts
}

TEST_F(HostIdle, RequestsWhileIdle_AreServedWithoutWakingTheDevice)
{
    StartAndIdle();
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host.OpenFile(FileAccess::kReadWrite, &file), S_OK);
    EXPECT_EQ(m_host.DeviceIoControl(file.Get(), 0x00222400, {}, 0).status, S_OK);
    EXPECT_EQ(m_host.CloseFile(file.Get()), S_OK);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
}

TEST_F(HostIdle, RemovalWhileIdle_SkipsTheExitFromD0)
{
    StartAndIdle();
    ASSERT_TRUE(m_host.SurpriseRemove().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    EXPECT_THAT(Calls(), ElementsAre("OnSurpriseRemoval()", "OnSelfManagedIoFlush()", "OnSelfManagedIoCleanup()",
                                     "OnReleaseHardware()"));
    // A late reference of the driver moves nothing any more.
    m_host.Device()->StopIdle(FALSE);
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    ASSERT_TRUE(m_host.Unload().ok());
}

TEST_F(HostIdle, SuspendWhileIdle_StaysInTheIdleStateAndResumeBringsItBack)
{
    StartAndIdle();
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    EXPECT_EQ(m_host.State(), DeviceState::kLowPower);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD2);
    m_host.Device()->StopIdle(FALSE);  // the host's suspend holds; no return to D0 now
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(m_host.State(), DeviceState::kLowPower);

    ASSERT_TRUE(m_host.Resume().ok());
    m_host.Device()->ResumeIdle();
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_THAT(Calls(), ElementsAre("OnD0Entry(previousState=3)", "OnSelfManagedIoRestart()",
                                     "IdlePowerDown(targetState=3)", "OnSelfManagedIoSuspend()",
                                     "OnD0Exit(targetState=3)"));
}

TEST_F(HostIdle, FailedReturnFromIdle_LeavesTheDeviceInLowPowerForResume)
{
    StartAndIdle();
    m_callbacks->d0EntryResult = E_FAIL;
    m_host.Device()->StopIdle(FALSE);
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_host.State(), DeviceState::kLowPower);
    EXPECT_THAT(m_host.Record().Named("IdlePowerUp")[0].result, HasSubstr("OnD0Entry(3) failed with E_FAIL"));
    m_callbacks->d0EntryResult = S_OK;
    ASSERT_TRUE(m_host.Resume().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
}

TEST_F(HostIdle, ReferencesFromManyThreadsWhileTheDeviceIdlesAndWakes_EndConsistent)
{
    Start();
    std::vector<std::unique_ptr<test_support::CallThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::make_unique<test_support::CallThread>([this] {
            const ComPtr<platform::host::CHostDevice> device = m_host.Device();
            for (int i = 0; i < 50; ++i) {
                device->StopIdle(FALSE);
                device->ResumeIdle();
            }
            return 0;
        }));
    }
    for (int step = 0; step < 20; ++step) m_clock.AdvanceBy(50ms);
    for (auto& thread : threads) thread->Join();
    m_clock.AdvanceBy(100ms);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 0);
    EXPECT_THAT(DriverErrors(), IsEmpty());
    // Every power-down was followed by a power-up before the next one.
    const auto downs = m_host.Record().Count("IdlePowerDown");
    EXPECT_EQ(m_host.Record().Count("IdlePowerUp"), downs - 1);
    ASSERT_TRUE(m_host.Remove().ok());
}

}  // namespace
