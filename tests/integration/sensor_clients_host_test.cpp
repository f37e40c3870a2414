// The real module's clients through the host: a client's connection keeps the device working and
// the device idles without one, the next client gets readings however soon it comes after the last
// one left, a long report interval lets it idle between reports, the radio
// state outlives the host, a client whose file goes away leaves nothing behind, and clients on
// several threads meet the idle timer safely.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "allocation_failure.h"
#include "host/host_transport.h"
#include "loaded_module_fixture.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_values.h"
#include "sensor_test_client.h"
#include "sim/registry.h"
#include "transport/sensor_protocol.h"

namespace {

using namespace std::chrono_literals;
using integration::kSensorId;
using platform::ComPtr;
using platform::host::CHostFile;
using platform::host::DeviceState;
using platform::host::FileAccess;
using platform::host::RecordKind;

// A client that takes the sensor's events: one file of the device, opened with an event handler.
class EventClient {
public:
    explicit EventClient(platform::host::DriverHost& host) : m_host(host)
    {
        EXPECT_EQ(host.OpenFile(
                      FileAccess::kReadWrite, [this](std::span<const std::uint8_t> event) { Take(event); }, &m_file),
                  S_OK);
        m_protocol = std::make_unique<transport::SensorClient>(platform::host::MakeSensorTransport(host, m_file.Get()));
    }
    ~EventClient() { Close(); }
    EventClient(const EventClient&) = delete;
    EventClient& operator=(const EventClient&) = delete;

    HRESULT Connect() const { return Call(&transport::SensorClient::Connect); }
    HRESULT Disconnect() const { return Call(&transport::SensorClient::Disconnect); }
    HRESULT Subscribe() const { return Call(&transport::SensorClient::Subscribe); }
    HRESULT Unsubscribe() const { return Call(&transport::SensorClient::Unsubscribe); }

    // The client's write of the report interval: the exchange's failure, else the write's HRESULT.
    HRESULT AskInterval(ULONG milliseconds) const
    {
        ComPtr<IPortableDeviceValues> values;
        EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                                   reinterpret_cast<void**>(values.GetAddressOf())),
                  S_OK);
        values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, milliseconds);
        transport::ValuesResult result;
        const HRESULT exchange = m_protocol->SetProperties(kSensorId, values.Get(), &result);
        return FAILED(exchange) ? exchange : result.hr;
    }

    // A radio-state control code with a 4-byte value: the request's status.
    HRESULT SetRadio(ULONG code, LONG value) const
    {
        BYTE bytes[sizeof(value)];
        std::memcpy(bytes, &value, sizeof(value));
        return m_host.DeviceIoControl(m_file.Get(), code, bytes, 0).status;
    }
    ULONG GetRadio(ULONG code) const
    {
        const platform::host::IoResult reply = m_host.DeviceIoControl(m_file.Get(), code, {}, sizeof(ULONG));
        EXPECT_EQ(reply.status, S_OK);
        ULONG value = 0xFFFFFFFF;
        if (reply.output.size() == sizeof(value)) std::memcpy(&value, reply.output.data(), sizeof(value));
        return value;
    }

    // What the data-updated events carried, and the host's state when each arrived.
    struct DataEvent {
        VARTYPE temperatureType = VT_EMPTY;
        float temperature = 0.0f;
        DeviceState hostState = DeviceState::kNone;
    };
    std::vector<DataEvent> DataEvents() const
    {
        std::lock_guard lock(m_mutex);
        return m_dataEvents;
    }

    // Closes the file; the host cleans it up in the driver before this returns.
    void Close()
    {
        if (m_file) m_host.CloseFile(m_file.Get());
        m_protocol.reset();
        m_file.Reset();
    }
    IWDFFile* File() const { return m_file.Get(); }

