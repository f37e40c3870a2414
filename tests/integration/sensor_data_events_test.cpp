// Data-updated and state-changed events of the real module's sensor as its clients receive them:
// what an event holds, when it comes, the temperature of each source of the reading chain, what
// happens without a subscriber or with the radio off, the callbacks during teardown, and event
// passes whose steps fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/faults.h"
#include "platform_testing/wpd.h"
#include "sensor_test_client.h"
#include "sim/probe_devices.h"

namespace {

using namespace std::chrono_literals;
using integration::kSensorId;
using integration::SensorTestClient;
using integration::Temperature;
using integration::Timestamp;
using platform::ComPtr;

constexpr HRESULT kShutdownInProgress = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);
constexpr ULONGLONG kFileTimeUnitsPerMs = 10000;

// A machine whose only source of readings is the interface probe, reading 25 degrees through the
// default map.
constexpr char kInterfaceProbeOnly[] = "[machine]\npower = ac\n[interface-probe]\nraw = 564\n";
constexpr float kInterfaceProbeTemperature = 25.0f;

std::vector<PROPERTYKEY> KeysInOrder(IPortableDeviceValues* values)
{
    std::vector<PROPERTYKEY> keys;
    DWORD count = 0;
    if (values == nullptr || FAILED(values->GetCount(&count))) return keys;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        PROPVARIANT value{};
        EXPECT_EQ(values->GetAt(i, &key, &value), S_OK);
        PropVariantClear(&value);
        keys.push_back(key);
    }
    return keys;
}

class SensorEventsTest : public integration::SensorHostTest {
protected:
    // The machine, the device started with acquisition running, and a client connected and
    // subscribed; null after a failed step.
    std::unique_ptr<SensorTestClient> StartWithSubscriber(const std::string& machine)
    {
        ApplyMachine(machine);
        if (HasFatalFailure()) return nullptr;
        const platform::host::HostStep started = LoadAndStart();
        EXPECT_TRUE(started.ok()) << started.message;
        if (!started.ok()) return nullptr;
        StartAcquisition();
        if (HasFatalFailure()) return nullptr;
        auto client = std::make_unique<SensorTestClient>(m_host);
        EXPECT_EQ(client->Connect(), S_OK);
        EXPECT_EQ(client->Subscribe(), S_OK);
        return client;
    }

    HRESULT SetRadioState(const SensorTestClient& client, ULONG state)
    {
        BYTE input[sizeof(state)];
        std::memcpy(input, &state, sizeof(state));
        return m_host.DeviceIoControl(client.File(), IOCTL_SET_RADIO_STATE, input, sizeof(ULONG)).status;
    }

    platform::testing::SensorClassExtensionRecorder m_recorder;
};

