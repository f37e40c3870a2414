// The driver host's device lifecycle with a driver object made in the test: the order of the
// callbacks, what a failing callback does to the rest, and steps asked for in the wrong state.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/driver_host.h"
#include "host_test_doubles.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "support/com_test_kit.h"

namespace {

using platform::ComPtr;
using platform::host::DeviceState;
using platform::host::DriverHost;
using platform::host::HostStep;
using platform::host::RecordKind;
using platform::host::ToString;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// "Name(arguments)" of each callback, without the interface.
std::vector<std::string> Callbacks(const DriverHost& host)
{
    std::vector<std::string> calls;
    for (const auto& entry : host.Record().Entries(RecordKind::kCallback)) {
        calls.push_back(entry.name.substr(entry.name.find("::") + 2) +
                        (entry.arguments.empty() ? "" : "(" + entry.arguments + ")"));
    }
    return calls;
}

class HostLifecycle : public ::testing::Test {
protected:
    HostLifecycle()
    {
        m_callbacks = host_test::MakeCallbacks();
        m_callbacks->queueCallback = host_test::MakeCompletingQueueCallback();
        m_driver = ComPtr<host_test::FakeDriverEntry>(new host_test::FakeDriverEntry(m_callbacks));
    }

    // Initialises the driver and adds its device; the record then starts empty.
    void AddDevice()
    {
        ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
        const HostStep step = m_host.AddDevice();
        ASSERT_TRUE(step.ok()) << step.message;
        m_host.Record().Clear();
    }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    ComPtr<host_test::FakeDeviceCallbacks> m_callbacks;
    ComPtr<host_test::FakeDriverEntry> m_driver;
    DriverHost m_host;
};

TEST_F(HostLifecycle, StateObserver_HearsEachChangeWithTheStateBeforeAndThePowerState)
{
    std::vector<std::string> heard;  // the steps run on this thread, one at a time
    m_host.SetStateObserver([&heard](DeviceState previous, DeviceState state, WDF_POWER_DEVICE_STATE power) {
        heard.push_back(std::string(ToString(previous)) + " -> " + ToString(state) + " (" + std::to_string(power) +
                        ")");
    });
    ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
    ASSERT_TRUE(m_host.AddDevice().ok());
    ASSERT_TRUE(m_host.Start().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    ASSERT_TRUE(m_host.Resume().ok());
    ASSERT_TRUE(m_host.Unload().ok());
    EXPECT_THAT(heard,
                ElementsAre("not added -> added (5)", "added -> working (1)", "working -> in low power (4)",
                            "in low power -> working (1)", "working -> removed (5)", "removed -> not added (5)"));
}

TEST_F(HostLifecycle, StartThenRemove_CallsTheDeviceInOrder)
{
    ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
    ASSERT_TRUE(m_host.AddDevice().ok());
    ASSERT_TRUE(m_host.Start().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD0);
    ASSERT_TRUE(m_host.Remove().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    ASSERT_TRUE(m_host.Unload().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kNone);

    EXPECT_THAT(Callbacks(m_host),
                ElementsAre("OnInitialize", "OnDeviceAdd", "OnPrepareHardware", "OnD0Entry(previousState=5)",
                            "OnSelfManagedIoInit", "OnSelfManagedIoSuspend", "OnD0Exit(targetState=5)",
                            "OnSelfManagedIoFlush", "OnSelfManagedIoCleanup", "OnReleaseHardware", "OnDeinitialize"));
    EXPECT_THAT(
        m_host.Record().Names(RecordKind::kDriverCall),
        ElementsAre("IWDFDeviceInitialize::SetLockingConstraint", "IWDFDeviceInitialize::SetPowerPolicyOwnership",
                    "IWDFDriver::CreateDevice", "IWDFDevice::CreateIoQueue"));
    EXPECT_EQ(m_host.Record().Named("IWDFDriver::CreateDevice")[0].result,
              "S_OK callbacks=IPnpCallback,IPnpCallbackHardware,IPnpCallbackSelfManagedIo,IFileCallbackCleanup");
    // The host let go of everything of the driver.
    EXPECT_EQ(test_support::RefCount(m_callbacks->GetUnknown()), 2u);  // ours and the driver object's
    EXPECT_EQ(test_support::RefCount(m_driver->GetUnknown()), 1u);
}

TEST_F(HostLifecycle, SuspendAndResume_PassTheLowPowerState)
{
    AddDevice();
    ASSERT_TRUE(m_host.Start().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD2).ok());
    EXPECT_EQ(m_host.State(), DeviceState::kLowPower);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD2);
    ASSERT_TRUE(m_host.Resume().ok());
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD0);
    EXPECT_THAT(Callbacks(m_host), ElementsAre("OnPrepareHardware", "OnD0Entry(previousState=5)", "OnSelfManagedIoInit",
                                               "OnSelfManagedIoSuspend", "OnD0Exit(targetState=3)",
                                               "OnD0Entry(previousState=3)", "OnSelfManagedIoRestart"));
    EXPECT_EQ(m_host.Suspend(WdfPowerDeviceD3Final).status, E_INVALIDARG);
}

