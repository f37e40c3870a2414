#include "sensor/sensor_manager.h"

#include <gtest/gtest.h>

#include <cstring>

#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;
using ::testing::_;
using ::testing::Pointee;
using ::testing::Return;

constexpr GUID kAcquisitionTrace = acquisition_test::kAcquisitionTrace;

bool SameKey(const PROPERTYKEY& a, const PROPERTYKEY& b)
{
    return a == b;
}

using SensorManager = SensorManagerTest;

SENSOR_TEST(SensorManager, Start_FirstStart_CreatesOneSensorAndBindsTheClassExtension)
{
    EXPECT_CALL(*m_device.Get(), CreateDeviceInterface(Pointee(GUID_DEVINTERFACE_SENSOR), nullptr));
    EXPECT_CALL(*m_device.Get(), AssignDeviceInterfaceState(Pointee(GUID_DEVINTERFACE_SENSOR), nullptr, TRUE));

    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);

    ASSERT_EQ(m_manager->GetListedSensorCount(), 1u);
    EXPECT_EQ(m_manager->GetSensorCount(), 1u);
    BSTR id = nullptr;
    ASSERT_EQ(Sensor()->GetSensorId(&id), S_OK);
    EXPECT_EQ(std::u16string(id), kSensorId);
    SysFreeString(id);

    const auto binds = ClassExtensionCalls(CxCall::kInitialize);
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(binds[0].device, static_cast<IUnknown*>(m_device.Get()));
    EXPECT_NE(binds[0].driver, nullptr);
    EXPECT_TRUE(m_manager->IsInitialized());
    // The manager and its sensor-driver object each count on the module.
    EXPECT_EQ(GetModuleLockCount(), m_moduleLocks + 2);
}

SENSOR_TEST(SensorManager, Start_FirstStart_GivesEverySupportedPropertyItsDefault)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    CThermalSensor* sensor = Sensor();

    ComPtr<IPortableDeviceKeyCollection> supported;
    ASSERT_EQ(sensor->GetSupportedPropertyKeys(supported.GetAddressOf()), S_OK);
    const std::vector<PROPERTYKEY> expected = {
        SENSOR_PROPERTY_TYPE,
        SENSOR_PROPERTY_STATE,
        SENSOR_PROPERTY_MIN_REPORT_INTERVAL,
        SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
        SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID,
        SENSOR_PROPERTY_MANUFACTURER,
        SENSOR_PROPERTY_MODEL,
        SENSOR_PROPERTY_SERIAL_NUMBER,
        SENSOR_PROPERTY_FRIENDLY_NAME,
        SENSOR_PROPERTY_DESCRIPTION,
        SENSOR_PROPERTY_CONNECTION_TYPE,
        SENSOR_PROPERTY_CHANGE_SENSITIVITY,
        SENSOR_PROPERTY_RADIO_STATE,
        SENSOR_PROPERTY_RADIO_STATE_PREVIOUS,
        WPD_FUNCTIONAL_OBJECT_CATEGORY,
    };
    const auto keys = Keys(supported.Get());
    ASSERT_EQ(keys.size(), expected.size());
    for (std::size_t i = 0; i < keys.size(); ++i) EXPECT_TRUE(SameKey(keys[i], expected[i])) << "key " << i;

    PROPVARIANT value;
    PropVariantInit(&value);
    ASSERT_EQ(sensor->GetProperty(SENSOR_PROPERTY_TYPE, &value), S_OK);
    EXPECT_EQ(*value.puuid, SENSOR_TYPE_ENVIRONMENTAL_TEMPERATURE);
    PropVariantClear(&value);
    ASSERT_EQ(sensor->GetProperty(SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID, &value), S_OK);
    EXPECT_EQ(*value.puuid, platform::MakeGuid("{7721DDEC-EEA7-41B7-A89C-C716A17F713A}"));
    PropVariantClear(&value);
    ASSERT_EQ(sensor->GetProperty(WPD_FUNCTIONAL_OBJECT_CATEGORY, &value), S_OK);
    EXPECT_EQ(*value.puuid, SENSOR_CATEGORY_ENVIRONMENTAL);
    PropVariantClear(&value);

    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_STATE), 1);  // 0 by default, then not available on start
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_MIN_REPORT_INTERVAL), 100);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), 1000);
    EXPECT_EQ(Text(sensor, SENSOR_PROPERTY_MANUFACTURER), u"QAR Corporation");
    EXPECT_EQ(Text(sensor, SENSOR_PROPERTY_MODEL), u"Varmel Device");
    EXPECT_EQ(Text(sensor, SENSOR_PROPERTY_SERIAL_NUMBER), THERMAL_SENSOR_BASE_ID.data());
    EXPECT_EQ(Text(sensor, SENSOR_PROPERTY_FRIENDLY_NAME), u"Varmel Device");
    EXPECT_EQ(Text(sensor, SENSOR_PROPERTY_DESCRIPTION), u"Temperature Sensor");
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_CONNECTION_TYPE), 0);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 0);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE_PREVIOUS), 0);

    ASSERT_EQ(sensor->GetProperty(SENSOR_PROPERTY_CHANGE_SENSITIVITY, &value), S_OK);
    ASSERT_EQ(value.vt, VT_UNKNOWN);
    ComPtr<IPortableDeviceValues> sensitivities;
    ASSERT_EQ(value.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                            reinterpret_cast<void**>(sensitivities.GetAddressOf())),
              S_OK);
    DWORD count = 1;
    EXPECT_EQ(sensitivities->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u);
    PropVariantClear(&value);

    EXPECT_EQ(sensor->GetRequestedRadioState(), 0u);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), CSensor::kReportIntervalNotComputed);
    EXPECT_EQ(sensor->GetDefaultReportInterval(), 1000u);
    EXPECT_EQ(sensor->GetMinReportInterval(), 100u);
    EXPECT_EQ(sensor->GetDefaultSensitivity(), 5.0f);
}

