// The host's idle policy with the real module: its first entry to D0 starts no acquisition, the
// device then idles, a power reference brings it back with acquisition running, and an idle
// device is removed and unloaded cleanly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "loaded_module_fixture.h"
#include "platform/sensorcx/sensors.h"
#include "sensor_test_client.h"
#include "sim/registry.h"

namespace {

using namespace std::chrono_literals;
using platform::host::DeviceState;
using platform::host::RecordKind;
using ::testing::ElementsAre;

// "Method(arguments)" of each plug-and-play callback, in order.
std::vector<std::string> PnpCallbacks(const platform::host::HostRecord& record)
{
    std::vector<std::string> lines;
    for (const auto& entry : record.Entries(RecordKind::kCallback)) {
        if (entry.name.rfind("IPnp", 0) != 0) continue;
        lines.push_back(entry.name.substr(entry.name.find("::") + 2) + "(" + entry.arguments + ")");
    }
    return lines;
}

class ModuleIdle : public integration::DriverHostTest {
protected:
    ModuleIdle()
    {
        sim::ResetRegistry();
        sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure", u"TestMode",
                               u"Enable");
    }
    ~ModuleIdle() override { sim::ResetRegistry(); }

    // The temperature data field as a client reads it (VT_EMPTY while there is no reading).
    VARTYPE ReadTemperature(const integration::SensorTestClient& client, float* value)
    {
        transport::ValuesResult data;
        platform::testing::VirtualClock::SetReadStep(100us);
        EXPECT_EQ(client.Protocol().GetDataFields(integration::kSensorId,
                                                  std::vector<PROPERTYKEY>{SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS}, &data),
                  S_OK);
        platform::testing::VirtualClock::SetReadStep(0ns);
        PROPVARIANT temperature{};
        if (data.values) data.values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &temperature);
        const VARTYPE type = temperature.vt;
        if (type == VT_R4) *value = temperature.fltVal;
        PropVariantClear(&temperature);
        return type;
    }
};

TEST_F(ModuleIdle, AfterTheFirstD0EntryTheDeviceIdles_AReferenceWakesItWithAcquisitionRunning)
{
    ASSERT_TRUE(LoadAndStart().ok());
    integration::SensorTestClient client(m_host);
    m_host.Record().Clear();
    m_clock.AdvanceBy(2s);
    ASSERT_EQ(m_host.State(), DeviceState::kIdle);
    EXPECT_EQ(m_host.PowerState(), WdfPowerDeviceD3);
    EXPECT_THAT(PnpCallbacks(m_host.Record()), ElementsAre("OnSelfManagedIoSuspend()", "OnD0Exit(targetState=4)"));
    float value = 0.0f;
    EXPECT_EQ(ReadTemperature(client, &value), VT_EMPTY);  // no acquisition ran after the first D0 entry

    // The return from low power starts acquisition, whose map reload busy-waits on the clock.
    platform::testing::VirtualClock::SetReadStep(kReadStep);
    m_host.Device()->StopIdle(FALSE);
    m_clock.RunUntilIdle();
    platform::testing::VirtualClock::SetReadStep(0ns);
    ASSERT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_THAT(PnpCallbacks(m_host.Record()),
                ElementsAre("OnSelfManagedIoSuspend()", "OnD0Exit(targetState=4)", "OnD0Entry(previousState=4)",
                            "OnSelfManagedIoRestart()"));
    m_clock.AdvanceBy(2s);
    ASSERT_EQ(ReadTemperature(client, &value), VT_R4);
    EXPECT_FLOAT_EQ(value, -8.8f);

    // Idle again, then removed and unloaded from there: no exit from D0 is left to make.
    m_host.Device()->ResumeIdle();
    m_clock.AdvanceBy(100ms);
    ASSERT_EQ(m_host.State(), DeviceState::kIdle);
    m_host.Record().Clear();
    ASSERT_TRUE(m_host.Remove().ok());
    EXPECT_THAT(PnpCallbacks(m_host.Record()),
                ElementsAre("OnSelfManagedIoFlush()", "OnSelfManagedIoCleanup()", "OnReleaseHardware()"));
    EXPECT_THAT(m_host.Record().Entries(RecordKind::kDriverError), ::testing::IsEmpty());
}

}  // namespace