TEST_F(HostLifecycle, SurpriseRemove_FromLowPowerSkipsTheWayOutOfD0)
{
    AddDevice();
    ASSERT_TRUE(m_host.Start().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    m_host.Record().Clear();
    ASSERT_TRUE(m_host.SurpriseRemove().ok());
    EXPECT_THAT(Callbacks(m_host), ElementsAre("OnSurpriseRemoval", "OnSelfManagedIoFlush", "OnSelfManagedIoCleanup",
                                               "OnReleaseHardware"));
}

TEST_F(HostLifecycle, FailedPrepareHardware_IsFollowedByReleaseHardware)
{
    m_callbacks->prepareResult = E_FAIL;
    AddDevice();
    const HostStep step = m_host.Start();
    EXPECT_EQ(step.status, E_FAIL);
    EXPECT_EQ(step.message,
              "the driver's OnPrepareHardware failed with E_FAIL (0x80004005); the host released the "
              "hardware");
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    EXPECT_THAT(Callbacks(m_host), ElementsAre("OnPrepareHardware", "OnReleaseHardware"));
    EXPECT_EQ(m_host.Start().status, E_UNEXPECTED);
}

TEST_F(HostLifecycle, FailedSelfManagedIoInit_RemovesTheDevice)
{
    m_callbacks->selfManagedIoInitResult = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);
    AddDevice();
    const HostStep step = m_host.Start();
    EXPECT_EQ(step.status, HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS));
    EXPECT_THAT(step.message, HasSubstr("OnSelfManagedIoInit failed with ERROR_SHUTDOWN_IN_PROGRESS (0x8007045B)"));
    EXPECT_THAT(Callbacks(m_host), ElementsAre("OnPrepareHardware", "OnD0Entry(previousState=5)", "OnSelfManagedIoInit",
                                               "OnSelfManagedIoSuspend", "OnD0Exit(targetState=5)",
                                               "OnSelfManagedIoFlush", "OnSelfManagedIoCleanup", "OnReleaseHardware"));
}

TEST_F(HostLifecycle, FailedDeviceAdd_IsReportedAndLeavesNoDevice)
{
    m_driver->deviceAddResult = E_NOTIMPL;
    ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
    const HostStep step = m_host.AddDevice();
    EXPECT_EQ(step.status, E_NOTIMPL);
    EXPECT_EQ(step.message, "the driver's OnDeviceAdd failed with E_NOTIMPL (0x80004001); no device was added");
    EXPECT_EQ(m_host.Device(), nullptr);
    EXPECT_EQ(m_host.State(), DeviceState::kNone);
    // The device it made before failing is gone with its hold on the driver's callback object.
    EXPECT_EQ(test_support::RefCount(m_callbacks->GetUnknown()), 2u);
    EXPECT_EQ(m_host.Start().status, E_UNEXPECTED);
}

TEST_F(HostLifecycle, DeviceAddWithoutADevice_IsReported)
{
    m_driver->createDevice = false;
    ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
    const HostStep step = m_host.AddDevice();
    EXPECT_EQ(step.status, E_UNEXPECTED);
    EXPECT_THAT(step.message, HasSubstr("returned S_OK without creating a device"));
}

TEST_F(HostLifecycle, CreateDevice_RefusesADeviceLevelLockingConstraint)
{
    m_driver->lockingConstraint = WdfDeviceLevel;
    ASSERT_TRUE(m_host.UseDriver(m_driver.Get()).ok());
    EXPECT_EQ(m_host.AddDevice().status, E_NOTIMPL);
    EXPECT_EQ(m_driver->createDeviceResult, E_NOTIMPL);
}

TEST_F(HostLifecycle, FailedInitialize_LeavesNoDriver)
{
    m_driver->initializeResult = E_FAIL;
    const HostStep step = m_host.UseDriver(m_driver.Get());
    EXPECT_EQ(step.status, E_FAIL);
    EXPECT_THAT(step.message, HasSubstr("OnInitialize failed with E_FAIL"));
    EXPECT_EQ(m_host.AddDevice().status, E_UNEXPECTED);
    EXPECT_EQ(test_support::RefCount(m_driver->GetUnknown()), 1u);
}

TEST_F(HostLifecycle, Steps_InTheWrongStateAreRefused)
{
    EXPECT_EQ(m_host.Start().status, E_UNEXPECTED);
    AddDevice();
    EXPECT_EQ(m_host.Resume().status, E_UNEXPECTED);
    EXPECT_EQ(m_host.Suspend(WdfPowerDeviceD3).status, E_UNEXPECTED);
    EXPECT_EQ(m_host.SurpriseRemove().status, E_UNEXPECTED);
    EXPECT_EQ(m_host.AddDevice().status, E_UNEXPECTED);
    const HostStep step = m_host.Resume();
    EXPECT_EQ(step.message, "Resume is not possible while the device is added");
    ASSERT_TRUE(m_host.Remove().ok());  // never started: nothing to call
    EXPECT_THAT(Callbacks(m_host), IsEmpty());
}

TEST_F(HostLifecycle, Io_GoesThroughTheDefaultQueueWhileTheDeviceIsUp)
{
    AddDevice();
    ComPtr<platform::host::CHostFile> file;
    ASSERT_TRUE(m_host.Start().ok());
    ASSERT_EQ(m_host.OpenFile(platform::host::FileAccess::kRead, &file), S_OK);
    EXPECT_EQ(m_host.DeviceIoControl(file.Get(), 0x00222400, {}, 0).status, S_OK);
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    EXPECT_EQ(m_host.DeviceIoControl(file.Get(), 0x00222400, {}, 0).status, S_OK);  // not power managed
    EXPECT_EQ(m_host.CloseFile(file.Get()), S_OK);
    EXPECT_EQ(m_callbacks->cleanups.load(), 1);

    ASSERT_TRUE(m_host.Unload().ok());
    EXPECT_EQ(m_host.OpenFile(platform::host::FileAccess::kRead, &file),
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(m_host.DeviceIoControl(file.Get(), 0x00222400, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
}

}  // namespace
