// The sensor manager on the host's own device object (its named property store kept in the state
// directory, its device interfaces) and on the platform's sensor class extension.
#include <gtest/gtest.h>

#include "host/host_device.h"
#include "platform_testing/sensor_class_extension.h"
#include "sensor_test_kit.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

using namespace sensor_test;
using platform::host::CHostDevice;
using platform::host::RecordKind;

// One life of the device: a new host device on the state directory, a bound and started manager,
// the body, then stop, release and the host's verdict.
template <class Body>
void RunDevice(Body body)
{
    ComPtr<CHostDevice> device;
    ASSERT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
    CSensorManager* raw = nullptr;
    ASSERT_EQ(CSensorManager::CreateInstance(&raw), S_OK);
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

TEST(SensorManagerOnHostDevice, RadioState_SurvivesANewDeviceObject)
{
    InFreshProcess([] {
        test_support::TempDir state;
        ASSERT_TRUE(sim::SetStateDirectory(state.path()));
        acquisition_test::ScopedTestMode testMode;
        platform::testing::ScopedVirtualClock clock;
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
        sim::ClearStateDirectory();
        platform::testing::RestoreBuiltinClasses();
    });
}

TEST(SensorManagerOnHostDevice, Start_BindsThePlatformClassExtensionAndPostsNotAvailable)
{
    InFreshProcess([] {
        acquisition_test::ScopedTestMode testMode;
        platform::testing::ScopedVirtualClock clock;
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
    });
}

}  // namespace
