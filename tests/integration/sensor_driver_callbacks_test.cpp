// The sensor-driver callbacks of the real module, reached by clients through the host's device I/O
// and the class extension: object IDs, supported keys and events, property reads and writes, data
// field reads with their fresh readings, and what the callbacks answer when memory runs out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "allocation_failure.h"
#include "loaded_module_fixture.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_keys.h"
#include "platform/wpd/portable_device_values.h"
#include "sensor_test_client.h"

namespace {

using namespace std::chrono_literals;
using integration::kSensorId;
using integration::SensorTestClient;
using platform::ComPtr;

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

const std::vector<PROPERTYKEY> kObjectKeys = {
    WPD_OBJECT_ID,     WPD_OBJECT_PERSISTENT_UNIQUE_ID, WPD_OBJECT_PARENT_ID,  WPD_OBJECT_NAME,
    WPD_OBJECT_FORMAT, WPD_OBJECT_CONTENT_TYPE,         WPD_OBJECT_CAN_DELETE,
};
const std::vector<PROPERTYKEY> kDeviceKeys = {
    WPD_DEVICE_FIRMWARE_VERSION,
    WPD_DEVICE_POWER_LEVEL,
    WPD_DEVICE_POWER_SOURCE,
    WPD_DEVICE_PROTOCOL,
    WPD_DEVICE_MODEL,
    WPD_DEVICE_SERIAL_NUMBER,
    WPD_DEVICE_SUPPORTS_NON_CONSUMABLE,
    WPD_DEVICE_MANUFACTURER,
    WPD_DEVICE_FRIENDLY_NAME,
    WPD_DEVICE_TYPE,
    WPD_FUNCTIONAL_OBJECT_CATEGORY,
};

std::vector<PROPERTYKEY> Keys(IPortableDeviceKeyCollection* keys)
{
    std::vector<PROPERTYKEY> out;
    DWORD count = 0;
    if (keys == nullptr || FAILED(keys->GetCount(&count))) return out;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        EXPECT_EQ(keys->GetAt(i, &key), S_OK);
        out.push_back(key);
    }
    return out;
}

std::vector<PROPERTYKEY> Concat(std::vector<PROPERTYKEY> a, const std::vector<PROPERTYKEY>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

DWORD Count(IPortableDeviceValues* values)
{
    DWORD count = 0;
    if (values != nullptr) {
        EXPECT_EQ(values->GetCount(&count), S_OK);
    }
    return count;
}

std::u16string Text(IPortableDeviceValues* values, REFPROPERTYKEY key)
{
    LPWSTR text = nullptr;
    if (FAILED(values->GetStringValue(key, &text))) return u"(none)";
    std::u16string out(text);
    CoTaskMemFree(text);
    return out;
}

HRESULT ErrorUnder(IPortableDeviceValues* values, REFPROPERTYKEY key)
{
    HRESULT error = S_OK;
    EXPECT_EQ(values->GetErrorValue(key, &error), S_OK);
    return error;
}

// The type of the value under a key; kNoValue when there is none.
constexpr VARTYPE kNoValue = 0xFFFF;

VARTYPE TypeUnder(IPortableDeviceValues* values, REFPROPERTYKEY key)
{
    PROPVARIANT value{};
    if (FAILED(values->GetValue(key, &value))) return kNoValue;
    const VARTYPE type = value.vt;
    PropVariantClear(&value);
    return type;
}

ComPtr<IPortableDeviceValues> NewValues()
{
    ComPtr<IPortableDeviceValues> values;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(values.GetAddressOf())),
              S_OK);
    return values;
}

class SensorDriverCallbacks : public integration::SensorHostTest {
protected:
    void SetUp() override
    {
        const platform::host::HostStep started = LoadAndStart();
        ASSERT_TRUE(started.ok()) << started.message;
    }

    // The virtual time one data-field read takes.
    std::chrono::nanoseconds TimeOfDataFieldRead(const SensorTestClient& client, transport::ValuesResult* data)
    {
        return WithSteppingClock([&] { *data = client.ReadDataFields(); });
    }

    platform::testing::SensorClassExtensionRecorder m_recorder;  // made before SetUp starts the device
};

