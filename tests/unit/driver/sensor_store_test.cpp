#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sensor/sensor.h"
#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;
using ::testing::_;
using ::testing::Return;

// A sensor on its own: only the storage part of its initialisation, with a host device.
class SensorStore : public ::testing::Test {
protected:
    SensorStore() : m_liveCollections(platform::testing::LivePortableDeviceCollections()) {}
    ~SensorStore() override
    {
        platform::testing::ResetFaults();
        m_sensor.reset();
        EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), m_liveCollections);
        EXPECT_EQ(m_device->References(), 1u);
    }

    HRESULT InitializeStores(PCWSTR sensorId = kSensorId)
    {
        return m_sensor->CSensor::Initialize(0, 0, u"QAR Corporation", u"Varmel Device", u"serial", sensorId,
                                             m_device.Get());
    }
    HRESULT SupportedKeys()
    {
        ComPtr<IPortableDeviceKeyCollection> keys;
        return m_sensor->GetSupportedPropertyKeys(keys.GetAddressOf());
    }

    platform::testing::ScopedVirtualClock m_clock;
    platform::testing::ScopedFaults m_faults;
    ComPtr<HostDevice> m_device = MakeHostDevice();
    std::unique_ptr<CThermalSensor> m_sensor{CThermalSensor::Create()};
    std::size_t m_liveCollections;
};

TEST_F(SensorStore, KeyLists_BeforeInitializeAndAfterTearDown_GiveUnexpected)
{
    ComPtr<IPortableDeviceKeyCollection> keys;
    EXPECT_EQ(m_sensor->GetSupportedPropertyKeys(keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->GetSettablePropertyKeys(keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->GetSupportedDataFieldKeys(keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->Uninitialize(), E_UNEXPECTED);

    ASSERT_EQ(InitializeStores(), S_OK);
    EXPECT_EQ(m_sensor->GetSupportedDataFieldKeys(keys.GetAddressOf()), S_OK);
    EXPECT_EQ(m_sensor->GetSupportedDataFieldKeys(nullptr), E_INVALIDARG);
    keys.Reset();

    EXPECT_EQ(m_sensor->Uninitialize(), S_OK);
    EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), m_liveCollections);
    EXPECT_EQ(m_sensor->GetSupportedPropertyKeys(keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->GetSettablePropertyKeys(keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->GetSupportedDataFieldKeys(keys.GetAddressOf()), E_UNEXPECTED);
}

TEST_F(SensorStore, Initialize_IdentityText_FitsUpTo251Units)
{
    const std::u16string fits(251, u'A');
    ASSERT_EQ(InitializeStores(fits.c_str()), S_OK);
    EXPECT_EQ(std::u16string(m_sensor->GetSensorIdText()), fits);
}

TEST_F(SensorStore, Initialize_IdentityTextOf252Units_FailsAndKeepsItTruncated)
{
    const std::u16string tooLong(252, u'B');
    EXPECT_EQ(InitializeStores(tooLong.c_str()), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(m_sensor->GetSensorIdText()), tooLong.substr(0, 251));
    EXPECT_FALSE(m_sensor->IsInitialized());
}

TEST_F(SensorStore, Initialize_Twice_GivesUnexpectedAndLeavesTheStores)
{
    ASSERT_EQ(InitializeStores(), S_OK);
    PROPVARIANT value;
    InitPropVariantFromUInt32(42, &value);
    ASSERT_EQ(m_sensor->SetProperty(SENSOR_PROPERTY_STATE, &value), S_OK);
    ComPtr<IPortableDeviceKeyCollection> before;
    ASSERT_EQ(m_sensor->GetSupportedPropertyKeys(before.GetAddressOf()), S_OK);

    EXPECT_EQ(m_sensor->CSensor::Initialize(1, 1, u"x", u"y", u"z", u"other", m_device.Get()), E_UNEXPECTED);
    EXPECT_EQ(UInt(m_sensor.get(), SENSOR_PROPERTY_STATE), 42);
    ComPtr<IPortableDeviceKeyCollection> after;
    ASSERT_EQ(m_sensor->GetSupportedPropertyKeys(after.GetAddressOf()), S_OK);
    EXPECT_EQ(before.Get(), after.Get());
    EXPECT_EQ(std::u16string(m_sensor->GetSensorIdText()), kSensorId);
}

TEST_F(SensorStore, StoreOperations_WithoutStores_GiveTheirErrors)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    EXPECT_EQ(m_sensor->GetProperty(SENSOR_PROPERTY_STATE, &value), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->GetDataField(SENSOR_DATA_TYPE_TIMESTAMP, &value), E_UNEXPECTED);
    EXPECT_EQ(m_sensor->SetDataField(SENSOR_DATA_TYPE_TIMESTAMP, &value), E_POINTER);
    EXPECT_EQ(m_sensor->SetProperty(SENSOR_PROPERTY_STATE, &value), E_POINTER);
    EXPECT_EQ(m_sensor->CopyDataFieldValues(nullptr), E_UNEXPECTED);

    ASSERT_EQ(InitializeStores(), S_OK);
    EXPECT_EQ(m_sensor->SetDataField(SENSOR_DATA_TYPE_TIMESTAMP, nullptr), E_INVALIDARG);
    EXPECT_EQ(m_sensor->GetProperty(SENSOR_PROPERTY_STATE, &value), kNotFound);
}

TEST_F(SensorStore, CopyDataFieldValues_CopiesEveryFieldInStoreOrder)
{
    ASSERT_EQ(InitializeStores(), S_OK);
    PROPVARIANT temperature;
    InitPropVariantFromFloat(21.5f, &temperature);
    PROPVARIANT timestamp;
    InitPropVariantFromUInt32(7, &timestamp);
    ASSERT_EQ(m_sensor->SetDataField(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &temperature), S_OK);
    ASSERT_EQ(m_sensor->SetDataField(SENSOR_DATA_TYPE_TIMESTAMP, &timestamp), S_OK);

    ComPtr<IPortableDeviceValues> target;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(target.GetAddressOf())),
              S_OK);
    EXPECT_EQ(m_sensor->CopyDataFieldValues(target.Get()), S_OK);
    PROPERTYKEY first{};
    ASSERT_EQ(target->GetAt(0, &first, nullptr), S_OK);
    EXPECT_TRUE(first == SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS);
    FLOAT copied = 0.0f;
    EXPECT_EQ(target->GetFloatValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &copied), S_OK);
    EXPECT_EQ(copied, 21.5f);
    EXPECT_EQ(m_sensor->CopyDataFieldValues(nullptr), E_POINTER);
}

