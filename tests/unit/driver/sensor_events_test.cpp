// Readings into data fields and state, new-data signals, the event thread's passes, and the
// refresh of the derived properties.
#include <gtest/gtest.h>

#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;

ULONGLONG FileTimeValue(const PROPVARIANT& value)
{
    return (static_cast<ULONGLONG>(value.filetime.dwHighDateTime) << 32) | value.filetime.dwLowDateTime;
}

class SensorEvents : public SensorManagerTest {
public:
    void SetUp() override
    {
        ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
        m_manager->SetIoActive(true);
        CxLog::Instance().Clear();
    }
};

struct ReadingCase {
    const char* name;
    double previous;  // the reading before, which set the state
    double reading;
    VARTYPE stored;
    SensorState state;
};

class SensorReadings : public ::testing::TestWithParam<ReadingCase> {};

TEST_P(SensorReadings, UpdateDataFields_Reading_StoresTemperatureAndStateAndANewTimestamp)
{
    struct Scenario : SensorEvents {
        void Run(const ReadingCase& reading)
        {
            DeliverReading(reading.previous);
            const ULONGLONG before = FileTimeValue(DataField(Sensor(), SENSOR_DATA_TYPE_TIMESTAMP));
            m_clock.AdvanceBy(1s);

            m_acquisition->SetLatestTemperature(reading.reading);
            EXPECT_EQ(Sensor()->UpdateDataFields(), S_OK);

            const PROPVARIANT temperature = DataField(Sensor(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS);
            EXPECT_EQ(temperature.vt, reading.stored);
            if (reading.stored == VT_R4) {
                EXPECT_EQ(temperature.fltVal, static_cast<float>(reading.reading));
            }
            EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), static_cast<long long>(reading.state));
            EXPECT_EQ(Sensor()->GetLastReading(), reading.reading);
            EXPECT_GT(FileTimeValue(DataField(Sensor(), SENSOR_DATA_TYPE_TIMESTAMP)), before);
            EXPECT_EQ(Sensor()->GetDataReady(), 1);
        }
    } scenario;
    scenario.SetUp();
    if (!::testing::Test::HasFatalFailure()) scenario.Run(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Sentinel, SensorReadings,
                         ::testing::Values(ReadingCase{"NoReading", -1024.0, -1024.0, VT_EMPTY,
                                                       SENSOR_STATE_NOT_AVAILABLE},
                                           ReadingCase{"NoReadingAfterReady", 21.5, -1024.0, VT_EMPTY,
                                                       SENSOR_STATE_NOT_AVAILABLE},
                                           ReadingCase{"JustAbove", -1024.0, -1024.0 + 0.005, VT_EMPTY,
                                                       SENSOR_STATE_NOT_AVAILABLE},
                                           ReadingCase{"OutsideTolerance", -1024.0, -1024.0 + 0.02, VT_R4,
                                                       SENSOR_STATE_READY},
                                           ReadingCase{"Room", -1024.0, 21.5, VT_R4, SENSOR_STATE_READY}),
                         [](const auto& reading) { return std::string(reading.param.name); });

SENSOR_TEST(SensorEvents, UpdateDataFields_ReadyAfterNoReading_PostsTheStateChange)
{
    DeliverReading(21.5);
    const auto changes = ClassExtensionCalls(CxCall::kPostStateChange);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].state, SENSOR_STATE_READY);
    EXPECT_EQ(changes[0].sensorId, kSensorId);
}

SENSOR_TEST(SensorEvents, UpdateDataFields_IoInactiveOrRadioOff_ChangesNothing)
{
    m_acquisition->SetLatestTemperature(21.5);
    m_manager->SetIoActive(false);
    EXPECT_EQ(Sensor()->UpdateDataFields(), S_OK);
    m_manager->SetIoActive(true);
    Sensor()->SetRequestedRadioState(1);
    EXPECT_EQ(Sensor()->UpdateDataFields(), S_OK);

    EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TIMESTAMP).vt, VT_EMPTY);
    EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 1);
    EXPECT_EQ(Sensor()->GetDataReady(), 0);
}