TEST_F(SensorEventsTest, ConnectAndSubscribe_DataUpdatedAtTheReportIntervalAndEveryStateChange)
{
    ApplyMachine(kInterfaceProbeOnly);
    ASSERT_TRUE(LoadAndStart().ok());
    StartAcquisition();
    SensorTestClient client(m_host);
    ASSERT_EQ(client.Connect(), S_OK);
    ASSERT_EQ(client.SetReportInterval(2000), S_OK);
    ASSERT_EQ(client.Subscribe(), S_OK);

    m_clock.AdvanceBy(12s);
    const auto updates = client.DataUpdates();
    ASSERT_GE(updates.size(), 4u);
    for (std::size_t i = 0; i < updates.size(); ++i) {
        IPortableDeviceValues* values = updates[i].values.Get();
        EXPECT_EQ(updates[i].sensorId, kSensorId);
        EXPECT_EQ(KeysInOrder(values),
                  (std::vector<PROPERTYKEY>{SENSOR_EVENT_PARAMETER_EVENT_ID, SENSOR_DATA_TYPE_TIMESTAMP,
                                            SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS}));
        GUID eventId{};
        EXPECT_EQ(values->GetGuidValue(SENSOR_EVENT_PARAMETER_EVENT_ID, &eventId), S_OK);
        EXPECT_EQ(eventId, SENSOR_EVENT_DATA_UPDATED);
        EXPECT_EQ(Temperature(values), kInterfaceProbeTemperature);
        if (i > 0) {
            EXPECT_EQ(Timestamp(values) - Timestamp(updates[i - 1].values.Get()), 2000 * kFileTimeUnitsPerMs);
        }
    }
    EXPECT_EQ(client.StateChanges(), std::vector<SensorState>{SENSOR_STATE_READY});

    // The probe goes: no reading, so the sensor is not available; its event has no temperature and
    // says when.
    ASSERT_TRUE(sim::RemoveProbe(sim::Probe::kInterface));
    m_clock.AdvanceBy(6s);
    EXPECT_EQ(client.StateChanges(), (std::vector<SensorState>{SENSOR_STATE_READY, SENSOR_STATE_NOT_AVAILABLE}));
    const auto last = client.DataUpdates().back();
    EXPECT_TRUE(std::isnan(Temperature(last.values.Get())));
    EXPECT_GT(Timestamp(last.values.Get()), Timestamp(updates.back().values.Get()));
}

struct SourceCase {
    const char* name;
    const char* machine;
    float temperature;
};

// Names the case in test output.
void PrintTo(const SourceCase& value, std::ostream* out)
{
    *out << value.name;
}

class SensorReadingSources : public SensorEventsTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(SensorReadingSources, ReadingOfTheSource_ReachesTheSubscriberAsTheMachinePresentsIt)
{
    const auto client = StartWithSubscriber(GetParam().machine);
    ASSERT_TRUE(client);

    m_clock.AdvanceBy(5s);
    const auto updates = client->DataUpdates();
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(Temperature(updates.back().values.Get()), GetParam().temperature);
}

INSTANTIATE_TEST_SUITE_P(
    Chain, SensorReadingSources,
    ::testing::Values(
        SourceCase{"InterfaceProbeAcMap",
                   "[machine]\npower = ac\n[interface-probe]\nraw = 452\n[map ac]\n452 = 31.5\n[map dc]\n452 = 12.25\n",
                   31.5f},
        SourceCase{"InterfaceProbeDcMap",
                   "[machine]\npower = dc\n[interface-probe]\nraw = 452\n[map ac]\n452 = 31.5\n[map dc]\n452 = 12.25\n",
                   12.25f},
        SourceCase{"InterfaceProbeDefaultMap", "[machine]\npower = ac\n[interface-probe]\nraw = 564\n", 25.0f},
        SourceCase{"InterfaceProbeDefaultMapPowerUnknown",
                   "[machine]\npower = unknown\n[interface-probe]\nraw = 564\n[map ac]\n564 = 31.5\n", 25.0f},
        SourceCase{"FixedPathProbeKind20", "[fixed-probe]\nkind = 20\ntemperature = 30.0\n", 30.0f},
        SourceCase{"FixedPathProbeKind21", "[fixed-probe]\nkind = 21\ntemperature = 22.0\n", 22.0f},
        SourceCase{"WmiThroughTheMap",
                   "[machine]\npower = ac\n[wmi]\ninstance = \"ACPI\\PNP0C14\\0_0\" 452\n[map ac]\n452 = 33.5\n",
                   33.5f},
        SourceCase{"TestMode", "[registry]\nTestMode = Enable\n[interface-probe]\ntemperature = 40.0\n",
                   static_cast<float>(-8.8)}),
    [](const auto& source) { return std::string(source.param.name); });