SENSOR_TEST(SensorManager, Start_FirstStart_ListsOneSettableKeyAndTwoDataFields)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    CThermalSensor* sensor = Sensor();

    ComPtr<IPortableDeviceKeyCollection> settable;
    ASSERT_EQ(sensor->GetSettablePropertyKeys(settable.GetAddressOf()), S_OK);
    const auto settableKeys = Keys(settable.Get());
    ASSERT_EQ(settableKeys.size(), 1u);
    EXPECT_TRUE(SameKey(settableKeys[0], SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL));

    // Stored, but not listed as supported.
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY), 0);
    ComPtr<IPortableDeviceKeyCollection> supported;
    ASSERT_EQ(sensor->GetSupportedPropertyKeys(supported.GetAddressOf()), S_OK);
    for (const auto& key : Keys(supported.Get())) EXPECT_FALSE(SameKey(key, SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY));

    ComPtr<IPortableDeviceKeyCollection> fields;
    ASSERT_EQ(sensor->GetSupportedDataFieldKeys(fields.GetAddressOf()), S_OK);
    const auto fieldKeys = Keys(fields.Get());
    ASSERT_EQ(fieldKeys.size(), 2u);
    EXPECT_TRUE(SameKey(fieldKeys[0], SENSOR_DATA_TYPE_TIMESTAMP));
    EXPECT_TRUE(SameKey(fieldKeys[1], SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS));
}

SENSOR_TEST(SensorManager, Start_FirstStart_PostsNotAvailableOnceAndEmptiesTheDataFields)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);

    const auto changes = ClassExtensionCalls(CxCall::kPostStateChange);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].sensorId, kSensorId);
    EXPECT_EQ(changes[0].state, SENSOR_STATE_NOT_AVAILABLE);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 1);
    EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TIMESTAMP).vt, VT_EMPTY);
    EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);
}

SENSOR_TEST(SensorManager, Start_FreshPropertyStore_WritesBothRadioStatesAsZero)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), 0);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_PREVIOUS_RADIO_STATE"), 0);
}