SENSOR_TEST(SensorEvents, UpdateDataFields_TimestampFails_ReturnsTheErrorAndSetsNotAvailable)
{
    DeliverReading(21.5);
    m_acquisition->SetLatestTemperature(30.0);
    platform::testing::FailCall("SystemTimeToFileTime");
    EXPECT_EQ(Sensor()->UpdateDataFields(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 1);
    EXPECT_EQ(Sensor()->GetLastReading(), 21.5);
}

SENSOR_TEST(SensorEvents, SignalNewData_WithoutSubscriber_RaisesNothing)
{
    DeliverReading(21.5);
    Sensor()->SignalNewData();
    m_clock.RunUntilIdle();
    EXPECT_FALSE(Sensor()->TakeNewDataFlag());
    EXPECT_EQ(m_gate->Enters(), 0);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostEvent).empty());
}

SENSOR_TEST(SensorEvents, SignalNewData_WithSubscriber_PostsOneEventWithTheDataFields)
{
    ASSERT_EQ(Sensor()->Subscribe(7), S_OK);
    DeliverReading(21.5);
    Sensor()->SignalNewData();
    m_clock.RunUntilIdle();

    const auto events = ClassExtensionCalls(CxCall::kPostEvent);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].sensorId, kSensorId);
    const auto& entries = events[0].event;
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_TRUE(entries[0].key == SENSOR_EVENT_PARAMETER_EVENT_ID);
    EXPECT_EQ(entries[0].guid, SENSOR_EVENT_DATA_UPDATED);
    EXPECT_TRUE(entries[1].key == SENSOR_DATA_TYPE_TIMESTAMP);
    EXPECT_EQ(entries[1].vt, VT_FILETIME);
    EXPECT_TRUE(entries[2].key == SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS);
    EXPECT_EQ(entries[2].flt, 21.5f);

    // One pass, bracketed on the device's in-flight word; the flag was taken.
    EXPECT_EQ(m_gate->Enters(), 1);
    EXPECT_EQ(m_gate->Leaves(), 1);
    EXPECT_EQ(m_gate->Word(), 0u);
    EXPECT_FALSE(Sensor()->TakeNewDataFlag());
    // An interval not computed yet lets nothing idle.
    EXPECT_TRUE(m_device->IdleSettings().empty());
}

SENSOR_TEST(SensorEvents, EventPass_DuringTeardown_PostsNothingAndClearsItsBit)
{
    ASSERT_EQ(Sensor()->Subscribe(7), S_OK);
    m_gate->BeginTeardown();
    DeliverReading(21.5);
    Sensor()->SignalNewData();
    m_clock.RunUntilIdle();

    EXPECT_EQ(m_gate->Enters(), 1);
    EXPECT_EQ(m_gate->Word(), 0x1u);
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostEvent).empty());
}

SENSOR_TEST(SensorEvents, Subscribe_SecondTimeOrUnknownClient_GivesUnexpected)
{
    ASSERT_EQ(Sensor()->Subscribe(7), S_OK);
    EXPECT_EQ(Sensor()->GetReportingMode(), 2);
    EXPECT_EQ(Sensor()->GetPeriodic(), 1);
    EXPECT_EQ(Sensor()->Subscribe(7), E_UNEXPECTED);
    EXPECT_EQ(Sensor()->Unsubscribe(8), E_UNEXPECTED);
    EXPECT_EQ(Sensor()->GetSubscriberCount(), 1u);

    ASSERT_EQ(Sensor()->Unsubscribe(7), S_OK);
    EXPECT_EQ(Sensor()->GetReportingMode(), 1);
    EXPECT_EQ(Sensor()->GetPeriodic(), 0);
    EXPECT_EQ(Sensor()->Unsubscribe(7), E_UNEXPECTED);

    // Nobody subscribed any more: no event.
    DeliverReading(21.5);
    Sensor()->SignalNewData();
    m_clock.RunUntilIdle();
    EXPECT_TRUE(ClassExtensionCalls(CxCall::kPostEvent).empty());
}

