#include "sensorctl/commands.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "common/text.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "sensorctl/ctl_exit.h"
#include "sensorctl/host_session.h"
#include "sensorctl/key_names.h"
#include "sensorctl/value_format.h"
#include "sim/machine_control.h"

namespace sensorctl {
namespace {

using Clock = std::chrono::steady_clock;

// How often watch --follow asks again whether the device or the host is back.
constexpr std::chrono::milliseconds kFollowRetry{250};

struct ScopedValue {
    PROPVARIANT value{};
    ~ScopedValue() { PropVariantClear(&value); }
};

platform::ComPtr<IPortableDeviceValues> NewValues()
{
    platform::ComPtr<IPortableDeviceValues> values;
    CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                     reinterpret_cast<void**>(values.GetAddressOf()));
    return values;
}

// Prints every entry of a values set as properties of the sensor.
void PrintValues(Printer& printer, std::u16string_view sensorId, IPortableDeviceValues* values)
{
    DWORD count = 0;
    if (values == nullptr || FAILED(values->GetCount(&count))) return;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        ScopedValue value;
        if (SUCCEEDED(values->GetAt(i, &key, &value.value))) printer.Property(sensorId, key, value.value);
    }
}

// An exchange's result, then the callback's: S_OK and S_FALSE (some keys carry errors) go on; a
// failure is reported. Callers make the exchange first: the callback's result is filled in by it.
bool CallbackSucceeded(std::string_view what, HRESULT exchange, HRESULT callback, int* exitCode)
{
    if (FAILED(exchange)) {
        *exitCode = ReportFailure(what, exchange);
        return false;
    }
    if (FAILED(callback)) {
        *exitCode = ReportFailure(what, callback);
        return false;
    }
    return true;
}

// What a connection without write access is refused, and who has it.
void ExplainReadOnly(std::string_view what)
{
    std::fprintf(stderr,
                 "This connection is read-only: %.*s needs write access (the host's own user, root, or a group "
                 "the host was given with --allow-group).\n",
                 static_cast<int>(what.size()), what.data());
}

// Object IDs compare with ASCII letter case ignored, as the driver compares them.
bool SameSensorId(std::u16string_view a, std::u16string_view b)
{
    const auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

// The object IDs of the sensors the host lists: the exchange's or the callback's failure, else S_OK.
HRESULT ListSensorIds(HostSession& session, std::vector<std::u16string>* ids)
{
    transport::ObjectsResult objects;
    const HRESULT hr = session.Sensors().GetSupportedSensorObjects(&objects);
    if (FAILED(hr)) return hr;
    if (FAILED(objects.hr)) return objects.hr;
    DWORD count = 0;
    if (objects.objects) objects.objects->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        platform::ComPtr<IPortableDeviceValues> object;
        if (FAILED(objects.objects->GetAt(i, object.GetAddressOf()))) continue;
        LPWSTR text = nullptr;
        if (SUCCEEDED(object->GetStringValue(WPD_OBJECT_ID, &text)) && text != nullptr) {
            ids->emplace_back(text);
            CoTaskMemFree(text);
        }
    }
    return S_OK;
}

// The sensor the command is about: the one --sensor names, which must be listed, or the first.
int ResolveSensor(const CtlOptions& options, HostSession& session, std::u16string* sensorId)
{
    std::vector<std::u16string> ids;
    if (const HRESULT hr = ListSensorIds(session, &ids); FAILED(hr)) return ReportFailure("listing the sensors", hr);
    if (ids.empty()) {
        std::fprintf(stderr, "sensorctl: the host lists no sensor\n");
        return kExitFailed;
    }
    if (options.sensorId.empty()) {
        *sensorId = ids.front();
        return kExitOk;
    }
    const std::u16string wanted = apps::Utf8ToUtf16(options.sensorId);
    for (const std::u16string& id : ids) {
        if (SameSensorId(id, wanted)) {
            *sensorId = wanted;
            return kExitOk;
        }
    }
    std::string listed;
    for (const std::u16string& id : ids) listed += (listed.empty() ? "" : ", ") + apps::Utf16ToUtf8(id);
    std::fprintf(stderr, "sensorctl: the host has no sensor \"%s\"; its sensors: %s\n", options.sensorId.c_str(),
                 listed.c_str());
    return kExitUsage;
}

