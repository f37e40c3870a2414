// The kit of the integration tests of the sensor service: clients of the real module's sensor in
// the test's process, and a host fixture that builds the simulated machine and starts acquisition.
//
//   class MySensorTest : public integration::SensorHostTest {};
//   TEST_F(MySensorTest, ...) {
//       ApplyMachine(sim::kDefaultMachine);
//       ASSERT_TRUE(LoadAndStart().ok());
//       integration::SensorTestClient client(m_host);           // one open file, taking events
//       EXPECT_EQ(client.Connect(), S_OK);                       // the callback's HRESULT
//       EXPECT_EQ(client.Subscribe(), S_OK);
//       StartAcquisition();                                       // a return from low power
//       m_clock.AdvanceBy(5s);
//       EXPECT_FALSE(client.DataUpdates().empty());
//   }
//
// BoundSensorDriver gives the sensor-driver object that the class extension was bound to, for the
// few calls that a test makes directly (at a chosen moment of teardown).
//
// Thread safety: a client may be used from several threads at once. Its events arrive on the
// threads that post them; the event list and the hook are guarded by a mutex, and the hook runs
// without it. A client's file is closed when it is destroyed, which must happen before the host
// unloads.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/driver_host.h"
#include "host/host_transport.h"
#include "loaded_module_fixture.h"
#include "platform/com/com_ptr.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensor_driver.h"
#include "platform/sensorcx/sensors.h"
#include "platform_testing/sensor_class_extension.h"
#include "sim/machine.h"
#include "transport/sensor_client.h"
#include "transport/sensor_protocol.h"

namespace integration {

// The object ID of the module's one sensor.
inline constexpr const WCHAR* kSensorId = THERMAL_SENSOR_ID;

inline const std::vector<PROPERTYKEY> kDataFieldKeys = {SENSOR_DATA_TYPE_TIMESTAMP,
                                                        SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};

class SensorTestClient {
public:
    using EventHook = std::function<void(const transport::SensorEvent&)>;

    // Opens a file of the host's device; a file that cannot be opened is a test failure unless
    // the caller expects it (fMayFail), and every operation of such a client fails with E_HANDLE.
    explicit SensorTestClient(platform::host::DriverHost& host,
                              platform::host::FileAccess access = platform::host::FileAccess::kReadWrite,
                              bool fMayFail = false)
        : m_host(host), m_events(std::make_shared<EventLog>())
    {
        const HRESULT opened = host.OpenFile(
            access, [events = m_events](std::span<const std::uint8_t> bytes) { events->Add(bytes); }, &m_file);
        if (!fMayFail) {
            EXPECT_EQ(opened, S_OK);
        }
        if (m_file) m_protocol = std::make_unique<transport::SensorClient>(MakeSensorTransport(host, m_file.Get()));
    }
    ~SensorTestClient() { Close(); }
    SensorTestClient(const SensorTestClient&) = delete;
    SensorTestClient& operator=(const SensorTestClient&) = delete;

    // Closes the file now: the class extension unsubscribes and disconnects what it left behind.
    void Close()
    {
        m_protocol.reset();
        if (m_file) m_host.CloseFile(m_file.Get());
        m_file.Reset();
    }

    bool IsOpen() const { return static_cast<bool>(m_protocol); }
    const transport::SensorClient& Protocol() const { return *m_protocol; }
    platform::host::CHostFile* File() const { return m_file.Get(); }

    // The callback's HRESULT of a client operation, or the exchange's failure.
    HRESULT Connect(std::u16string_view id = kSensorId) const { return Call(&transport::SensorClient::Connect, id); }
    HRESULT Disconnect(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Disconnect, id);
    }
    HRESULT Subscribe(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Subscribe, id);
    }
    HRESULT Unsubscribe(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Unsubscribe, id);
    }
    // Writes the client's report interval; the callback's HRESULT.
    HRESULT SetReportInterval(ULONG milliseconds) const;
    // Reads both data fields; the callback's HRESULT and the values.
    transport::ValuesResult ReadDataFields() const;

    // The events delivered so far, in order.
    std::vector<transport::SensorEvent> Events() const { return m_events->Copy(); }
    std::vector<transport::SensorEvent> DataUpdates() const;
    std::vector<SensorState> StateChanges() const;
    // Runs for every event from now on, on the thread that delivers it; null stops it.
    void SetEventHook(EventHook hook) { m_events->SetHook(std::move(hook)); }

private:
    class EventLog {
    public:
        void Add(std::span<const std::uint8_t> bytes)
        {
            transport::SensorEvent event;
            EXPECT_EQ(transport::DecodeSensorEvent(bytes, &event), S_OK);
            EventHook hook;
            {
                std::lock_guard lock(m_mutex);
                m_events.push_back(event);
                hook = m_hook;
            }
            if (hook) hook(event);
        }
        std::vector<transport::SensorEvent> Copy() const
        {
            std::lock_guard lock(m_mutex);
            return m_events;
        }
        void SetHook(EventHook hook)
        {
            std::lock_guard lock(m_mutex);
            m_hook = std::move(hook);
        }

    private:
        mutable std::mutex m_mutex;
        std::vector<transport::SensorEvent> m_events;
        EventHook m_hook;
    };

    using Operation = HRESULT (transport::SensorClient::*)(std::u16string_view, HRESULT*) const;
    HRESULT Call(Operation operation, std::u16string_view id) const
    {
        if (!m_protocol) return E_HANDLE;
        HRESULT result = E_FAIL;
        const HRESULT exchange = (m_protocol.get()->*operation)(id, &result);
        return SUCCEEDED(exchange) ? result : exchange;
    }

    platform::host::DriverHost& m_host;
    std::shared_ptr<EventLog> m_events;
    platform::ComPtr<platform::host::CHostFile> m_file;
    std::unique_ptr<transport::SensorClient> m_protocol;
};

// The sensor-driver object of the last class extension bound while the recorder recorded, with a
// reference for the caller; null when none was bound.
platform::ComPtr<ISensorDriver> BoundSensorDriver(const platform::testing::SensorClassExtensionRecorder& recorder);

// A temperature data field as a float; NaN when it holds none.
float Temperature(IPortableDeviceValues* values);
// A timestamp data field in 100 ns units; 0 when it holds none.
ULONGLONG Timestamp(IPortableDeviceValues* values);

// DriverHostTest with the simulated machine reset at the end, no idling, and the steps that the
// sensor tests share.
class SensorHostTest : public DriverHostTest {
protected:
    // The device never idles by itself: the tests choose when it leaves D0. (A return from idle
    // starts acquisition, whose map reload busy-waits on a clock that the tests hold still.)
    SensorHostTest() { m_host.SetUserIdleEnabled(false); }
    ~SensorHostTest() override { sim::ResetMachine(); }

    // Makes the simulated machine what the text describes (docs/machine-file.md).
    void ApplyMachine(const std::string& text);
    // Suspends the device to D3 and resumes it: a return from low power starts acquisition, whose
    // map reload busy-waits on the clock, so reads of the clock advance it meanwhile.
    void StartAcquisition();
    // Runs a call while each read of the clock advances it a little, so that the sensor's busy
    // wait for a fresh reading ends; returns the virtual time the call took.
    std::chrono::nanoseconds WithSteppingClock(const std::function<void()>& call);
};

}  // namespace integration