SENSOR_TEST(SensorManager, Start_StoreHoldingRadioStates_LoadsThem)
{
    m_device->Store().SetUInt(u"SENSOR_PROPERTY_RADIO_STATE", 2);
    m_device->Store().SetUInt(u"SENSOR_PROPERTY_PREVIOUS_RADIO_STATE", 1);
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);

    EXPECT_EQ(Sensor()->GetAppliedRadioState(), 2u);
    EXPECT_EQ(Sensor()->GetRequestedRadioState(), 2u);
    EXPECT_EQ(Sensor()->GetPreviousRadioState(), 1u);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_RADIO_STATE), 2);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_RADIO_STATE_PREVIOUS), 1);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), 2);
}

SENSOR_TEST(SensorManager, Start_FromD3Final_StartsNoAcquisition)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
}

SENSOR_TEST(SensorManager, Start_FromD3_StartsAcquisitionBeforeMakingTheSensor)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);

    // The acquisition's StartThreads comes before the sensor's initialisation.
    ASSERT_EQ(m_traces.Count(kAcquisitionTrace, 12), 1u);
    ASSERT_EQ(m_traces.Count(kManagerTrace, 19), 1u);
    EXPECT_LT(m_traces.Sequence(kAcquisitionTrace, 12), m_traces.Sequence(kManagerTrace, 19));
}

SENSOR_TEST(SensorManager, Start_AfterStop_KeepsTheSensorAndTheClassExtension)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    CThermalSensor* first = Sensor();
    ASSERT_EQ(m_manager->Stop(WdfPowerDeviceD3), S_OK);

    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    EXPECT_EQ(m_manager->GetListedSensorCount(), 1u);
    EXPECT_EQ(Sensor(), first);
    EXPECT_EQ(CxLog::Instance().made.load(), 1);

    // Back from a low-power state, acquisition starts again.
    ASSERT_EQ(m_manager->Stop(WdfPowerDeviceD3), S_OK);
    ASSERT_EQ(Start(WdfPowerDeviceD3), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    EXPECT_EQ(Sensor(), first);
}

SENSOR_TEST(SensorManager, Stop_ToD2_LeavesTheStates)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    m_manager->SetIoActive(true);
    DeliverReading(21.5);
    ASSERT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);
    CxLog::Instance().Clear();

    EXPECT_EQ(m_manager->Stop(WdfPowerDeviceD2), S_OK);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostStateChange).empty());
}

class SensorManagerStop : public ::testing::TestWithParam<WDF_POWER_DEVICE_STATE> {};

TEST_P(SensorManagerStop, Stop_ToAnotherState_SetsNotAvailable)
{
    struct Scenario : SensorManagerTest {
        void Run(WDF_POWER_DEVICE_STATE targetState)
        {
            ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
            m_manager->SetIoActive(true);
            DeliverReading(21.5);
            ASSERT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);

            EXPECT_EQ(m_manager->Stop(targetState), S_OK);
            EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 1);
            EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);
        }
    } scenario;
    scenario.Run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Targets, SensorManagerStop, ::testing::Values(WdfPowerDeviceD3, WdfPowerDeviceMaximum),
                         [](const auto& target) { return target.param == WdfPowerDeviceD3 ? "D3" : "Release"; });

SENSOR_TEST(SensorManager, Stop_Twice_SecondReturnsOkAndTouchesNothing)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3), S_OK);
    ASSERT_EQ(m_manager->Stop(WdfPowerDeviceD3), S_OK);
    ASSERT_EQ(m_acquisition->IsStarted(), 0);
    m_manager->SetIoActive(true);
    DeliverReading(21.5);
    ASSERT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);
    CxLog::Instance().Clear();

    EXPECT_EQ(m_manager->Stop(WdfPowerDeviceMaximum), S_OK);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostStateChange).empty());
}