// Reads properties of the sensor into *values.
int ReadProperties(HostSession& session, std::u16string_view sensorId, std::span<const PROPERTYKEY> keys,
                   transport::ValuesResult* values)
{
    int exitCode = kExitOk;
    const HRESULT hr = session.Sensors().GetProperties(sensorId, keys, values);
    CallbackSucceeded("reading the properties", hr, values->hr, &exitCode);
    return exitCode;
}

ULONG UnsignedOr(IPortableDeviceValues* values, const PROPERTYKEY& key, ULONG fallback)
{
    ULONG value = fallback;
    if (values == nullptr || FAILED(values->GetUnsignedIntegerValue(key, &value))) return fallback;
    return value;
}

ULONG ReadState(HostSession& session, std::u16string_view sensorId)
{
    const PROPERTYKEY keys[] = {SENSOR_PROPERTY_STATE};
    transport::ValuesResult values;
    if (FAILED(session.Sensors().GetProperties(sensorId, keys, &values)) || FAILED(values.hr)) {
        return SENSOR_STATE_NOT_AVAILABLE;
    }
    return UnsignedOr(values.values.Get(), SENSOR_PROPERTY_STATE, SENSOR_STATE_NOT_AVAILABLE);
}

// Connect and subscribe, and undo them on every way out.
class ClientRegistration {
public:
    ClientRegistration(HostSession& session, std::u16string sensorId) : m_session(session), m_id(std::move(sensorId)) {}
    ~ClientRegistration()
    {
        HRESULT ignored = S_OK;
        if (m_subscribed) m_session.Sensors().Unsubscribe(m_id, &ignored);
        if (m_connected) m_session.Sensors().Disconnect(m_id, &ignored);
    }
    ClientRegistration(const ClientRegistration&) = delete;
    ClientRegistration& operator=(const ClientRegistration&) = delete;

    int Connect()
    {
        HRESULT result = E_FAIL;
        int exitCode = kExitOk;
        const HRESULT exchange = m_session.Sensors().Connect(m_id, &result);
        if (!CallbackSucceeded("connecting to the sensor", exchange, result, &exitCode)) {
            return exitCode;
        }
        m_connected = true;
        return kExitOk;
    }
    int Subscribe()
    {
        HRESULT result = E_FAIL;
        int exitCode = kExitOk;
        const HRESULT exchange = m_session.Sensors().Subscribe(m_id, &result);
        if (!CallbackSucceeded("subscribing to the sensor's events", exchange, result, &exitCode)) {
            return exitCode;
        }
        m_subscribed = true;
        return kExitOk;
    }

private:
    HostSession& m_session;
    const std::u16string m_id;
    bool m_connected = false;
    bool m_subscribed = false;
};

// This client's wish for the sensor's report interval, withdrawn on every way out. A woken device
// delivers its first reading a tick or two after its settle, so get and watch ask for the sensor's
// minimum interval while they wait for it; watch then asks for the interval the user gave, or
// withdraws its wish. A wish needs a connected client with write access.
class IntervalWish {
public:
    IntervalWish(HostSession& session, std::u16string sensorId) : m_session(session), m_id(std::move(sensorId)) {}
    ~IntervalWish()
    {
        if (m_standing) Write(0);
    }
    IntervalWish(const IntervalWish&) = delete;
    IntervalWish& operator=(const IntervalWish&) = delete;