TEST_F(SensorEventsTest, WithoutSubscriber_ReadingsSetTheStateButNoEventIsPostedAndTheThreadNeverWakes)
{
    ApplyMachine(kInterfaceProbeOnly);
    ASSERT_TRUE(LoadAndStart().ok());
    StartAcquisition();
    SensorTestClient client(m_host);
    ASSERT_EQ(client.Connect(), S_OK);
    m_recorder.Clear();

    m_clock.AdvanceBy(6s);
    EXPECT_TRUE(m_recorder.Calls(platform::testing::SensorCxCall::kPostEvent).empty());
    // A wake of the event thread without new data would have made the sensor not available.
    std::vector<SensorState> states;
    for (const auto& call : m_recorder.Calls(platform::testing::SensorCxCall::kPostStateChange)) {
        states.push_back(call.state);
    }
    EXPECT_LE(states.size(), 1u);
    EXPECT_EQ(std::count(states.begin(), states.end(), SENSOR_STATE_NOT_AVAILABLE), 0);
    transport::ValuesResult properties;
    ASSERT_EQ(client.Protocol().GetProperties(kSensorId, std::vector<PROPERTYKEY>{SENSOR_PROPERTY_STATE}, &properties),
              S_OK);
    ULONG state = SENSOR_STATE_ERROR;
    EXPECT_EQ(properties.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, &state), S_OK);
    EXPECT_EQ(state, static_cast<ULONG>(SENSOR_STATE_READY));
    EXPECT_TRUE(client.Events().empty());
}

TEST_F(SensorEventsTest, WhileTheRadioIsOff_ReadingsChangeNoDataField)
{
    const auto subscriber = StartWithSubscriber(kInterfaceProbeOnly);
    ASSERT_TRUE(subscriber);
    SensorTestClient& client = *subscriber;
    m_clock.AdvanceBy(3s);
    ASSERT_EQ(Temperature(client.DataUpdates().back().values.Get()), kInterfaceProbeTemperature);

    // Off: the sensor is not available and its fields are emptied, and readings leave them so.
    ASSERT_EQ(SetRadioState(client, 1), S_OK);
    const std::size_t before = client.DataUpdates().size();
    m_clock.AdvanceBy(4s);
    const auto updates = client.DataUpdates();
    ASSERT_GT(updates.size(), before);
    for (std::size_t i = before; i < updates.size(); ++i) {
        EXPECT_TRUE(std::isnan(Temperature(updates[i].values.Get())));
        EXPECT_EQ(Timestamp(updates[i].values.Get()), 0u);
    }
    const transport::ValuesResult data = client.ReadDataFields();
    EXPECT_EQ(data.hr, S_OK);
    EXPECT_EQ(Timestamp(data.values.Get()), 0u);

    // On again: readings come back.
    ASSERT_EQ(SetRadioState(client, 0), S_OK);
    m_clock.AdvanceBy(3s);
    EXPECT_EQ(Temperature(client.DataUpdates().back().values.Get()), kInterfaceProbeTemperature);
}