SENSOR_TEST(SensorManager, Stop_WithNoSubscriber_EndsTheEventThreadWithoutAPass)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    // No time passes: the stop wakes the thread itself, and the wake publishes nothing.
    EXPECT_EQ(m_manager->Stop(WdfPowerDeviceD3), S_OK);
    EXPECT_EQ(m_gate->Enters(), 0);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostEvent).empty());
}

SENSOR_TEST(SensorManager, GetObjectProperties_NameAndAMissingKey_AnswersNameAndTheStoreError)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    constexpr PROPERTYKEY kMissing{platform::MakeGuid("{11111111-2222-3333-4444-555555555555}"), 7};
    ComPtr<IPortableDeviceKeyCollection> keys;
    ComPtr<IPortableDeviceValues> values;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(keys.GetAddressOf())),
              S_OK);
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(values.GetAddressOf())),
              S_OK);
    keys->Add(WPD_OBJECT_NAME);
    keys->Add(kMissing);
    keys->Add(WPD_OBJECT_PARENT_ID);
    keys->Add(WPD_OBJECT_ID);
    keys->Add(WPD_OBJECT_CAN_DELETE);

    EXPECT_EQ(Sensor()->GetObjectProperties(kSensorId, keys.Get(), values.Get()), S_FALSE);

    LPWSTR text = nullptr;
    ASSERT_EQ(values->GetStringValue(WPD_OBJECT_NAME, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"Temperature");
    CoTaskMemFree(text);
    HRESULT error = S_OK;
    ASSERT_EQ(values->GetErrorValue(kMissing, &error), S_OK);
    EXPECT_EQ(error, kNotFound);
    ASSERT_EQ(values->GetStringValue(WPD_OBJECT_PARENT_ID, &text), S_OK);
    EXPECT_EQ(std::u16string(text), u"DEVICE");
    CoTaskMemFree(text);
    ASSERT_EQ(values->GetStringValue(WPD_OBJECT_ID, &text), S_OK);
    EXPECT_EQ(std::u16string(text), kSensorId);
    CoTaskMemFree(text);
    BOOL canDelete = TRUE;
    EXPECT_EQ(values->GetBoolValue(WPD_OBJECT_CAN_DELETE, &canDelete), S_OK);
    EXPECT_FALSE(canDelete);

    EXPECT_EQ(Sensor()->GetObjectProperties(kSensorId, nullptr, values.Get()), E_INVALIDARG);
}

// A request that keeps how it was completed.
class CompletionRecordingRequest final : public platform::ComObject<CompletionRecordingRequest, IWDFIoRequest> {
public:
    void STDMETHODCALLTYPE CompleteWithInformation(HRESULT status, SIZE_T information) override
    {
        ++completions;
        this->status = status;
        this->information = information;
    }
    void STDMETHODCALLTYPE GetInputMemory(IWDFMemory** memory) override { *memory = nullptr; }
    void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory** memory) override { *memory = nullptr; }
    void STDMETHODCALLTYPE GetFileObject(IWDFFile** file) override { *file = nullptr; }
    void STDMETHODCALLTYPE GetDeviceIoControlParameters(ULONG*, SIZE_T*, SIZE_T*) override {}

    int completions = 0;
    HRESULT status = S_OK;
    SIZE_T information = 1;
};