    // Asks for `intervalMs` (0 withdraws the wish); kExitOk, or the failure's exit code (printed).
    int Ask(std::uint32_t intervalMs)
    {
        const HRESULT hr = Write(intervalMs);
        if (SUCCEEDED(hr)) return kExitOk;
        const int exitCode = ReportFailure("setting the report interval to " + std::to_string(intervalMs) + " ms", hr);
        if (hr == E_ACCESSDENIED) ExplainReadOnly("asking for a report interval");
        return exitCode;
    }
    // The same, without a word when it fails: a wish that only hurries the first reading.
    void TryAsk(std::uint32_t intervalMs) { Write(intervalMs); }

private:
    // The exchange's failure, the callback's, or the key's.
    HRESULT Write(std::uint32_t intervalMs)
    {
        platform::ComPtr<IPortableDeviceValues> values = NewValues();
        if (!values || FAILED(values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, intervalMs))) {
            return E_OUTOFMEMORY;
        }
        transport::ValuesResult results;
        const HRESULT exchange = m_session.Sensors().SetProperties(m_id, values.Get(), &results);
        if (FAILED(exchange)) return exchange;
        HRESULT keyResult = results.hr;
        if (results.values) results.values->GetErrorValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &keyResult);
        if (FAILED(keyResult)) return keyResult;
        if (results.hr != S_OK) return FAILED(results.hr) ? results.hr : E_FAIL;
        m_standing = intervalMs != 0;
        return S_OK;
    }

    HostSession& m_session;
    const std::u16string m_id;
    bool m_standing = false;
};

int RunList(Printer& printer, HostSession& session)
{
    transport::ObjectsResult objects;
    int exitCode = kExitOk;
    const HRESULT exchange = session.Sensors().GetSupportedSensorObjects(&objects);
    if (!CallbackSucceeded("listing the sensors", exchange, objects.hr, &exitCode)) {
        return exitCode;
    }
    DWORD count = 0;
    if (objects.objects) objects.objects->GetCount(&count);
    for (DWORD i = 0; i < count; ++i) {
        platform::ComPtr<IPortableDeviceValues> object;
        if (FAILED(objects.objects->GetAt(i, object.GetAddressOf()))) continue;
        std::u16string id;
        LPWSTR text = nullptr;
        if (SUCCEEDED(object->GetStringValue(WPD_OBJECT_ID, &text)) && text != nullptr) {
            id = text;
            CoTaskMemFree(text);
        }
        if (printer.IsJson()) {
            Json line;
            line["sensor"] = apps::Utf16ToUtf8(id);
            line["properties"] = Json::array();
            DWORD entries = 0;
            object->GetCount(&entries);
            for (DWORD k = 0; k < entries; ++k) {
                PROPERTYKEY key{};
                ScopedValue value;
                if (SUCCEEDED(object->GetAt(k, &key, &value.value))) {
                    line["properties"].push_back(PropertyToJson(key, value.value));
                }
            }
            printer.JsonLine(line);
        } else {
            printer.Line("Sensor " + apps::Utf16ToUtf8(id));
            PrintValues(printer, id, object.Get());
        }
    }
    if (count == 0 && !printer.IsJson()) printer.Line("(no sensors)");
    return kExitOk;
}

int RunProps(const CtlOptions& options, Printer& printer, HostSession& session)
{
    std::vector<PROPERTYKEY> keys;
    for (const std::string& name : options.keys) {
        const std::optional<PROPERTYKEY> key = FindKey(name);
        if (!key) {
            std::fprintf(stderr, "sensorctl: props: unknown key \"%s\" (give a platform name such as "
                                 "SENSOR_PROPERTY_MODEL, or \"{FMTID} PID\")\n", name.c_str());
            return kExitUsage;
        }
        keys.push_back(*key);
    }
    std::u16string sensorId;
    if (const int code = ResolveSensor(options, session, &sensorId); code != kExitOk) return code;
    if (keys.empty()) {
        transport::KeysResult supported;
        int exitCode = kExitOk;
        const HRESULT exchange = session.Sensors().GetSupportedProperties(sensorId, &supported);
        if (!CallbackSucceeded("listing the supported properties", exchange, supported.hr, &exitCode)) {
            return exitCode;
        }
        DWORD count = 0;
        if (supported.keys) supported.keys->GetCount(&count);
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            if (SUCCEEDED(supported.keys->GetAt(i, &key))) keys.push_back(key);
        }
    }
    transport::ValuesResult values;
    if (const int code = ReadProperties(session, sensorId, keys, &values); code != kExitOk) return code;
    if (!printer.IsJson()) printer.Line("Sensor " + apps::Utf16ToUtf8(sensorId));
    PrintValues(printer, sensorId, values.values.Get());
    return kExitOk;
}