TEST_F(SensorEventsTest, AnyCallbackDuringTeardown_IsRefusedWithShutdownInProgress)
{
    const auto subscriber = StartWithSubscriber(kInterfaceProbeOnly);
    ASSERT_TRUE(subscriber);
    SensorTestClient& client = *subscriber;
    m_clock.AdvanceBy(3s);
    ASSERT_EQ(client.StateChanges().back(), SENSOR_STATE_READY);

    // The release sets the sensor not available while the class extension is still bound: its
    // state change reaches the client in the middle of the teardown, and the client calls back.
    ComPtr<ISensorDriver> driver = integration::BoundSensorDriver(m_recorder);
    ASSERT_TRUE(driver);
    std::mutex mutex;
    std::vector<HRESULT> answers;
    HRESULT wpdMessage = E_FAIL;
    client.SetEventHook([&](const transport::SensorEvent&) {
        std::u16string id = kSensorId;
        ComPtr<IPortableDeviceKeyCollection> keys;
        ComPtr<IPortableDeviceValues> toSet;
        CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(keys.GetAddressOf()));
        CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                         reinterpret_cast<void**>(toSet.GetAddressOf()));
        ComPtr<IPortableDeviceValuesCollection> objects;
        ComPtr<IPortableDeviceKeyCollection> supported;
        ComPtr<IPortableDeviceValues> values;
        GUID* events = nullptr;
        ULONG eventCount = 0;
        IWDFFile* file = client.File();
        std::vector<HRESULT> these = {
            driver->OnGetSupportedSensorObjects(objects.GetAddressOf()),
            driver->OnGetSupportedProperties(id.data(), supported.ReleaseAndGetAddressOf()),
            driver->OnGetSupportedDataFields(id.data(), supported.ReleaseAndGetAddressOf()),
            driver->OnGetSupportedEvents(id.data(), &events, &eventCount),
            driver->OnGetProperties(file, id.data(), keys.Get(), values.ReleaseAndGetAddressOf()),
            driver->OnGetDataFields(file, id.data(), keys.Get(), values.ReleaseAndGetAddressOf()),
            driver->OnSetProperties(file, id.data(), toSet.Get(), values.ReleaseAndGetAddressOf()),
            driver->OnClientConnect(file, id.data()),
            driver->OnClientDisconnect(file, id.data()),
            driver->OnClientSubscribeToEvents(file, id.data()),
            driver->OnClientUnsubscribeFromEvents(file, id.data()),
        };
        CoTaskMemFree(events);
        const HRESULT message = driver->OnProcessWpdMessage(toSet.Get(), values.Get());
        std::lock_guard lock(mutex);
        answers.insert(answers.end(), these.begin(), these.end());
        wpdMessage = message;
    });
    const platform::host::HostStep removed = m_host.SurpriseRemove();
    client.SetEventHook(nullptr);
    driver.Reset();

    std::lock_guard lock(mutex);
    ASSERT_FALSE(answers.empty()) << removed.message;
    for (const HRESULT answer : answers) EXPECT_EQ(answer, kShutdownInProgress);
    EXPECT_EQ(wpdMessage, S_OK);
}

struct PassFault {
    const char* name;
    std::string point;
};

// Names the case in test output.
void PrintTo(const PassFault& value, std::ostream* out)
{
    *out << value.name;
}

class SensorEventPassFaults : public SensorEventsTest, public ::testing::WithParamInterface<PassFault> {};

TEST_P(SensorEventPassFaults, FailingStep_ThatPassPostsNothingAndTheNextOnePosts)
{
    const auto subscriber = StartWithSubscriber(kInterfaceProbeOnly);
    ASSERT_TRUE(subscriber);
    SensorTestClient& client = *subscriber;
    m_clock.AdvanceBy(3s);
    // One pass, and one event, per reading.
    const std::size_t steady = client.DataUpdates().size();
    m_clock.AdvanceBy(1s);
    ASSERT_EQ(client.DataUpdates().size(), steady + 1);

    platform::testing::FailCall(GetParam().point);
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(platform::testing::InjectedFaultCount(), 1u);
    EXPECT_EQ(client.DataUpdates().size(), steady + 1);
    m_clock.AdvanceBy(1s);
    EXPECT_EQ(client.DataUpdates().size(), steady + 2);
    EXPECT_EQ(Temperature(client.DataUpdates().back().values.Get()), kInterfaceProbeTemperature);
}

INSTANTIATE_TEST_SUITE_P(Pass, SensorEventPassFaults,
                         ::testing::Values(PassFault{"CopyDataFieldValues",
                                                     platform::testing::CollectionFault("IPortableDeviceValues::GetAt",
                                                                                        SENSOR_DATA_TYPE_TIMESTAMP)},
                                           PassFault{"PostDataEvent",
                                                     "CoCreateInstance:{3882134D-14CF-4220-9CB4-435F86D83F60}"}),
                         [](const auto& fault) { return std::string(fault.param.name); });

}  // namespace
