// The sensor-driver callbacks where the real module cannot take them: a sensor marked disabled,
// and a sensor-driver object that has no manager (yet, or any more).
#include "sensor/sensor_ddi.h"

#include <gtest/gtest.h>

#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;

ComPtr<IPortableDeviceKeyCollection> KeysOf(std::initializer_list<PROPERTYKEY> keys)
{
    ComPtr<IPortableDeviceKeyCollection> collection;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(collection.GetAddressOf())),
              S_OK);
    for (const PROPERTYKEY& key : keys) EXPECT_EQ(collection->Add(key), S_OK);
    return collection;
}

DWORD CountOf(IPortableDeviceValues* values)
{
    DWORD count = 0;
    EXPECT_EQ(values->GetCount(&count), S_OK);
    return count;
}

class SensorDdiTest : public SensorManagerTest {
public:
    void SetUp() override { ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK); }

protected:
    ComPtr<ISensorDriver> Driver()
    {
        ComPtr<ISensorDriver> driver;
        const auto bound = ClassExtensionCalls(CxCall::kInitialize);
        EXPECT_EQ(bound.size(), 1u);
        if (bound.empty()) return driver;
        static_cast<IUnknown*>(const_cast<void*>(bound[0].driver))
            ->QueryInterface(__uuidof(ISensorDriver), reinterpret_cast<void**>(driver.GetAddressOf()));
        return driver;
    }
};

SENSOR_TEST(SensorDdiTest, GetProperties_DisabledSensor_AnswersAnEmptySet)
{
    ComPtr<ISensorDriver> driver = Driver();
    ASSERT_TRUE(driver);
    std::u16string id = kSensorId;
    ComPtr<IPortableDeviceKeyCollection> keys = KeysOf({WPD_OBJECT_ID, SENSOR_PROPERTY_STATE});
    ComPtr<IPortableDeviceValues> values;
    ASSERT_EQ(driver->OnGetProperties(nullptr, id.data(), keys.Get(), values.GetAddressOf()), S_OK);
    EXPECT_EQ(CountOf(values.Get()), 2u);

    ASSERT_EQ(m_manager->SetSensorDisabled(0, true), S_OK);
    ASSERT_EQ(driver->OnGetProperties(nullptr, id.data(), keys.Get(), values.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(CountOf(values.Get()), 0u);
    // Its data fields are still served: only the property read looks at the flag.
    ComPtr<IPortableDeviceKeyCollection> fields;
    EXPECT_EQ(driver->OnGetSupportedDataFields(id.data(), fields.GetAddressOf()), S_OK);
    // Every callback entered the device's gate and left it.
    EXPECT_EQ(m_gate->Word(), 0u);
    EXPECT_EQ(m_gate->Enters(), m_gate->Leaves());
}

TEST(SensorDdi, WithoutManager_CallbacksAnswerUnexpected)
{
    CSensorDdi* made = nullptr;
    EXPECT_EQ(CSensorDdi::CreateInstance(nullptr, &made), E_POINTER);
    ASSERT_EQ(CSensorDdi::CreateInstance(GetThermalAcquisition(), &made), S_OK);
    ComPtr<CSensorDdi> ddi;
    ddi.Attach(made);
    std::u16string id = kSensorId;

    ComPtr<IPortableDeviceKeyCollection> keys;
    EXPECT_EQ(ddi->OnGetSupportedProperties(id.data(), keys.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(ddi->OnGetSupportedDataFields(id.data(), keys.ReleaseAndGetAddressOf()), E_UNEXPECTED);
    GUID* events = nullptr;
    ULONG count = 7;
    EXPECT_EQ(ddi->OnGetSupportedEvents(id.data(), &events, &count), E_UNEXPECTED);
    EXPECT_EQ(events, nullptr);
    EXPECT_EQ(count, 0u);
    ComPtr<IPortableDeviceValuesCollection> objects;
    EXPECT_EQ(ddi->OnGetSupportedSensorObjects(objects.GetAddressOf()), E_UNEXPECTED);
    EXPECT_EQ(ddi->OnClientConnect(nullptr, id.data()), E_UNEXPECTED);
    EXPECT_EQ(ddi->OnClientSubscribeToEvents(nullptr, id.data()), E_UNEXPECTED);
    EXPECT_EQ(ddi->OnClientDisconnect(nullptr, id.data()), E_POINTER);
    // Null out-pointers and arguments.
    EXPECT_EQ(ddi->OnGetSupportedProperties(id.data(), nullptr), E_POINTER);
    EXPECT_EQ(ddi->OnGetSupportedEvents(id.data(), nullptr, &count), E_POINTER);
    EXPECT_EQ(ddi->OnGetProperties(nullptr, id.data(), nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(ddi->OnGetDataFields(nullptr, nullptr, keys.Get(), nullptr), E_INVALIDARG);
    EXPECT_EQ(ddi->OnSetProperties(nullptr, id.data(), nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(ddi->OnProcessWpdMessage(nullptr, nullptr), S_OK);
}

}  // namespace