// Waits for the sensor to report ready (a state change to ready, or a data event with a
// temperature). kExitOk when it did.
int WaitUntilReady(HostSession& session, Clock::time_point deadline, unsigned timeoutSeconds, bool quietNote)
{
    const auto start = Clock::now();
    if (!quietNote) {
        std::fprintf(stderr, "waiting for the sensor to become ready (a woken device settles for about 5 s)...\n");
    }
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            std::fprintf(stderr, "sensorctl: get: the sensor did not become ready within %u s (--timeout)\n",
                         timeoutSeconds);
            return kExitFailed;
        }
        HostNotice notice;
        if (!session.WaitNotice(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), &notice)) continue;
        switch (notice.kind) {
            case HostNotice::Kind::kInterrupted:
                std::fprintf(stderr, "sensorctl: get: interrupted\n");
                return kExitFailed;
            case HostNotice::Kind::kDisconnected:
                return ReportFailure("waiting for the sensor", notice.why);
            case HostNotice::Kind::kDropped:
                continue;
            case HostNotice::Kind::kEvent:
                break;
        }
        if (notice.event.kind == transport::SensorEventKind::kLeft) {
            return ReportFailure("waiting for the sensor", HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
        }
        const bool ready = notice.event.kind == transport::SensorEventKind::kDataUpdated
                               ? CarriesReading(notice.event)
                               : notice.event.state == SENSOR_STATE_READY;
        if (ready) {
            if (!quietNote) {
                std::fprintf(stderr, "ready after %.1f s\n",
                             std::chrono::duration<double>(Clock::now() - start).count());
            }
            return kExitOk;
        }
    }
}

int RunGet(const CtlOptions& options, Printer& printer, HostSession& session, Clock::time_point deadline)
{
    std::u16string sensorId;
    if (const int code = ResolveSensor(options, session, &sensorId); code != kExitOk) return code;

    const PROPERTYKEY keys[] = {SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_RADIO_STATE, SENSOR_PROPERTY_MIN_REPORT_INTERVAL};
    transport::ValuesResult properties;
    if (const int code = ReadProperties(session, sensorId, keys, &properties); code != kExitOk) return code;
    const ULONG radio = UnsignedOr(properties.values.Get(), SENSOR_PROPERTY_RADIO_STATE, 0);
    if (radio != 0) {
        std::fprintf(stderr, "sensorctl: get: the sensor's radio is off (radio state %lu), so it takes no readings;"
                             " \"sensorctl radio set 0\" turns it on\n", static_cast<unsigned long>(radio));
        return kExitFailed;
    }

    ClientRegistration registration(session, sensorId);
    if (const int code = registration.Subscribe(); code != kExitOk) return code;
    if (const int code = registration.Connect(); code != kExitOk) return code;
    // Declared after the registration: withdrawn before the client disconnects.
    IntervalWish wish(session, sensorId);
    // Connecting may have woken the device; the state read after it tells whether to wait.
    if (ReadState(session, sensorId) != SENSOR_STATE_READY) {
        if (session.Client().CanWrite()) {
            wish.TryAsk(UnsignedOr(properties.values.Get(), SENSOR_PROPERTY_MIN_REPORT_INTERVAL, 0));
        }
        if (const int code = WaitUntilReady(session, deadline, options.timeoutSeconds, printer.IsJson()); code != kExitOk) return code;
    }

    const PROPERTYKEY dataKeys[] = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
    transport::ValuesResult data;
    int exitCode = kExitOk;
    const HRESULT exchange = session.Sensors().GetDataFields(sensorId, dataKeys, &data);
    if (!CallbackSucceeded("reading the data fields", exchange, data.hr, &exitCode)) {
        return exitCode;
    }
    printer.Reading(sensorId, data.values.Get(), SENSOR_STATE_READY);
    return kExitOk;
}

// watch: one round per connection to the sensor; with --follow a removal of the device or the loss
// of the host ends a round, and the next begins once the sensor is back.
class Watch {
public:
    Watch(const CtlOptions& options, Printer& printer, HostLink& link)
        : m_options(options), m_printer(printer), m_link(link)
    {
    }

