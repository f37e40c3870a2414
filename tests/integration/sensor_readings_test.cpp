// Readings of the real module's sensor as a client reads them: a reading of the simulated machine
// becomes the temperature data field (or no temperature near the no-reading sentinel), the state
// follows it, and nothing changes while the device's I/O is suspended.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
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

// The two data fields and the state, as one client read sees them.
struct Reading {
    VARTYPE temperatureType = VT_EMPTY;
    float temperature = 0.0f;
    ULONGLONG timestamp = 0;
    ULONG state = 0;
};

class SensorReadingsTest : public integration::SensorHostTest {
protected:
    // Reads the data fields and the state.
    Reading Read(const SensorTestClient& client)
    {
        Reading reading;
        transport::ValuesResult data;
        WithSteppingClock([&] { data = client.ReadDataFields(); });
        EXPECT_EQ(data.hr, S_OK);
        PROPVARIANT value{};
        if (data.values && SUCCEEDED(data.values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &value))) {
            reading.temperatureType = value.vt;
        }
        PropVariantClear(&value);
        reading.temperature = integration::Temperature(data.values.Get());
        reading.timestamp = integration::Timestamp(data.values.Get());

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

// Names the case in test output.
void PrintTo(const SentinelCase& value, std::ostream* out)
{
    *out << value.name;
}

class SensorSentinelReadings : public SensorReadingsTest, public ::testing::WithParamInterface<SentinelCase> {};

TEST_P(SensorSentinelReadings, ReadingNearTheSentinel_NoTemperatureButAFreshTimestamp)
{
    const SentinelCase c = GetParam();
    ApplyMachine(std::string("[machine]\npower = ac\n[interface-probe]\nraw = 452\n[map ac]\n452 = ") + c.mapValue +
                 "\n");
    ASSERT_TRUE(LoadAndStart().ok());
    SensorTestClient client(m_host);
    StartAcquisition();
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
