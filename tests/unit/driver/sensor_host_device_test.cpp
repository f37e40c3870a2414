// The sensor manager on the host's own device object (its named property store kept in the state
// directory, its device interfaces) and on the platform's sensor class extension.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/host_device.h"
#include "platform_testing/sensor_class_extension.h"
#include "sensor_test_kit.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

using namespace sensor_test;
using platform::host::CHostDevice;
using platform::host::RecordKind;

// In test mode on a virtual clock, with an acquisition object of its own.
class SensorManagerOnHostDevice : public ::testing::Test {
protected:
    ~SensorManagerOnHostDevice() override
    {
        sim::ClearStateDirectory();
        platform::testing::RestoreBuiltinClasses();
    }

    // One life of the device: a new host device on the state directory, a bound and started
    // manager, the body, then stop, release and the host's verdict.
    template <class Body>
    void RunDevice(Body body)
    {
        ComPtr<CHostDevice> device;
        ASSERT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
        CSensorManager* raw = nullptr;
        ASSERT_EQ(CSensorManager::CreateInstance(m_acquisition.get(), &raw), S_OK);
        ComPtr<CSensorManager> manager;
        manager.Attach(raw);
        ASSERT_EQ(manager->Initialize(device.Get(), nullptr), S_OK);
        ASSERT_EQ(manager->Start(WdfPowerDeviceD3Final), S_OK);

        body(*manager.Get(), *device.Get());

        EXPECT_EQ(manager->Stop(WdfPowerDeviceMaximum), S_OK);
        manager->Uninitialize();
        manager.Reset();
        device->ReleaseDriverReferences();
        EXPECT_TRUE(device->Record().Entries(RecordKind::kDriverError).empty()) << device->Record().ToText();
    }

    acquisition_test::ScopedTestMode m_testMode;
    platform::testing::ScopedVirtualClock m_clock;
    std::unique_ptr<CThermalAcquisition> m_acquisition = acquisition_test::MakeSettled<CThermalAcquisition>();
};

TEST_F(SensorManagerOnHostDevice, RadioState_SurvivesANewDeviceObject)
{
    test_support::TempDir state;
    ASSERT_TRUE(sim::SetStateDirectory(state.path()));
    RegisterRecordingClassExtension();

    RunDevice([](CSensorManager& manager, CHostDevice& device) {
        EXPECT_EQ(device.DeviceInterfaceEnabled(GUID_DEVINTERFACE_SENSOR), std::optional<bool>(true));
        CThermalSensor* sensor = manager.GetSensor(0);
        ASSERT_NE(sensor, nullptr);
        EXPECT_EQ(sensor->GetAppliedRadioState(), 0u);
        sensor->SetRequestedRadioState(1);
        sensor->SetPreviousRadioState(4);
        EXPECT_EQ(sensor->RefreshDerivedProperties(), S_OK);
    });
    RunDevice([](CSensorManager& manager, CHostDevice&) {
        CThermalSensor* sensor = manager.GetSensor(0);
        ASSERT_NE(sensor, nullptr);
        EXPECT_EQ(sensor->GetAppliedRadioState(), 1u);
        EXPECT_EQ(sensor->GetRequestedRadioState(), 1u);
        EXPECT_EQ(sensor->GetPreviousRadioState(), 4u);
        EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 1);
        EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE_PREVIOUS), 4);
    });
}

TEST_F(SensorManagerOnHostDevice, Start_BindsThePlatformClassExtensionAndPostsNotAvailable)
{
    platform::testing::SensorClassExtensionRecorder recorder;
    const void* hostDevice = nullptr;

    RunDevice([&](CSensorManager&, CHostDevice& device) {
        hostDevice = static_cast<IUnknown*>(&device);
        using platform::testing::SensorCxCall;
        const auto binds = recorder.Calls(SensorCxCall::kInitialize);
        ASSERT_EQ(binds.size(), 1u);
        EXPECT_EQ(binds[0].device, hostDevice);
        EXPECT_NE(binds[0].driver, nullptr);
        const auto changes = recorder.Calls(SensorCxCall::kPostStateChange);
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_EQ(changes[0].objectId, kSensorId);
        EXPECT_EQ(changes[0].state, SENSOR_STATE_NOT_AVAILABLE);
    });
    EXPECT_EQ(recorder.Calls(platform::testing::SensorCxCall::kUninitialize).size(), 1u);
    EXPECT_EQ(platform::testing::LiveSensorClassExtensions(), 0u);
}