    int Run()
    {
        for (;;) {
            const Round round = WatchOnce();
            if (round.end == End::kDone) return round.exitCode;
            const char* what = round.end == End::kRemoved ? "the sensor's device was removed"
                                                          : "the connection to the host was lost (the host ended or "
                                                            "restarted)";
            if (!m_options.follow) {
                std::fprintf(stderr, "sensorctl: watch: %s; watch --follow waits for it to come back\n", what);
                return kExitUnreachable;
            }
            Note(std::string(what) + "; waiting for it to come back (Ctrl-C stops)");
            m_link.Close();
            if (const int code = WaitForSensor(); code != kExitOk) return code == kExitInterrupted ? kExitOk : code;
            Note("the sensor is back; watching again");
        }
    }

private:
    enum class End { kDone, kRemoved, kHostLost };
    struct Round {
        End end = End::kDone;
        int exitCode = kExitOk;
    };

    void Note(const std::string& text) const
    {
        if (!m_printer.IsJson()) std::fprintf(stderr, "%s\n", text.c_str());
    }

    // Checks the wish for an interval against the sensor before anything is asked of it.
    int CheckInterval(HostSession& session, ULONG minimumMs) const
    {
        if (!m_options.intervalMs || *m_options.intervalMs == 0) return kExitOk;
        if (*m_options.intervalMs < minimumMs) {
            std::fprintf(stderr,
                         "sensorctl: watch --interval %u: the sensor's minimum report interval is %lu ms; ask for %lu "
                         "or more (or 0 for no wish)\n",
                         *m_options.intervalMs, static_cast<unsigned long>(minimumMs),
                         static_cast<unsigned long>(minimumMs));
            return kExitUsage;
        }
        if (!session.Client().CanWrite()) {
            std::fprintf(stderr, "sensorctl: watch --interval %u: refused\n", *m_options.intervalMs);
            ExplainReadOnly("asking for a report interval");
            return kExitFailed;
        }
        return kExitOk;
    }

    Round WatchOnce()
    {
        HostSession& session = m_link.Session();
        if (m_sensorId.empty()) {
            if (const int code = ResolveSensor(m_options, session, &m_sensorId); code != kExitOk) return {End::kDone, code};
        }
        const PROPERTYKEY keys[] = {SENSOR_PROPERTY_MIN_REPORT_INTERVAL};
        transport::ValuesResult properties;
        if (const int code = ReadProperties(session, m_sensorId, keys, &properties); code != kExitOk) {
            return {End::kDone, code};
        }
        const ULONG minimumMs = UnsignedOr(properties.values.Get(), SENSOR_PROPERTY_MIN_REPORT_INTERVAL, 0);
        if (const int code = CheckInterval(session, minimumMs); code != kExitOk) return {End::kDone, code};

        ClientRegistration registration(session, m_sensorId);
        IntervalWish wish(session, m_sensorId);
        bool waitingForFirstReading = false;
        if (!m_options.passive) {
            if (const int code = registration.Connect(); code != kExitOk) return {End::kDone, code};
            if (session.Client().CanWrite()) {
                if (ReadState(session, m_sensorId) == SENSOR_STATE_READY) {
                    if (const int code = AskUsersInterval(wish); code != kExitOk) return {End::kDone, code};
                } else {
                    wish.TryAsk(minimumMs);
                    waitingForFirstReading = true;
                }
            }
        }
        if (const int code = registration.Subscribe(); code != kExitOk) return {End::kDone, code};
        if (!m_bannerShown && !m_printer.IsJson()) {
            std::fprintf(stderr, "watching %s%s; Ctrl-C stops\n", apps::Utf16ToUtf8(m_sensorId).c_str(),
                         m_options.passive ? " without waking it" : " (a woken device settles for about 5 s first)");
        }
        m_bannerShown = true;

        for (;;) {
            if (m_printer.OutputError() != 0 || (m_options.count && m_readings >= *m_options.count)) return {};
            HostNotice notice;
            if (!session.WaitNotice(std::chrono::hours(1), &notice)) continue;
            switch (notice.kind) {
                case HostNotice::Kind::kInterrupted:
                    return {};
                case HostNotice::Kind::kDisconnected:
                    if (!ConnectionIsGone(notice.why)) return {End::kDone, ReportFailure("watching", notice.why)};
                    m_printer.HostLost(m_sensorId);
                    return {End::kHostLost};
                case HostNotice::Kind::kDropped:
                    m_printer.EventsDropped(notice.dropped);
                    break;
                case HostNotice::Kind::kEvent:
                    m_printer.Event(notice.event);
                    if (notice.event.kind == transport::SensorEventKind::kLeft) return {End::kRemoved};
                    if (!CarriesReading(notice.event)) break;
                    ++m_readings;
                    if (waitingForFirstReading) {
                        waitingForFirstReading = false;
                        if (const int code = AskUsersInterval(wish); code != kExitOk) return {End::kDone, code};
                    }
                    break;
            }
        }
    }