SENSOR_TEST(SensorManager, ProcessIoControl_WithoutClassExtension_CompletesTheRequestAsNotSupported)
{
    ComPtr<CompletionRecordingRequest> request(new CompletionRecordingRequest);
    EXPECT_EQ(m_manager->ProcessIoControl(nullptr), E_POINTER);
    EXPECT_EQ(m_manager->ProcessIoControl(request.Get()), S_OK);
    EXPECT_EQ(request->completions, 1);
    EXPECT_EQ(request->status, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(request->information, 0u);

    // With a class extension the request is its to complete.
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    EXPECT_EQ(m_manager->ProcessIoControl(request.Get()), S_OK);
    EXPECT_EQ(ClassExtensionCalls(CxCall::kProcessIoControl).size(), 1u);
    EXPECT_EQ(request->completions, 1);
}

// What every failed start must leave: nothing once stopped, uninitialised and released (the
// fixture checks collections, class extensions and host device references), and no sensor left
// with the acquisition object.
class SensorManagerFailure : public SensorManagerTest {
protected:
    void ExpectAcquisitionHasNoSensor()
    {
        m_manager->Stop(WdfPowerDeviceMaximum);
        m_manager->Uninitialize();
        m_manager.Reset();
        const std::size_t before = m_traces.Count(kAcquisitionTrace, 16);
        m_acquisition->DeliverTemperature(20.0);
        EXPECT_EQ(m_traces.Count(kAcquisitionTrace, 16), before + 1);
    }
};

SENSOR_TEST(SensorManagerFailure, Start_ClassExtensionNotRegistered_GivesUnexpected)
{
    platform::testing::UnregisterClass(CLSID_SensorClassExtension);
    EXPECT_EQ(Start(WdfPowerDeviceD3Final), E_UNEXPECTED);
    EXPECT_FALSE(m_manager->IsInitialized());
    EXPECT_EQ(m_manager->GetListedSensorCount(), 1u);
    ExpectAcquisitionHasNoSensor();
}

SENSOR_TEST(SensorManagerFailure, Start_PropertyStoreFails_ReturnsItsErrorAndListsNoSensor)
{
    EXPECT_CALL(*m_device.Get(), RetrieveDevicePropertyStore(_, WdfPropertyStoreCreateIfMissing, _, _))
        .WillOnce(Return(E_ACCESSDENIED));
    EXPECT_EQ(Start(WdfPowerDeviceD3), E_ACCESSDENIED);
    EXPECT_EQ(m_manager->GetListedSensorCount(), 0u);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kInitialize).empty());
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), -1);
    ExpectAcquisitionHasNoSensor();
}

SENSOR_TEST(SensorManagerFailure, Start_KeyCollectionCannotBeMade_ReturnsItsError)
{
    platform::testing::FailCall("CoCreateInstance:{DE2D022D-2480-43BE-97F0-D1FA2CF98F4F}");
    EXPECT_EQ(Start(WdfPowerDeviceD3Final), E_OUTOFMEMORY);
    EXPECT_EQ(m_manager->GetListedSensorCount(), 0u);
    ExpectAcquisitionHasNoSensor();
}

SENSOR_TEST(SensorManagerFailure, Start_ThreadpoolMinimumFails_ReturnsTheSystemError)
{
    platform::testing::FailCall("SetThreadpoolThreadMinimum");
    EXPECT_EQ(Start(WdfPowerDeviceD3Final), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(m_manager->GetListedSensorCount(), 0u);
    ExpectAcquisitionHasNoSensor();
}

SENSOR_TEST(SensorManagerFailure, Start_EveryCheckedCallFailing_EndsCleanly)
{
    platform::testing::StartCountingCheckedCalls();
    ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
    const std::uint64_t calls = platform::testing::CheckedCallCount();
    m_manager->Stop(WdfPowerDeviceMaximum);
    m_manager->Uninitialize();
    m_manager.Reset();
    ASSERT_GT(calls, 10u);

    for (std::uint64_t k = 1; k <= calls; ++k) {
        CSensorManager* raw = nullptr;
        ASSERT_EQ(CSensorManager::CreateInstance(m_acquisition.get(), &raw), S_OK);
        ComPtr<CSensorManager> manager;
        manager.Attach(raw);
        manager->Initialize(m_device.Get(), m_gate.Get());
        platform::testing::StartCountingCheckedCalls(k);
        const HRESULT hr = manager->Start(WdfPowerDeviceD3Final);
        m_clock.RunUntilIdle();  // the event thread's calls count too
        platform::testing::ResetFaults();
        EXPECT_EQ(manager->Stop(WdfPowerDeviceMaximum), S_OK) << "call " << k;
        manager->Uninitialize();
        manager.Reset();
        EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), m_liveCollections) << "call " << k << " " << hr;
        EXPECT_EQ(CxLog::Instance().live.load(), 0) << "call " << k;
    }
}

}  // namespace
