// Texts that reach the module's fixed buffers from outside, at and past each buffer's length: the
// device's instance ID and description (260 units), and the sensor's friendly name made from the
// description (252 units). A text that fits is kept whole, a longer one is cut or refused with an
// error, and nothing is written past a buffer (the asan-ubsan build checks that).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loaded_module_fixture.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensors.h"
#include "sensor_test_client.h"
#include "sim/device_tree.h"
#include "sim/registry.h"

namespace {

using platform::host::DeviceState;
using platform::host::HostStep;

class FixedBuffers : public integration::DriverHostTest {
protected:
    FixedBuffers()
    {
        sim::ResetRegistry();
        m_host.SetUserIdleEnabled(false);
    }
    ~FixedBuffers() override { sim::ResetRegistry(); }

    // The sensor's friendly name as a client reads it.
    std::u16string FriendlyName()
    {
        integration::SensorTestClient client(m_host);
        transport::ValuesResult properties;
        EXPECT_EQ(client.Protocol().GetProperties(integration::kSensorId,
                                                  std::vector<PROPERTYKEY>{SENSOR_PROPERTY_FRIENDLY_NAME}, &properties),
                  S_OK);
        LPWSTR text = nullptr;
        if (!properties.values || FAILED(properties.values->GetStringValue(SENSOR_PROPERTY_FRIENDLY_NAME, &text))) {
            return u"(none)";
        }
        std::u16string name(text);
        CoTaskMemFree(text);
        return name;
    }
};

// The description buffer holds 259 units and a terminator; the friendly name 251 and a terminator.
TEST_F(FixedBuffers, Description_UpTo259UnitsIsRead_FriendlyNameKeepsItsFirst251)
{
    for (const std::size_t length : {std::size_t{251}, std::size_t{252}, std::size_t{259}}) {
        SCOPED_TRACE(length);
        std::u16string description(length, u'd');
        description.front() = u'<';
        description.back() = u'>';
        ASSERT_TRUE(sim::SetHostedDeviceDescription(description));
        const HostStep started = LoadAndStart();
        ASSERT_TRUE(started.ok()) << started.message;
        EXPECT_EQ(FriendlyName(), description.substr(0, 251));
        ASSERT_TRUE(Unload().ok());
    }
}

TEST_F(FixedBuffers, Description_Of260UnitsOrMore_FailsThePreparationWithTheReadsError)
{
    for (const std::size_t length : {std::size_t{260}, std::size_t{4000}}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(sim::SetHostedDeviceDescription(std::u16string(length, u'd')));
        const HostStep started = LoadAndStart();
        EXPECT_EQ(started.status, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)) << started.message;
        EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
        ASSERT_TRUE(Unload().ok());
    }
}

TEST_F(FixedBuffers, InstanceId_Of260UnitsOrMore_KeepsTheDefaultDescription)
{
    for (const std::size_t length : {std::size_t{259}, std::size_t{260}, std::size_t{4000}}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(sim::SetHostedDevice({u"ROOT\\" + std::u16string(length - 5, u'I'), u"Described probe"}));
        const HostStep started = LoadAndStart();
        ASSERT_TRUE(started.ok()) << started.message;
        EXPECT_EQ(FriendlyName(), length < 260 ? u"Described probe" : u"Varmel Device");
        ASSERT_TRUE(Unload().ok());
    }
}

}  // namespace