SENSOR_TEST(SensorEvents, RefreshDerivedProperties_RadioOffAndOn_PublishesAndPersistsIt)
{
    DeliverReading(21.5);
    CxLog::Instance().Clear();

    Sensor()->SetRequestedRadioState(1);
    EXPECT_EQ(Sensor()->RefreshDerivedProperties(), S_OK);
    EXPECT_EQ(Sensor()->GetAppliedRadioState(), 1u);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_RADIO_STATE), 1);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), 1);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 1);
    EXPECT_EQ(DataField(Sensor(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);

    Sensor()->SetRequestedRadioState(0);
    EXPECT_EQ(Sensor()->RefreshDerivedProperties(), S_OK);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 3);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), 0);
    const auto changes = ClassExtensionCalls(CxCall::kPostStateChange);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].state, SENSOR_STATE_NOT_AVAILABLE);
    EXPECT_EQ(changes[1].state, SENSOR_STATE_INITIALIZING);
}

SENSOR_TEST(SensorEvents, RefreshDerivedProperties_UnknownRadioState_PublishesNothingAndFailsOnlyTheRadioStep)
{
    Sensor()->SetRequestedRadioState(5);
    HRESULT radioStep = S_OK;
    EXPECT_EQ(Sensor()->RefreshDerivedProperties(&radioStep), S_OK);
    EXPECT_EQ(radioStep, E_UNEXPECTED);
    EXPECT_EQ(Sensor()->GetAppliedRadioState(), 5u);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_RADIO_STATE), 0);
    EXPECT_EQ(m_device->Store().UInt(u"SENSOR_PROPERTY_RADIO_STATE"), 0);
}

SENSOR_TEST(SensorEvents, RefreshDerivedProperties_WorkingValues_WrittenOnlyWhileIoActive)
{
    Sensor()->SetCurrentReportInterval(250);
    Sensor()->SetDesiredAccuracy(1);
    Sensor()->SetSensitivity(1, 5.0f);
    m_manager->SetIoActive(false);
    ASSERT_EQ(Sensor()->RefreshDerivedProperties(), S_OK);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), 1000);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY), 0);

    m_manager->SetIoActive(true);
    ASSERT_EQ(Sensor()->RefreshDerivedProperties(), S_OK);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), 250);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY), 1);
    PROPVARIANT stored;
    PropVariantInit(&stored);
    ASSERT_EQ(Sensor()->GetProperty(SENSOR_PROPERTY_CHANGE_SENSITIVITY, &stored), S_OK);
    ComPtr<IPortableDeviceValues> sensitivities;
    ASSERT_EQ(stored.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                             reinterpret_cast<void**>(sensitivities.GetAddressOf())),
              S_OK);
    PropVariantClear(&stored);
    FLOAT sensitivity = 0.0f;
    EXPECT_EQ(sensitivities->GetFloatValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &sensitivity), S_OK);
    EXPECT_EQ(sensitivity, 5.0f);
}

SENSOR_TEST(SensorManagerTest, Acquisition_TestModeReadings_ReachTheSubscriberAsEvents)
{
    ASSERT_EQ(Start(WdfPowerDeviceD3), S_OK);
    m_manager->SetIoActive(true);
    ASSERT_EQ(Sensor()->Subscribe(7), S_OK);

    // The reporter skips the tick after its start's no-reading; by the third tick it has delivered.
    m_clock.AdvanceBy(3000ms);
    const auto events = ClassExtensionCalls(CxCall::kPostEvent);
    ASSERT_FALSE(events.empty());
    ASSERT_EQ(events.back().event.size(), 3u);
    EXPECT_EQ(events.back().event[2].flt, -8.8f);
    EXPECT_EQ(UInt(Sensor(), SENSOR_PROPERTY_STATE), 0);
    EXPECT_EQ(Sensor()->GetLastReading(), -8.8);
}

SENSOR_TEST(SensorEvents, FindSensorById_OtherLetterCase_FindsTheSensor)
{
    std::u16string lower = kSensorId;
    for (char16_t& c : lower) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    CThermalSensor* found = nullptr;
    EXPECT_EQ(m_manager->FindSensorById(lower.c_str(), &found), S_OK);
    EXPECT_EQ(found, Sensor());
    const std::u16string other = std::u16string(THERMAL_SENSOR_BASE_ID.data()) + u"-1";
    EXPECT_EQ(m_manager->FindSensorById(other.c_str(), &found), kNotFound);
}

}  // namespace
