// Readings of the real module's sensor as a client reads them: a reading of the simulated machine
// becomes the temperature data field (or no temperature near the no-reading sentinel), the state
// follows it, and nothing changes while the device's I/O is suspended.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "loaded_module_fixture.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_values.h"
#include "sensor_test_client.h"
#include "sim/machine.h"

namespace {

using namespace std::chrono_literals;
using integration::kSensorId;
using integration::SensorTestClient;

const std::vector<PROPERTYKEY> kDataFields = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};

ULONGLONG FileTimeValue(const PROPVARIANT& value)
{
    return (static_cast<ULONGLONG>(value.filetime.dwHighDateTime) << 32) | value.filetime.dwLowDateTime;
}

// The two data fields and the state, as one client read sees them.
struct Reading {
    VARTYPE temperatureType = VT_EMPTY;
    float temperature = 0.0f;
    ULONGLONG timestamp = 0;
    ULONG state = 0;
};

class SensorReadingsTest : public integration::DriverHostTest {
protected:
    // The reads come from a client that never connects, so nothing would keep the device from
    // idling (and its acquisition from stopping) between them.
    SensorReadingsTest() { m_host.SetUserIdleEnabled(false); }
    ~SensorReadingsTest() override { sim::ResetMachine(); }

    void ApplyMachine(const std::string& text)
    {
        const sim::ParsedMachine parsed = sim::ParseMachine(text);
        ASSERT_TRUE(parsed.machine) << parsed.error;
        ASSERT_EQ(sim::ApplyMachine(*parsed.machine), "");
    }

    // A return from low power starts acquisition, whose map reload busy-waits on the clock.
    void SuspendAndResume()
    {
        ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        const platform::host::HostStep resumed = m_host.Resume();
        platform::testing::VirtualClock::SetReadStep(0ns);
        ASSERT_TRUE(resumed.ok()) << resumed.message;
    }

    // Reads the data fields and the state; the read may wait for a fresh reading, so reads of the
    // clock advance it meanwhile.
    Reading Read(const SensorTestClient& client)
    {
        Reading reading;
        transport::ValuesResult data;
        platform::testing::VirtualClock::SetReadStep(100us);
        EXPECT_EQ(client.Protocol().GetDataFields(kSensorId, kDataFields, &data), S_OK);
        platform::testing::VirtualClock::SetReadStep(0ns);
        EXPECT_EQ(data.hr, S_OK);
        if (!data.values) return reading;
        PROPVARIANT value{};
        if (SUCCEEDED(data.values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &value))) {
            reading.temperatureType = value.vt;
            if (value.vt == VT_R4) reading.temperature = value.fltVal;
        }
        PropVariantClear(&value);
        if (SUCCEEDED(data.values->GetValue(SENSOR_DATA_TYPE_TIMESTAMP, &value)) && value.vt == VT_FILETIME) {
            reading.timestamp = FileTimeValue(value);
        }
        PropVariantClear(&value);

        transport::ValuesResult properties;
        EXPECT_EQ(
            client.Protocol().GetProperties(kSensorId, std::vector<PROPERTYKEY>{SENSOR_PROPERTY_STATE}, &properties),
            S_OK);
        if (properties.values) properties.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, &reading.state);
        return reading;
    }
};

struct SentinelCase {
    const char* name;
    const char* mapValue;  // what the AC map gives for the interface probe's raw value
    VARTYPE stored;
    SensorState state;
};

class SensorSentinelReadings : public SensorReadingsTest, public ::testing::WithParamInterface<SentinelCase> {};

TEST_P(SensorSentinelReadings, ReadingNearTheSentinel_NoTemperatureButAFreshTimestamp)
{
    const SentinelCase c = GetParam();
    ApplyMachine(std::string("[machine]\npower = ac\n[interface-probe]\nraw = 452\n[map ac]\n452 = ") + c.mapValue +
                 "\n");
    ASSERT_TRUE(LoadAndStart().ok());
    SensorTestClient client(m_host);
    SuspendAndResume();
    const Reading before = Read(client);

    m_clock.AdvanceBy(2s);  // the collector takes the probe's reading
    const Reading after = Read(client);
    EXPECT_EQ(after.temperatureType, c.stored);
    if (c.stored == VT_R4) {
        EXPECT_EQ(after.temperature, std::stof(c.mapValue));
    }
    EXPECT_EQ(after.state, static_cast<ULONG>(c.state));
    EXPECT_GT(after.timestamp, before.timestamp);
}

INSTANTIATE_TEST_SUITE_P(Sentinel, SensorSentinelReadings,
                         ::testing::Values(SentinelCase{"NoReading", "-1024.0", VT_EMPTY, SENSOR_STATE_NOT_AVAILABLE},
                                           SentinelCase{"WithinTolerance", "-1023.995", VT_EMPTY,
                                                        SENSOR_STATE_NOT_AVAILABLE},
                                           SentinelCase{"OutsideTolerance", "-1023.98", VT_R4, SENSOR_STATE_READY}),
                         [](const auto& reading) { return std::string(reading.param.name); });

TEST_F(SensorReadingsTest, WhileIoIsSuspended_ReadingsChangeNoDataField)
{
    ApplyMachine(sim::kDefaultMachine);
    ASSERT_TRUE(LoadAndStart().ok());
    SensorTestClient client(m_host);
    const Reading active = Read(client);
    ASSERT_NE(active.timestamp, 0u);

    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    m_clock.AdvanceBy(10s);
    const Reading suspended = Read(client);
    EXPECT_EQ(suspended.timestamp, active.timestamp);
    EXPECT_EQ(suspended.temperatureType, active.temperatureType);
}

}  // namespace