private:
    using Operation = HRESULT (transport::SensorClient::*)(std::u16string_view, HRESULT*) const;
    HRESULT Call(Operation operation) const
    {
        HRESULT result = E_FAIL;
        const HRESULT exchange = (m_protocol.get()->*operation)(kSensorId, &result);
        return FAILED(exchange) ? exchange : result;
    }

    void Take(std::span<const std::uint8_t> bytes)
    {
        transport::SensorEvent event;
        if (FAILED(transport::DecodeSensorEvent(bytes, &event)) ||
            event.kind != transport::SensorEventKind::kDataUpdated) {
            return;
        }
        DataEvent data;
        data.hostState = m_host.State();
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(event.values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &value))) {
            data.temperatureType = value.vt;
            if (value.vt == VT_R4) data.temperature = value.fltVal;
        }
        PropVariantClear(&value);
        std::lock_guard lock(m_mutex);
        m_dataEvents.push_back(data);
    }

    platform::host::DriverHost& m_host;
    ComPtr<CHostFile> m_file;
    std::unique_ptr<transport::SensorClient> m_protocol;
    mutable std::mutex m_mutex;
    std::vector<DataEvent> m_dataEvents;  // guarded by m_mutex
};

// The device's idle power-down purges the default queue: a request that meets the purge is aborted
// before it reaches the driver, and its client sends it again.
template <class Request>
HRESULT UntilNotAborted(Request request)
{
    HRESULT hr = request();
    while (hr == HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED)) hr = request();
    return hr;
}

// The host's idle changes, in order: "IdlePowerDown(targetState=3)", "IdlePowerUp(previousState=3)".
std::vector<std::string> IdleChanges(const platform::host::HostRecord& record)
{
    std::vector<std::string> changes;
    for (const auto& entry : record.Entries(RecordKind::kHostEvent)) {
        if (entry.name == "IdlePowerDown" || entry.name == "IdlePowerUp") {
            changes.push_back(entry.name + "(" + entry.arguments + ")");
        }
    }
    return changes;
}

// The module in test mode (every reading -8.8), loaded and started by each test.
class SensorClientsOnHost : public integration::DriverHostTest {
protected:
    SensorClientsOnHost()
    {
        sim::ResetRegistry();
        sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, u"Software\\Varmel\\Configure", u"TestMode",
                               u"Enable");
    }
    ~SensorClientsOnHost() override { sim::ResetRegistry(); }

    // Runs a call that may bring the device back from idle, whose acquisition start busy-waits on
    // the clock while its maps reload.
    template <class Call>
    void WithClockReadsAdvancing(Call call)
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        call();
        m_clock.RunUntilIdle();
        platform::testing::VirtualClock::SetReadStep(0ns);
    }

    void ExpectNoDriverError()
    {
        for (const auto& entry : m_host.Record().Entries(RecordKind::kDriverError)) {
            ADD_FAILURE() << entry.name << ": " << entry.result;
        }
    }
};

TEST_F(SensorClientsOnHost, IdleCycle_AClientWakesTheDevice_AndLongIntervalsLetItIdleBetweenReports)
{
    ASSERT_TRUE(LoadAndStart().ok());
    m_clock.AdvanceBy(2s);
    ASSERT_EQ(m_host.State(), DeviceState::kIdle);  // the first entry to D0 started no acquisition

    EventClient client(m_host);
    WithClockReadsAdvancing([&] { EXPECT_EQ(client.Connect(), S_OK); });
    ASSERT_EQ(m_host.State(), DeviceState::kWorking);
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 1);
    ASSERT_EQ(client.Subscribe(), S_OK);
    m_clock.AdvanceBy(3s);
    const auto early = client.DataEvents();
    ASSERT_FALSE(early.empty());  // acquisition runs
    EXPECT_EQ(early.back().temperatureType, VT_R4);
    EXPECT_FLOAT_EQ(early.back().temperature, -8.8f);
    EXPECT_EQ(m_host.State(), DeviceState::kWorking);

    // Five minutes between reports: the device idles in D2 and the idle timer wakes it one minute
    // before the collector's next reading.
    m_host.Record().Clear();
    ASSERT_EQ(client.AskInterval(300000), S_OK);
    std::size_t idleSamples = 0;
    std::size_t eventsSeen = client.DataEvents().size();
    std::size_t idleBetweenEvents = 0;
    bool idleSinceLastEvent = false;
    platform::testing::VirtualClock::SetReadStep(kReadStep);
    for (int step = 0; step < 300; ++step) {
        m_clock.AdvanceBy(10s);
        if (m_host.State() == DeviceState::kIdle) {
            ++idleSamples;
            idleSinceLastEvent = true;
        }
        const std::size_t events = client.DataEvents().size();
        if (events != eventsSeen) {
            if (idleSinceLastEvent) ++idleBetweenEvents;
            idleSinceLastEvent = false;
            eventsSeen = events;
        }
    }
    platform::testing::VirtualClock::SetReadStep(0ns);

    EXPECT_GE(idleBetweenEvents, 2u);
    EXPECT_GT(idleSamples, 0u);
    const auto events = client.DataEvents();
    std::size_t readings = 0;
    for (std::size_t i = early.size(); i < events.size(); ++i) {
        if (events[i].temperatureType != VT_R4) continue;  // the reporter's start and end carry none
        EXPECT_FLOAT_EQ(events[i].temperature, -8.8f);
        EXPECT_EQ(events[i].hostState, DeviceState::kWorking);
        ++readings;
    }
    EXPECT_GE(readings, 2u);
    const auto changes = IdleChanges(m_host.Record());
    ASSERT_GE(changes.size(), 4u);
    for (std::size_t i = 0; i < changes.size(); ++i) {
        EXPECT_EQ(changes[i], i % 2 == 0 ? "IdlePowerDown(targetState=3)" : "IdlePowerUp(previousState=3)");
    }
    ExpectNoDriverError();
}

