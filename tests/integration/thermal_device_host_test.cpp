// The real module's device driven through the host: the order of every callback and of every
// call the driver makes into the host, the idle settings of device add, the probe channels and
// the test-mode switch, and unload with nothing left.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaded_module_fixture.h"
#include "sim/device_tree.h"
#include "sim/probe_devices.h"
#include "sim/registry.h"
#include "support/call_thread.h"

namespace {

using namespace std::chrono_literals;
using platform::host::DeviceState;
using platform::host::HostStep;
using platform::host::RecordKind;
using ::testing::ElementsAre;

// "Method(arguments) -> result" of each plug-and-play callback, in order.
std::vector<std::string> PnpCallbacks(const platform::host::HostRecord& record)
{
    std::vector<std::string> lines;
    for (const auto& entry : record.Entries(RecordKind::kCallback)) {
        if (entry.name.rfind("IPnp", 0) != 0) continue;
        lines.push_back(entry.name.substr(entry.name.find("::") + 2) + "(" + entry.arguments + ") -> " + entry.result);
    }
    return lines;
}

std::uint32_t ProbeOpens()
{
    return sim::DeviceOpenCount(sim::ProbeInstanceId(sim::Probe::kFixedPath)) +
           sim::DeviceOpenCount(sim::ProbeInstanceId(sim::Probe::kInterface));
}

class ThermalDeviceHost : public integration::DriverHostTest {
protected:
    ThermalDeviceHost()
    {
        sim::ResetRegistry();
        sim::InstallProbes();
    }
    void EnableTestMode()
    {
        sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure", u"TestMode",
                               u"ENABLE");
    }

    // A return from low power starts acquisition, whose map reload busy-waits on the clock.
    HostStep ResumeAdvancingTheClock()
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        HostStep step = m_host.Resume();
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        return step;
    }

    ~ThermalDeviceHost() override
    {
        sim::ResetDeviceTree();
        sim::ResetRegistry();
    }
};

TEST_F(ThermalDeviceHost, DeviceAddSetsThePowerPolicyAndTheIdleSettings)
{
    ASSERT_TRUE(Load().ok());
    m_host.Record().Clear();
    ASSERT_TRUE(m_host.AddDevice().ok());
    EXPECT_THAT(m_host.Record().Names(RecordKind::kDriverCall),
                ElementsAre("IWDFDeviceInitialize::SetLockingConstraint",
                            "IWDFDeviceInitialize::SetPowerPolicyOwnership", "IWDFDriver::CreateDevice",
                            "IWDFDevice3::AssignS0IdleSettingsEx"));
    const auto settings = m_host.Record().LastIdleSettings();
    ASSERT_TRUE(settings.has_value());
    EXPECT_EQ(settings->Size, 32u);
    EXPECT_EQ(settings->IdleCaps, IdleCannotWakeFromS0);
    EXPECT_EQ(settings->DxState, PowerDeviceD3);
    EXPECT_EQ(settings->IdleTimeout, 100u);
    EXPECT_EQ(settings->UserControlOfIdleSettings, IdleAllowUserControl);
    EXPECT_EQ(settings->Enabled, WdfFalse);
    EXPECT_EQ(settings->PowerUpIdleDeviceOnSystemWake, WdfFalse);
    EXPECT_EQ(settings->IdleTimeoutType, SystemManagedIdleTimeout);
    EXPECT_TRUE(m_host.Record().Entries(RecordKind::kDriverError).empty());
}

TEST_F(ThermalDeviceHost, DeviceAddReturnsTheFirstFailureAndLeavesNoObject)
{
    ASSERT_TRUE(Load().ok());
    platform::testing::FailCall("IWDFDriver::CreateDevice");
    const HostStep added = m_host.AddDevice();
    EXPECT_EQ(added.status, E_OUTOFMEMORY) << added.message;
    EXPECT_EQ(m_host.Record().Count("IWDFDevice3::AssignS0IdleSettingsEx"), 0u);
    ASSERT_TRUE(Unload().ok());
    EXPECT_EQ(m_host.Record().Named("DllCanUnloadNow").back().result, "S_OK");
}