TEST_F(SensorDriverCallbacks, SupportedSensorObjects_ListTheSensorWithItsObjectAndSensorProperties)
{
    SensorTestClient client(m_host);
    transport::ObjectsResult objects;
    ASSERT_EQ(client.Protocol().GetSupportedSensorObjects(&objects), S_OK);
    EXPECT_EQ(objects.hr, S_OK);
    DWORD count = 0;
    ASSERT_TRUE(objects.objects);
    ASSERT_EQ(objects.objects->GetCount(&count), S_OK);
    ASSERT_EQ(count, 1u);
    ComPtr<IPortableDeviceValues> sensor;
    ASSERT_EQ(objects.objects->GetAt(0, sensor.GetAddressOf()), S_OK);
    EXPECT_EQ(Count(sensor.Get()), 22u);  // the seven object keys and the fifteen of the sensor
    EXPECT_EQ(Text(sensor.Get(), WPD_OBJECT_ID), kSensorId);
    EXPECT_EQ(Text(sensor.Get(), WPD_OBJECT_PARENT_ID), u"DEVICE");
    EXPECT_EQ(Text(sensor.Get(), SENSOR_PROPERTY_DESCRIPTION), u"Temperature Sensor");
    GUID type{};
    EXPECT_EQ(sensor->GetGuidValue(SENSOR_PROPERTY_TYPE, &type), S_OK);
    EXPECT_EQ(type, SENSOR_TYPE_ENVIRONMENTAL_TEMPERATURE);
}

TEST_F(SensorDriverCallbacks, ObjectId_InAnotherLetterCase_ResolvesToTheSensor)
{
    SensorTestClient client(m_host);
    std::u16string lower = kSensorId;
    for (char16_t& c : lower) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    transport::KeysResult fields;
    ASSERT_EQ(client.Protocol().GetSupportedDataFields(lower, &fields), S_OK);
    EXPECT_EQ(fields.hr, S_OK);
    EXPECT_EQ(Keys(fields.keys.Get()), integration::kDataFieldKeys);

    transport::ValuesResult properties;
    ASSERT_EQ(client.Protocol().GetProperties(lower, std::vector<PROPERTYKEY>{WPD_OBJECT_ID, SENSOR_PROPERTY_STATE},
                                              &properties),
              S_OK);
    EXPECT_EQ(properties.hr, S_OK);
    EXPECT_EQ(Text(properties.values.Get(), WPD_OBJECT_ID), kSensorId);
    EXPECT_EQ(client.Subscribe(lower), S_OK);
    EXPECT_EQ(client.Unsubscribe(kSensorId), S_OK);
}

TEST_F(SensorDriverCallbacks, SupportedProperties_ObjectKeysFirst_DeviceObjectIsUnexpected)
{
    SensorTestClient client(m_host);
    transport::KeysResult sensor;
    ASSERT_EQ(client.Protocol().GetSupportedProperties(kSensorId, &sensor), S_OK);
    EXPECT_EQ(sensor.hr, S_OK);
    const auto sensorKeys = Keys(sensor.keys.Get());
    ASSERT_EQ(sensorKeys.size(), 22u);
    EXPECT_EQ(std::vector<PROPERTYKEY>(sensorKeys.begin(), sensorKeys.begin() + 7), kObjectKeys);
    EXPECT_EQ(sensorKeys[7], SENSOR_PROPERTY_TYPE);
    EXPECT_EQ(sensorKeys[21], WPD_FUNCTIONAL_OBJECT_CATEGORY);

    // The device object is no sensor: the object and device keys come back with E_UNEXPECTED.
    for (const char16_t* device : {u"DEVICE", u"Device"}) {
        transport::KeysResult keys;
        ASSERT_EQ(client.Protocol().GetSupportedProperties(device, &keys), S_OK);
        EXPECT_EQ(keys.hr, E_UNEXPECTED);
        EXPECT_EQ(Keys(keys.keys.Get()), Concat(kObjectKeys, kDeviceKeys));
    }
}

TEST_F(SensorDriverCallbacks, SupportedEvents_DataUpdatedThenStateChanged)
{
    SensorTestClient client(m_host);
    transport::EventsResult events;
    ASSERT_EQ(client.Protocol().GetSupportedEvents(kSensorId, &events), S_OK);
    EXPECT_EQ(events.hr, S_OK);
    EXPECT_EQ(events.events, (std::vector<GUID>{SENSOR_EVENT_DATA_UPDATED, SENSOR_EVENT_STATE_CHANGED}));
}