TEST_F(SensorClientsOnHost, NextClient_RightAfterTheLastOneLeft_GetsReadings)
{
    ASSERT_TRUE(LoadAndStart().ok());
    m_clock.AdvanceBy(2s);
    {
        EventClient first(m_host);
        WithClockReadsAdvancing([&] { ASSERT_EQ(first.Connect(), S_OK); });
        ASSERT_EQ(first.Subscribe(), S_OK);
        m_clock.AdvanceBy(3s);
        ASSERT_FALSE(first.DataEvents().empty());
        m_host.Record().Clear();
        ASSERT_EQ(first.Disconnect(), S_OK);  // acquisition stops; the device is to idle 100 ms later
    }
    // The clock stands still: the next client connects well inside those 100 ms. The device still
    // goes through its exit from D0 and comes back, which restarts acquisition.
    // (Nothing here may end the test before the clock reads advance: the return to D0 waits for
    // them, and so would the client's close.)
    EventClient next(m_host);
    EXPECT_EQ(next.Connect(), S_OK);
    EXPECT_EQ(UntilNotAborted([&] { return next.Subscribe(); }), S_OK);
    WithClockReadsAdvancing([] {});
    m_clock.AdvanceBy(3s);
    EXPECT_EQ(IdleChanges(m_host.Record()),
              (std::vector<std::string>{"IdlePowerDown(targetState=4)", "IdlePowerUp(previousState=4)"}));
    const auto events = next.DataEvents();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().temperatureType, VT_R4);
    EXPECT_FLOAT_EQ(events.back().temperature, -8.8f);
    ExpectNoDriverError();
}

TEST_F(SensorClientsOnHost, RadioState_SurvivesARestartOfTheHostOnTheSameStateDirectory)
{
    m_host.SetUserIdleEnabled(false);
    ASSERT_TRUE(LoadAndStart().ok());
    {
        EventClient client(m_host);
        EXPECT_EQ(client.SetRadio(IOCTL_SET_RADIO_STATE, 1), S_OK);
        EXPECT_EQ(client.SetRadio(IOCTL_SET_PREVIOUS_RADIO_STATE, 4), S_OK);
        EXPECT_EQ(client.SetRadio(IOCTL_SET_RADIO_STATE, 7), E_INVALIDARG);
    }
    ASSERT_TRUE(Unload().ok());

    ASSERT_TRUE(LoadAndStart().ok());
    EventClient client(m_host);
    EXPECT_EQ(client.GetRadio(IOCTL_GET_RADIO_STATE), 1u);
    EXPECT_EQ(client.GetRadio(IOCTL_GET_PREVIOUS_RADIO_STATE), 4u);
    integration::SensorTestClient reader(m_host);
    transport::ValuesResult properties;
    ASSERT_EQ(
        reader.Protocol().GetProperties(
            kSensorId, std::vector<PROPERTYKEY>{SENSOR_PROPERTY_RADIO_STATE, SENSOR_PROPERTY_RADIO_STATE_PREVIOUS},
            &properties),
        S_OK);
    ULONG radio = 0;
    ULONG previous = 0;
    ASSERT_TRUE(properties.values);
    EXPECT_EQ(properties.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_RADIO_STATE, &radio), S_OK);
    EXPECT_EQ(properties.values->GetUnsignedIntegerValue(SENSOR_PROPERTY_RADIO_STATE_PREVIOUS, &previous), S_OK);
    EXPECT_EQ(radio, 1u);
    EXPECT_EQ(previous, 4u);
    ExpectNoDriverError();
}