TEST_F(ThermalDeviceHost, WholeLifeInOrder)
{
    // In test mode: the probe channels' process-wide objects, once made, outlive an unload of the
    // module (the unit tests cover opening and closing them).
    EnableTestMode();
    ASSERT_TRUE(LoadAndStart().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    ASSERT_TRUE(ResumeAdvancingTheClock().ok());
    // Once torn down, the device refuses the host's suspend on the way out; the host carries on.
    const HostStep removed = m_host.SurpriseRemove();
    EXPECT_EQ(removed.status, HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS)) << removed.message;
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    const HostStep unloaded = Unload();
    ASSERT_TRUE(unloaded.ok()) << unloaded.message;
    EXPECT_EQ(m_host.State(), DeviceState::kNone);

    EXPECT_THAT(PnpCallbacks(m_host.Record()),
                ElementsAre("OnPrepareHardware() -> S_OK", "OnD0Entry(previousState=5) -> S_OK",
                            "OnSelfManagedIoInit() -> S_OK", "OnSelfManagedIoSuspend() -> S_OK",
                            "OnD0Exit(targetState=4) -> S_OK", "OnD0Entry(previousState=4) -> S_OK",
                            "OnSelfManagedIoRestart() -> S_OK", "OnSurpriseRemoval() -> ",
                            "OnSelfManagedIoSuspend() -> ERROR_SHUTDOWN_IN_PROGRESS (0x8007045B)",
                            "OnD0Exit(targetState=5) -> ERROR_SHUTDOWN_IN_PROGRESS (0x8007045B)",
                            "OnSelfManagedIoFlush() -> ", "OnSelfManagedIoCleanup() -> ",
                            "OnReleaseHardware() -> S_OK"));
    EXPECT_EQ(m_host.Record().Named("DllCanUnloadNow").back().result, "S_OK");
    EXPECT_TRUE(m_host.Record().Entries(RecordKind::kDriverError).empty());
}

// The collector thread waits inside a probe request that never completes. The removal cancels it,
// so the driver's stop, which waits for that thread, ends and the device is released.
TEST_F(ThermalDeviceHost, SurpriseRemovalCompletesWhileAProbeRequestHangs)
{
    m_host.SetUserIdleEnabled(false);  // acquisition runs until the removal
    ASSERT_TRUE(LoadAndStart().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    ASSERT_TRUE(ResumeAdvancingTheClock().ok());
    ASSERT_TRUE(sim::HoldProbeRequests(sim::Probe::kInterface));
    m_clock.AdvanceBy(1000ms);
    ASSERT_EQ(sim::HeldProbeRequests(sim::Probe::kInterface), 1u);

    test_support::CallThread removal([this] { return static_cast<int>(m_host.SurpriseRemove().status); });
    m_clock.RunUntilIdle();
    const bool completed = removal.Done();
    EXPECT_TRUE(completed) << "the removal waits for the probe request";
    if (!completed) sim::ReleaseProbeRequests(sim::Probe::kInterface);
    removal.Join();
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    EXPECT_EQ(sim::HeldProbeRequests(sim::Probe::kInterface), 0u);
    EXPECT_EQ(sim::ProbeOpenHandleCount(sim::Probe::kInterface), 0u);
    EXPECT_EQ(PnpCallbacks(m_host.Record()).back(), "OnReleaseHardware() -> S_OK");
}

TEST_F(ThermalDeviceHost, TestModeLeavesTheProbesClosed)
{
    EnableTestMode();
    ASSERT_TRUE(LoadAndStart().ok());
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    ASSERT_TRUE(ResumeAdvancingTheClock().ok());
    ASSERT_TRUE(Unload().ok());
    EXPECT_EQ(ProbeOpens(), 0u);
    EXPECT_EQ(m_host.Record().Named("DllCanUnloadNow").back().result, "S_OK");
}

}  // namespace