    // The interval the user asked for, or no wish.
    int AskUsersInterval(IntervalWish& wish) const { return wish.Ask(m_options.intervalMs.value_or(0)); }

    // Waits until the host serves and lists the sensor again.
    int WaitForSensor()
    {
        for (;;) {
            if (!m_link.HasSession()) {
                const HRESULT hr = m_link.TryOpen();
                if (FAILED(hr) && !HostSession::NobodyServes(hr) && !ConnectionIsGone(hr)) {
                    return HostSession::ReportUnreachable(m_link.SocketPath(), hr, {});
                }
            }
            if (m_link.HasSession()) {
                std::vector<std::u16string> ids;
                const HRESULT hr = ListSensorIds(m_link.Session(), &ids);
                if (SUCCEEDED(hr)) {
                    for (const std::u16string& id : ids) {
                        if (SameSensorId(id, m_sensorId)) return kExitOk;
                    }
                } else if (hr == HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED)) {
                    // No device yet: this connection opens its file on the next one added.
                } else if (ConnectionIsGone(hr) || DeviceIsGone(hr) || hr == E_HANDLE) {
                    m_link.Close();  // the host went, or the file belongs to a device that went
                } else {
                    return ReportFailure("listing the sensors", hr);
                }
            }
            if (!m_link.Pause(kFollowRetry)) return kExitInterrupted;
        }
    }

    const CtlOptions& m_options;
    Printer& m_printer;
    HostLink& m_link;
    std::u16string m_sensorId;  // resolved once; the same sensor is followed
    std::uint64_t m_readings = 0;  // across rounds, for --count
    bool m_bannerShown = false;
};

int RunRadio(const CtlOptions& options, Printer& printer, HostSession& session)
{
    const bool set = options.command == Command::kRadioSet;
    const ULONG code = set ? (options.previous ? IOCTL_SET_PREVIOUS_RADIO_STATE : IOCTL_SET_RADIO_STATE)
                           : (options.previous ? IOCTL_GET_PREVIOUS_RADIO_STATE : IOCTL_GET_RADIO_STATE);
    const char* name = options.previous ? "previous_radio_state" : "radio_state";
    std::uint8_t input[4] = {};
    if (set) std::memcpy(input, &options.radioValue, sizeof(input));
    const transport::TransportReply reply =
        session.IoControl(code, std::span<const std::uint8_t>(input, set ? sizeof(input) : 0), 4);
    const std::string what = std::string("radio ") + (set ? "set " + std::to_string(options.radioValue) : "get");
    if (FAILED(reply.status)) {
        if (set && !options.previous && reply.status == E_UNEXPECTED && options.radioValue >= 2 &&
            options.radioValue <= 6) {
            // The driver keeps such a value but has nothing to do for it.
            std::fprintf(stderr,
                         "sensorctl: %s: stored as the requested radio state; the driver acts on 0 (on) and 1 (off) "
                         "and answered %s\n",
                         what.c_str(), apps::HresultText(reply.status).c_str());
            return kExitFailed;
        }
        const int exitCode = ReportFailure(what, reply.status);
        if (reply.status == E_ACCESSDENIED && set && !session.Client().CanWrite()) {
            ExplainReadOnly("setting the radio state");
        }
        return exitCode;
    }
    if (set) {
        if (printer.IsJson()) {
            printer.JsonLine({{name, options.radioValue}, {"status", apps::HresultHex(reply.status)}});
        } else {
            printer.Line(std::string(options.previous ? "previous radio state" : "radio state") + " set to " +
                         std::to_string(options.radioValue));
        }
        return kExitOk;
    }
    if (reply.output.size() != 4) {
        std::fprintf(stderr, "sensorctl: %s: the driver answered %zu bytes, not 4\n", what.c_str(), reply.output.size());
        return kExitFailed;
    }
    std::uint32_t value = 0;
    std::memcpy(&value, reply.output.data(), sizeof(value));
    if (printer.IsJson()) {
        printer.JsonLine({{name, value}});
    } else {
        printer.Line(std::string(options.previous ? "previous radio state " : "radio state ") + std::to_string(value) +
                     (options.previous ? "" : value == 0 ? " (on)" : value == 1 ? " (off)" : ""));
    }
    return kExitOk;
}

