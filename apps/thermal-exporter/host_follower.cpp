#include "thermal-exporter/host_follower.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/text.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"

namespace exporter {
namespace {

using client::HostNotice;

// FILETIME counts 100 ns ticks from 1601; this many of them lie before 1970.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

struct ScopedValue {
    PROPVARIANT value{};
    ~ScopedValue() { PropVariantClear(&value); }
};

// The string value of `key`, or "" (a label value that is not known).
std::string StringOf(IPortableDeviceValues* values, REFPROPERTYKEY key)
{
    LPWSTR text = nullptr;
    if (values == nullptr || FAILED(values->GetStringValue(key, &text)) || text == nullptr) return {};
    std::string utf8 = apps::Utf16ToUtf8(text);
    CoTaskMemFree(text);
    return utf8;
}

std::optional<std::uint32_t> Unsigned(IPortableDeviceValues* values, REFPROPERTYKEY key)
{
    ULONG value = 0;
    if (values == nullptr || FAILED(values->GetUnsignedIntegerValue(key, &value))) return std::nullopt;
    return value;
}

// The temperature and its timestamp in a data event's values, when it carries a temperature.
std::optional<Reading> ReadingOf(IPortableDeviceValues* values)
{
    ScopedValue celsius;
    if (values == nullptr || FAILED(values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &celsius.value)) ||
        celsius.value.vt != VT_R4) {
        return std::nullopt;
    }
    Reading reading;
    // Through the float's shortest decimal, so that 31.1f shows as 31.1 and not 31.100000381.
    reading.celsius = std::strtod(ShortestDecimal(celsius.value.fltVal).c_str(), nullptr);
    ScopedValue time;
    if (SUCCEEDED(values->GetValue(SENSOR_DATA_TYPE_TIMESTAMP, &time.value)) && time.value.vt == VT_FILETIME) {
        const std::uint64_t ticks =
            (static_cast<std::uint64_t>(time.value.filetime.dwHighDateTime) << 32) | time.value.filetime.dwLowDateTime;
        reading.unixSeconds =
            static_cast<double>(static_cast<std::int64_t>(ticks - kUnixEpochAsFileTime) / 10000) / 1000;
    }
    return reading;
}

// The exchange's failure, else the callback's.
HRESULT Either(HRESULT exchange, HRESULT callback)
{
    return FAILED(exchange) ? exchange : callback;
}

// The sensor's applied radio state, when it can be read.
std::optional<std::uint32_t> ReadRadioState(client::HostSession& session, std::u16string_view sensorId)
{
    const PROPERTYKEY keys[] = {SENSOR_PROPERTY_RADIO_STATE};
    transport::ValuesResult properties;
    if (FAILED(Either(session.Sensors().GetProperties(sensorId, keys, &properties), properties.hr))) {
        return std::nullopt;
    }
    return Unsigned(properties.values.Get(), SENSOR_PROPERTY_RADIO_STATE);
}

}  // namespace

std::chrono::milliseconds Backoff::Next()
{
    const std::chrono::milliseconds pause = m_next;
    m_next = std::min(m_next * 2, kLongest);
    return pause;
}

HostFollower::HostFollower(std::string socketPath, bool onlyOwnHost, apps::SignalWatch& signals,
                           std::function<void(const HostSnapshot&)> onChange)
    : m_link(std::move(socketPath), signals, nullptr, onlyOwnHost), m_onChange(std::move(onChange))
{
}

HostSnapshot HostFollower::Snapshot() const
{
    std::lock_guard lock(m_mutex);
    return m_snapshot;
}

template <class Change>
void HostFollower::Update(Change change)
{
    HostSnapshot changed;
    {
        std::lock_guard lock(m_mutex);
        const HostSnapshot before = m_snapshot;
        change(m_snapshot);
        if (m_snapshot == before) return;
        changed = m_snapshot;
    }
    if (m_onChange) m_onChange(changed);
}

void HostFollower::Note(const std::string& text)
{
    if (text == m_lastNote) return;
    m_lastNote = text;
    std::fprintf(stderr, "thermal-exporter: %s\n", text.c_str());
}

void HostFollower::Run()
{
    const auto hostDown = [](HostSnapshot& snapshot) {
        snapshot.up = false;
        snapshot.sensors.clear();
    };
    while (!m_link.Interrupted()) {
        const HRESULT hr = m_link.TryOpen();
        if (SUCCEEDED(hr)) {
            Note("connected to the host at " + m_link.SocketPath());
            const End end = Follow(m_link.Session());
            m_link.Close();
            if (end == End::kInterrupted) return;
            if (end == End::kHostLost) Update(hostDown);
        } else {
            Update(hostDown);
            Note("cannot reach the host at " + m_link.SocketPath() + " (" + apps::HresultText(hr) +
                 "); trying again until it serves");
        }
        if (!m_link.Pause(m_backoff.Next())) return;
    }
}