// Without its first store a sensor could not list its keys: the failure is not covered by the
// stores made after it.
TEST_F(SensorStore, Initialize_FirstStoreCannotBeMade_Fails)
{
    platform::testing::FailCall("CoCreateInstance:{DE2D022D-2480-43BE-97F0-D1FA2CF98F4F}");
    EXPECT_EQ(InitializeStores(), E_OUTOFMEMORY);
    EXPECT_FALSE(m_sensor->IsInitialized());
    EXPECT_EQ(SupportedKeys(), E_UNEXPECTED);
}

TEST_F(SensorStore, Initialize_ThreadpoolMinimumFails_StaysInitialisedWithoutTimer)
{
    platform::testing::FailCall("SetThreadpoolThreadMinimum");
    EXPECT_EQ(InitializeStores(), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_TRUE(m_sensor->IsInitialized());

    // No timer: nothing would bring the device back, so the device is not let idle.
    EXPECT_CALL(*m_device.Get(), ResumeIdle()).Times(0);
    m_sensor->SetCurrentReportInterval(300000);
    m_sensor->ScheduleIdle();
    EXPECT_TRUE(m_device->IdleSettings().empty());
}

TEST_F(SensorStore, Uninitialize_EmptyingFails_ReleasesEveryStoreAndReturnsTheError)
{
    ASSERT_EQ(InitializeStores(), S_OK);
    platform::testing::FailCall("IPortableDeviceKeyCollection::Clear");
    EXPECT_EQ(m_sensor->Uninitialize(), E_OUTOFMEMORY);
    EXPECT_FALSE(m_sensor->IsInitialized());
    EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), m_liveCollections);
}

// The temperature sensor's own initialisation, with a bound manager that has not started.
class ThermalSensorDefaults : public SensorStore {
protected:
    ThermalSensorDefaults()
    {
        CSensorManager* manager = nullptr;
        EXPECT_EQ(CSensorManager::CreateInstance(GetThermalAcquisition(), &manager), S_OK);
        m_manager.Attach(manager);
        m_manager->Initialize(m_device.Get(), nullptr);
    }
    ~ThermalSensorDefaults() override { m_sensor.reset(); }

    HRESULT Initialize()
    {
        return m_sensor->Initialize(0, 0, u"QAR Corporation", u"Varmel Device", u"serial", kSensorId, m_device.Get(),
                                    m_manager.Get());
    }

    ComPtr<CSensorManager> m_manager;
};

TEST_F(ThermalSensorDefaults, Initialize_PropertyStoreFails_SkipsTheLaterDefaults)
{
    EXPECT_CALL(*m_device.Get(), RetrieveDevicePropertyStore(_, WdfPropertyStoreCreateIfMissing, _, _))
        .WillOnce(Return(E_ACCESSDENIED));
    EXPECT_EQ(Initialize(), E_ACCESSDENIED);
    EXPECT_FALSE(m_sensor->IsInitialized());

    // The defaults before the store are in place; none after it.
    EXPECT_EQ(Text(m_sensor.get(), SENSOR_PROPERTY_MANUFACTURER), u"QAR Corporation");
    EXPECT_EQ(UInt(m_sensor.get(), SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY), 0);
    EXPECT_EQ(PropertyType(m_sensor.get(), SENSOR_PROPERTY_RADIO_STATE), VT_EMPTY);
    EXPECT_EQ(PropertyType(m_sensor.get(), SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), VT_EMPTY);
    EXPECT_EQ(PropertyType(m_sensor.get(), SENSOR_PROPERTY_CHANGE_SENSITIVITY), VT_EMPTY);
    EXPECT_EQ(DataField(m_sensor.get(), SENSOR_DATA_TYPE_TIMESTAMP).vt, VT_EMPTY);
    EXPECT_EQ(DataField(m_sensor.get(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);
}

TEST_F(ThermalSensorDefaults, Initialize_Succeeds_StoresTheTimestampAndNoReading)
{
    ASSERT_EQ(Initialize(), S_OK);
    EXPECT_TRUE(m_sensor->IsInitialized());
    EXPECT_EQ(DataField(m_sensor.get(), SENSOR_DATA_TYPE_TIMESTAMP).vt, VT_FILETIME);
    const PROPVARIANT temperature = DataField(m_sensor.get(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS);
    ASSERT_EQ(temperature.vt, VT_R4);
    float expected = -1024.0f;
    EXPECT_EQ(std::memcmp(&temperature.fltVal, &expected, sizeof(float)), 0);
    EXPECT_EQ(Initialize(), E_UNEXPECTED);
}

}  // namespace