TEST_F(SensorClientsOnHost, CleanupFile_OfAClientThatNeverLeft_LeavesNothingBehind)
{
    platform::testing::SensorClassExtensionRecorder recorder;
    ASSERT_TRUE(LoadAndStart().ok());
    ComPtr<IWDFFile> file;  // kept, so that no later file takes its address
    {
        EventClient client(m_host);
        file = ComPtr<IWDFFile>(client.File());
        WithClockReadsAdvancing([&] { ASSERT_EQ(client.Connect(), S_OK); });
        ASSERT_EQ(client.Subscribe(), S_OK);
        ASSERT_EQ(client.AskInterval(2000), S_OK);
        ASSERT_EQ(m_host.Device()->PowerReferenceCount(), 1);
        client.Close();
    }
    ComPtr<ISensorDriver> driver = integration::BoundSensorDriver(recorder);
    ASSERT_TRUE(driver);
    std::u16string id = kSensorId;
    EXPECT_EQ(driver->OnClientUnsubscribeFromEvents(file.Get(), id.data()), E_UNEXPECTED);  // no subscription
    EXPECT_EQ(driver->OnClientDisconnect(file.Get(), id.data()), E_UNEXPECTED);             // no client record
    driver.Reset();
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 0);
    m_clock.AdvanceBy(2s);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    ExpectNoDriverError();
}

TEST_F(SensorClientsOnHost, Connect_OutOfMemory_ConnectsNothingAndHoldsNoPowerReference)
{
    platform::testing::SensorClassExtensionRecorder recorder;
    ASSERT_TRUE(LoadAndStart().ok());
    EventClient client(m_host);
    ComPtr<ISensorDriver> driver = integration::BoundSensorDriver(recorder);
    ASSERT_TRUE(driver);
    std::u16string id = kSensorId;
    HRESULT hr = S_OK;
    {
        integration::ScopedAllocationFailure failing;
        hr = driver->OnClientConnect(client.File(), id.data());
    }
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 0);
    EXPECT_EQ(driver->OnClientDisconnect(client.File(), id.data()), E_UNEXPECTED);
    driver.Reset();
    WithClockReadsAdvancing([&] { EXPECT_EQ(client.Connect(), S_OK); });
    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 1);
}

TEST_F(SensorClientsOnHost, ClientsOnSeveralThreads_WhileTheIdleTimerFires_LeaveTheDeviceIdle)
{
    ASSERT_TRUE(LoadAndStart().ok());
    constexpr int kClients = 3;
    constexpr int kRounds = 4;
    std::vector<std::unique_ptr<EventClient>> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<EventClient>(m_host));
    std::atomic<int> running{kClients};
    std::vector<std::thread> threads;
    platform::testing::VirtualClock::SetReadStep(kReadStep);
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const EventClient& client = *clients[i];
            for (int round = 0; round < kRounds; ++round) {
                const ULONG interval = round % 2 == 0 ? 300000 : 1000;
                const LONG radio = (round + i) % 2;
                EXPECT_EQ(UntilNotAborted([&] { return client.Connect(); }), S_OK);
                EXPECT_EQ(UntilNotAborted([&] { return client.Subscribe(); }), S_OK);
                EXPECT_EQ(UntilNotAborted([&] { return client.AskInterval(interval); }), S_OK);
                EXPECT_EQ(UntilNotAborted([&] { return client.SetRadio(IOCTL_SET_RADIO_STATE, radio); }), S_OK);
                EXPECT_EQ(UntilNotAborted([&] { return client.Unsubscribe(); }), S_OK);
                EXPECT_EQ(UntilNotAborted([&] { return client.Disconnect(); }), S_OK);
            }
            --running;
        });
    }
    while (running.load() != 0) m_clock.AdvanceBy(60s);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(clients[0]->SetRadio(IOCTL_SET_RADIO_STATE, 0), S_OK);
    m_clock.AdvanceBy(600s);
    platform::testing::VirtualClock::SetReadStep(0ns);

    EXPECT_EQ(m_host.Device()->PowerReferenceCount(), 0);
    EXPECT_EQ(m_host.State(), DeviceState::kIdle);
    ExpectNoDriverError();
    clients.clear();
}

}  // namespace