TEST_F(SensorDriverCallbacks, UnknownObjectId_EachCallbackAnswersItsOwnFailure)
{
    SensorTestClient client(m_host);
    const std::u16string unknown = std::u16string(THERMAL_SENSOR_BASE_ID.data()) + u"-1";
    const auto& protocol = client.Protocol();

    transport::KeysResult properties;
    ASSERT_EQ(protocol.GetSupportedProperties(unknown, &properties), S_OK);
    EXPECT_EQ(properties.hr, E_UNEXPECTED);
    EXPECT_EQ(Keys(properties.keys.Get()), kObjectKeys);
    transport::KeysResult fields;
    ASSERT_EQ(protocol.GetSupportedDataFields(unknown, &fields), S_OK);
    EXPECT_EQ(fields.hr, E_UNEXPECTED);
    EXPECT_TRUE(Keys(fields.keys.Get()).empty());
    transport::EventsResult events;
    ASSERT_EQ(protocol.GetSupportedEvents(unknown, &events), S_OK);
    EXPECT_EQ(events.hr, kNotFound);
    EXPECT_TRUE(events.events.empty());
    transport::ValuesResult values;
    ASSERT_EQ(protocol.GetProperties(unknown, kObjectKeys, &values), S_OK);
    EXPECT_EQ(values.hr, E_UNEXPECTED);
    EXPECT_EQ(Count(values.values.Get()), 0u);
    // Data fields of an object that is not registered: an empty answer.
    ASSERT_EQ(protocol.GetDataFields(unknown, integration::kDataFieldKeys, &values), S_OK);
    EXPECT_EQ(values.hr, S_OK);
    EXPECT_EQ(Count(values.values.Get()), 0u);
    ComPtr<IPortableDeviceValues> write = NewValues();
    ASSERT_EQ(write->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, 500), S_OK);
    ASSERT_EQ(protocol.SetProperties(unknown, write.Get(), &values), S_OK);
    EXPECT_EQ(values.hr, E_UNEXPECTED);
    EXPECT_EQ(client.Connect(unknown), E_UNEXPECTED);
    EXPECT_EQ(client.Disconnect(unknown), E_POINTER);
    EXPECT_EQ(client.Subscribe(unknown), E_UNEXPECTED);
    EXPECT_EQ(client.Unsubscribe(unknown), E_UNEXPECTED);
}

TEST_F(SensorDriverCallbacks, GetProperties_KeyTheSensorLacks_ErrorValueUnderItAndSFalse)
{
    SensorTestClient client(m_host);
    transport::ValuesResult values;
    ASSERT_EQ(
        client.Protocol().GetProperties(
            kSensorId, std::vector<PROPERTYKEY>{WPD_OBJECT_NAME, WPD_DEVICE_FIRMWARE_VERSION, SENSOR_PROPERTY_STATE},
            &values),
        S_OK);
    EXPECT_EQ(values.hr, S_FALSE);
    ASSERT_TRUE(values.values);
    EXPECT_EQ(Count(values.values.Get()), 3u);
    // A constant of the object table is answered although the sensor's store does not hold it.
    EXPECT_EQ(Text(values.values.Get(), WPD_OBJECT_NAME), u"Temperature");
    EXPECT_EQ(TypeUnder(values.values.Get(), WPD_DEVICE_FIRMWARE_VERSION), VT_ERROR);
    EXPECT_TRUE(FAILED(ErrorUnder(values.values.Get(), WPD_DEVICE_FIRMWARE_VERSION)));
    ULONG state = 0;
    EXPECT_EQ(values.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, &state), S_OK);
    EXPECT_EQ(state, static_cast<ULONG>(SENSOR_STATE_NOT_AVAILABLE));
}

TEST_F(SensorDriverCallbacks, SetProperties_KeyThatCannotBeSet_SFalseWithNotFoundUnderIt)
{
    SensorTestClient client(m_host);
    ComPtr<IPortableDeviceValues> write = NewValues();
    ASSERT_EQ(write->SetIPortableDeviceValuesValue(SENSOR_PROPERTY_CHANGE_SENSITIVITY, NewValues().Get()), S_OK);
    transport::ValuesResult results;
    ASSERT_EQ(client.Protocol().SetProperties(kSensorId, write.Get(), &results), S_OK);
    EXPECT_EQ(results.hr, S_FALSE);
    ASSERT_TRUE(results.values);
    EXPECT_EQ(Count(results.values.Get()), 1u);
    EXPECT_EQ(ErrorUnder(results.values.Get(), SENSOR_PROPERTY_CHANGE_SENSITIVITY), kNotFound);
}