HostFollower::End HostFollower::Follow(client::HostSession& session)
{
    Update([](HostSnapshot& snapshot) { snapshot.up = true; });
    for (;;) {
        // Until the host has a device whose sensors take this client.
        for (;;) {
            const HRESULT hr = Register(session);
            if (SUCCEEDED(hr)) break;
            if (client::ConnectionIsGone(hr)) return End::kHostLost;
            // A connection opened while there is no device gets the file of the next one added; one
            // whose device went keeps a file that is no use.
            if (hr != HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)) {
                if (!client::DeviceIsGone(hr) && hr != E_HANDLE) {
                    Note("registering with the sensors failed: " + apps::HresultText(hr) + "; trying again");
                }
                return End::kReconnect;
            }
            Note("the host has no device; waiting for one");
            if (!m_link.Pause(m_backoff.Next())) return End::kInterrupted;
        }
        m_backoff.Reset();
        Note("following the host's sensors");

        bool removed = false;
        while (!removed) {
            HostNotice notice;
            if (!session.WaitNotice(std::chrono::hours(1), &notice)) continue;
            switch (notice.kind) {
                case HostNotice::Kind::kInterrupted:
                    return End::kInterrupted;
                case HostNotice::Kind::kDisconnected:
                    Note("the connection to the host was lost (" + apps::HresultText(notice.why) +
                         "); connecting again");
                    return End::kHostLost;
                case HostNotice::Kind::kDropped:
                    Update([&](HostSnapshot& snapshot) { snapshot.eventsDropped += notice.dropped; });
                    break;
                case HostNotice::Kind::kEvent:
                    if (notice.event.kind == transport::SensorEventKind::kLeft) {
                        // The device was removed: its sensors and their registrations went with it.
                        Update([](HostSnapshot& snapshot) { snapshot.sensors.clear(); });
                        Note("the sensor's device was removed; waiting for it to come back");
                        removed = true;
                    } else {
                        TakeEvent(session, notice.event);
                    }
                    break;
            }
        }
    }
}

HRESULT HostFollower::Register(client::HostSession& session)
{
    std::vector<std::u16string> ids;
    RETURN_IF_FAILED(client::ListSensorIds(session, &ids));
    std::vector<SensorSnapshot> sensors;
    for (const std::u16string& id : ids) {
        const PROPERTYKEY keys[] = {SENSOR_PROPERTY_MANUFACTURER, SENSOR_PROPERTY_MODEL, SENSOR_PROPERTY_SERIAL_NUMBER,
                                    SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_RADIO_STATE};
        transport::ValuesResult properties;
        const HRESULT exchange = session.Sensors().GetProperties(id, keys, &properties);
        RETURN_IF_FAILED(Either(exchange, properties.hr));
        SensorSnapshot sensor;
        sensor.id = apps::Utf16ToUtf8(id);
        sensor.manufacturer = StringOf(properties.values.Get(), SENSOR_PROPERTY_MANUFACTURER);
        sensor.model = StringOf(properties.values.Get(), SENSOR_PROPERTY_MODEL);
        sensor.serialNumber = StringOf(properties.values.Get(), SENSOR_PROPERTY_SERIAL_NUMBER);
        sensor.state = Unsigned(properties.values.Get(), SENSOR_PROPERTY_STATE);
        sensor.radioState = Unsigned(properties.values.Get(), SENSOR_PROPERTY_RADIO_STATE);
        sensor.readings = m_readings[sensor.id];
        // Subscribed before connecting, so that the first events after the wake are not missed.
        HRESULT result = S_OK;
        RETURN_IF_FAILED(Either(session.Sensors().Subscribe(id, &result), result));
        RETURN_IF_FAILED(Either(session.Sensors().Connect(id, &result), result));
        sensors.push_back(std::move(sensor));
    }
    Update([&](HostSnapshot& snapshot) { snapshot.sensors = std::move(sensors); });
    return S_OK;
}

void HostFollower::TakeEvent(client::HostSession& session, const transport::SensorEvent& event)
{
    const std::string id = apps::Utf16ToUtf8(event.sensorId);
    std::optional<Reading> reading;
    if (event.kind == transport::SensorEventKind::kDataUpdated) {
        reading = ReadingOf(event.values.Get());
        if (!reading) return;
        ++m_readings[id];
    }
    // A state change may come with a change of the radio state: read it again, outside the lock.
    std::optional<std::uint32_t> radio;
    if (event.kind == transport::SensorEventKind::kStateChanged) radio = ReadRadioState(session, event.sensorId);
    Update([&](HostSnapshot& snapshot) {
        for (SensorSnapshot& sensor : snapshot.sensors) {
            if (sensor.id != id) continue;
            if (reading) {
                sensor.reading = reading;
                sensor.readings = m_readings[id];
            } else {
                sensor.state = event.state;
                if (radio) sensor.radioState = radio;
            }
        }
    });
}

}  // namespace exporter