int RunSim(const CtlOptions& options, Printer& printer, HostSession& session)
{
    const std::string line = sim::MachineCommandLine(options.simWords);
    std::string output;
    const HRESULT hr = session.Client().Simulate(line, &output);
    if (FAILED(hr)) {
        const int exitCode = ReportFailure("sim " + line, hr);
        if (!output.empty()) std::fprintf(stderr, "%s\n", output.c_str());
        return exitCode;
    }
    if (printer.IsJson()) {
        printer.JsonLine({{"command", line}, {"status", apps::HresultHex(hr)}, {"output", output}});
    } else if (!output.empty()) {
        if (output.back() == '\n') output.pop_back();
        printer.Line(output);
    }
    return kExitOk;
}

int RunTrace(const CtlOptions& options, Printer& printer, HostSession& session)
{
    const HRESULT hr = session.Client().Trace(options.traceLevel);
    if (FAILED(hr)) return ReportFailure("asking for traces", hr);
    for (;;) {
        HostNotice notice;
        if (!session.WaitNotice(std::chrono::hours(1), &notice)) continue;
        if (notice.kind == HostNotice::Kind::kInterrupted) break;
        if (notice.kind == HostNotice::Kind::kDisconnected) return ReportFailure("tracing", notice.why);
        if (notice.kind == HostNotice::Kind::kDropped) printer.TraceLinesDropped(notice.dropped);
    }
    session.Client().Trace(transport::kTraceOff);
    return kExitOk;
}

}  // namespace

int RunCommand(const CtlOptions& options, Printer& printer, apps::SignalWatch& signals)
{
    // get's time-out counts from the start: a host that is still loading uses it up too.
    const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
    HostLink* linkForTraces = nullptr;
    std::function<void(std::string_view)> traceSink;
    if (options.command == Command::kTrace) {
        traceSink = [&printer, &linkForTraces](std::string_view line) {
            if (printer.IsJson()) {
                printer.JsonLine({{"trace", std::string(line)}});
            } else {
                printer.Line(line);
            }
            // Nobody reads the lines any more: the command ends.
            if (printer.OutputError() != 0 && linkForTraces != nullptr) linkForTraces->Interrupt();
        };
    }
    HostLink link(options.socketPath, signals, std::move(traceSink), !options.socketGiven);
    linkForTraces = &link;

    int opened = kExitOk;
    if (options.command == Command::kGet) {
        opened = link.OpenWhenServed(deadline, printer.IsJson() ? std::string()
                                                                : "waiting for a host to serve " + options.socketPath +
                                                                      " (a starting host loads for about 5 s)...");
    } else if (options.command == Command::kWatch && options.follow) {
        opened = link.OpenWhenServed(std::nullopt, printer.IsJson() ? std::string()
                                                                    : "waiting for a host to serve " +
                                                                          options.socketPath + " (Ctrl-C stops)...");
    } else {
        opened = link.Open();
    }
    if (opened == kExitInterrupted) {
        if (options.command != Command::kGet) return kExitOk;
        std::fprintf(stderr, "sensorctl: get: interrupted\n");
        return kExitFailed;
    }
    if (opened != kExitOk) return opened;

    HostSession& session = link.Session();
    switch (options.command) {
        case Command::kList: return RunList(printer, session);
        case Command::kProps: return RunProps(options, printer, session);
        case Command::kGet: return RunGet(options, printer, session, deadline);
        case Command::kWatch: return Watch(options, printer, link).Run();
        case Command::kRadioGet:
        case Command::kRadioSet: return RunRadio(options, printer, session);
        case Command::kSim: return RunSim(options, printer, session);
        case Command::kTrace: return RunTrace(options, printer, session);
    }
    return kExitOk;
}

}  // namespace sensorctl