// The host's idle calls as the host recorded them: name, arguments and result.
std::vector<std::string> IdleCalls(const platform::host::HostRecord& record)
{
    std::vector<std::string> calls;
    for (const auto& entry : record.Entries(RecordKind::kDriverCall)) {
        if (entry.name == "IWDFDevice2::StopIdle" || entry.name == "IWDFDevice2::ResumeIdle" ||
            entry.name == "IWDFDevice3::AssignS0IdleSettingsEx") {
            calls.push_back(entry.name + "(" + entry.arguments + ") -> " + entry.result);
        }
    }
    return calls;
}

TEST_F(SensorManagerOnHostDevice, IdleTimer_WithAClient_GivesTheHostTheIdleRecordsAndPowerReferences)
{
    RegisterRecordingClassExtension();
    const std::string stop = "IWDFDevice2::StopIdle(fWaitForD0=FALSE) -> references=1";
    const std::string resume = "IWDFDevice2::ResumeIdle() -> references=0";
    const std::string armD2 =
        "IWDFDevice3::AssignS0IdleSettingsEx(Size=32 IdleCaps=1 DxState=3 IdleTimeout=100 "
        "UserControlOfIdleSettings=2 Enabled=0 PowerUpIdleDeviceOnSystemWake=0 IdleTimeoutType=1) -> S_OK";
    const std::string leaveD3 =
        "IWDFDevice3::AssignS0IdleSettingsEx(Size=32 IdleCaps=1 DxState=4 IdleTimeout=100 "
        "UserControlOfIdleSettings=2 Enabled=0 PowerUpIdleDeviceOnSystemWake=0 IdleTimeoutType=1) -> S_OK";
    using Calls = std::vector<std::string>;

    RunDevice([&](CSensorManager& manager, CHostDevice& device) {
        CThermalSensor* sensor = manager.GetSensor(0);
        ASSERT_NE(sensor, nullptr);
        const auto ask = [&](ULONG milliseconds) {
            PROPVARIANT value;
            InitPropVariantFromUInt32(milliseconds, &value);
            HRESULT key = E_FAIL;
            EXPECT_EQ(sensor->SetClientReportInterval(1, &value, false, &key), S_OK);
            EXPECT_EQ(key, S_OK);
            m_clock.RunUntilIdle();
        };
        ASSERT_EQ(sensor->Connect(1), S_OK);
        EXPECT_EQ(IdleCalls(device.Record()), (Calls{stop}));

        ask(300000);
        EXPECT_EQ(IdleCalls(device.Record()), (Calls{stop, armD2, resume}));
        m_clock.AdvanceBy(100000ms);
        sensor->ScheduleIdle();  // armed already: the first due time stands
        m_clock.AdvanceBy(139999ms);
        EXPECT_EQ(IdleCalls(device.Record()).size(), 3u);
        m_clock.AdvanceBy(1ms);
        EXPECT_EQ(IdleCalls(device.Record()), (Calls{stop, armD2, resume, leaveD3, stop}));

        // After the next report the timer is armed again; a shorter wish cancels it.
        sensor->ScheduleIdle();
        ask(299999);
        EXPECT_EQ(IdleCalls(device.Record()),
                  (Calls{stop, armD2, resume, leaveD3, stop, armD2, resume, leaveD3, stop}));
        m_clock.AdvanceBy(600000ms);
        EXPECT_EQ(IdleCalls(device.Record()).size(), 9u);

        // A client that leaves while the device may idle has no reference left to give back.
        ask(300000);
        ASSERT_EQ(sensor->Disconnect(1), S_OK);
        m_clock.AdvanceBy(240000ms);
        const Calls calls = IdleCalls(device.Record());
        EXPECT_EQ(Calls(calls.begin() + 9, calls.end()), (Calls{armD2, resume, leaveD3}));
        EXPECT_EQ(device.PowerReferenceCount(), 0);
    });
}

}  // namespace