TEST_F(SensorDriverCallbacks, GetDataFields_WithoutSubscriber_TakesAFreshReadingAndWaits15ms)
{
    SensorTestClient client(m_host);
    transport::ValuesResult data;
    const auto fresh = TimeOfDataFieldRead(client, &data);
    EXPECT_EQ(data.hr, S_OK);
    EXPECT_GE(fresh, 15ms);
    EXPECT_LT(fresh, 20ms);
    ASSERT_TRUE(data.values);
    EXPECT_EQ(TypeUnder(data.values.Get(), SENSOR_DATA_TYPE_TIMESTAMP), VT_FILETIME);
    // No acquisition runs before the first return from low power: the reading is no reading.
    EXPECT_EQ(TypeUnder(data.values.Get(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS), VT_EMPTY);

    // A subscriber makes reporting periodic; with data present the read answers at once.
    ASSERT_EQ(client.Subscribe(), S_OK);
    EXPECT_LT(TimeOfDataFieldRead(client, &data), 1ms);
    EXPECT_EQ(data.hr, S_OK);
    EXPECT_EQ(Count(data.values.Get()), 2u);
}

TEST_F(SensorDriverCallbacks, GetDataFields_KeyWithoutAField_NotSupportedUnderItAndTheCallSucceeds)
{
    SensorTestClient client(m_host);
    ASSERT_EQ(client.Subscribe(), S_OK);
    transport::ValuesResult data;
    TimeOfDataFieldRead(client, &data);  // the first read takes the reading
    ASSERT_EQ(client.Protocol().GetDataFields(
                  kSensorId, std::vector<PROPERTYKEY>{SENSOR_PROPERTY_STATE, SENSOR_DATA_TYPE_TIMESTAMP}, &data),
              S_OK);
    EXPECT_EQ(data.hr, S_OK);
    EXPECT_EQ(ErrorUnder(data.values.Get(), SENSOR_PROPERTY_STATE), kNotSupported);
    EXPECT_EQ(TypeUnder(data.values.Get(), SENSOR_DATA_TYPE_TIMESTAMP), VT_FILETIME);
}

TEST_F(SensorDriverCallbacks, GetDataFields_WhileIoIsSuspended_GivesUpAfterFiveReadings)
{
    // Suspended before any reading: UpdateDataFields changes nothing while I/O is not active, so no
    // reading ever makes data ready.
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    SensorTestClient client(m_host);
    transport::ValuesResult data;
    const auto taken = TimeOfDataFieldRead(client, &data);
    EXPECT_EQ(data.hr, E_UNEXPECTED);
    EXPECT_GE(taken, 75ms);
    EXPECT_LT(taken, 90ms);
    EXPECT_EQ(Count(data.values.Get()), 0u);
}

TEST_F(SensorDriverCallbacks, ClientMapCannotGrow_OutOfMemoryWithTheBusyBitAndTheConnectionLockReleased)
{
    SensorTestClient client(m_host);
    // Called on the test's thread, whose allocations can be made to fail.
    ComPtr<ISensorDriver> driver = integration::BoundSensorDriver(m_recorder);
    ASSERT_TRUE(driver);
    std::u16string id = kSensorId;
    HRESULT connected = S_OK;
    HRESULT subscribed = S_OK;
    {
        integration::ScopedAllocationFailure failing;
        connected = driver->OnClientConnect(client.File(), id.data());
        subscribed = driver->OnClientSubscribeToEvents(client.File(), id.data());
    }
    EXPECT_EQ(connected, E_OUTOFMEMORY);
    EXPECT_EQ(subscribed, E_OUTOFMEMORY);
    // Nothing was recorded and nothing is left held: a connect on a host thread would wait for ever
    // on a connection lock left held, and the device's teardown at the end waits for every busy bit.
    EXPECT_EQ(client.Connect(), S_OK);
    EXPECT_EQ(client.Subscribe(), S_OK);
    driver.Reset();
}

TEST_F(SensorDriverCallbacks, SetProperties_ReportIntervalOfAClientNotConnected_FailsAsAWhole)
{
    SensorTestClient client(m_host);
    ComPtr<IPortableDeviceValues> write = NewValues();
    ASSERT_EQ(write->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, 500), S_OK);
    transport::ValuesResult results;
    ASSERT_EQ(client.Protocol().SetProperties(kSensorId, write.Get(), &results), S_OK);
    EXPECT_EQ(results.hr, kNotFound);
    EXPECT_EQ(Count(results.values.Get()), 0u);

    // Connected, the same write is taken.
    ASSERT_EQ(client.Connect(), S_OK);
    ASSERT_EQ(client.Protocol().SetProperties(kSensorId, write.Get(), &results), S_OK);
    EXPECT_EQ(results.hr, S_OK);
    EXPECT_EQ(Count(results.values.Get()), 0u);
}

TEST_F(SensorDriverCallbacks, ProcessWpdMessage_AnyOtherCommand_SucceedsWithNothingDone)
{
    SensorTestClient client(m_host);
    ComPtr<IPortableDeviceValues> parameters = NewValues();
    ASSERT_EQ(parameters->SetUnsignedIntegerValue(transport::kCommand, 99), S_OK);
    ComPtr<IPortableDeviceValues> results;
    ASSERT_EQ(client.Protocol().Exchange(transport::kSensorMessageReadCode, parameters.Get(), results.GetAddressOf()),
              S_OK);
    HRESULT status = E_FAIL;
    EXPECT_EQ(results->GetErrorValue(transport::kStatus, &status), S_OK);
    EXPECT_EQ(status, S_OK);
}

}  // namespace
