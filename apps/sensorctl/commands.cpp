#include "sensorctl/commands.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/text.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_keys.h"
#include "sensorctl/ctl_exit.h"
#include "sensorctl/host_session.h"
#include "sensorctl/key_names.h"
#include "sensorctl/value_format.h"
#include "sim/machine_control.h"

namespace sensorctl {
namespace {

using Clock = std::chrono::steady_clock;

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

int ResolveSensor(const CtlOptions& options, HostSession& session, std::u16string* sensorId)
{
    if (!options.sensorId.empty()) {
        *sensorId = apps::Utf8ToUtf16(options.sensorId);
        return kExitOk;
    }
    return session.FirstSensorId(sensorId);
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

int RunList(const CtlOptions&, Printer& printer, HostSession& session)
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
int WaitUntilReady(HostSession& session, std::chrono::seconds timeout, bool quietNote)
{
    const auto deadline = Clock::now() + timeout;
    const auto start = Clock::now();
    if (!quietNote) {
        std::fprintf(stderr, "waiting for the sensor to become ready (a woken device settles for about 5 s)...\n");
    }
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline) {
            std::fprintf(stderr, "sensorctl: get: the sensor did not become ready within %lld s\n",
                         static_cast<long long>(timeout.count()));
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
        const Json event = EventToJson(notice.event);
        const bool ready = notice.event.kind == transport::SensorEventKind::kDataUpdated
                               ? event["temperature_celsius"].is_number()
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

int RunGet(const CtlOptions& options, Printer& printer, HostSession& session)
{
    std::u16string sensorId;
    if (const int code = ResolveSensor(options, session, &sensorId); code != kExitOk) return code;

    const PROPERTYKEY stateKeys[] = {SENSOR_PROPERTY_STATE, SENSOR_PROPERTY_RADIO_STATE};
    transport::ValuesResult state;
    if (const int code = ReadProperties(session, sensorId, stateKeys, &state); code != kExitOk) return code;
    const ULONG radio = UnsignedOr(state.values.Get(), SENSOR_PROPERTY_RADIO_STATE, 0);
    if (radio != 0) {
        std::fprintf(stderr, "sensorctl: get: the sensor's radio is off (radio state %lu), so it takes no readings;"
                             " \"sensorctl radio set 0\" turns it on\n", static_cast<unsigned long>(radio));
        return kExitFailed;
    }

    ClientRegistration registration(session, sensorId);
    if (const int code = registration.Subscribe(); code != kExitOk) return code;
    if (const int code = registration.Connect(); code != kExitOk) return code;
    // Connecting may have woken the device; the state read after it tells whether to wait.
    if (const int code = ReadProperties(session, sensorId, stateKeys, &state); code != kExitOk) return code;
    if (UnsignedOr(state.values.Get(), SENSOR_PROPERTY_STATE, SENSOR_STATE_NOT_AVAILABLE) != SENSOR_STATE_READY) {
        if (const int code = WaitUntilReady(session, std::chrono::seconds(options.timeoutSeconds), printer.IsJson());
            code != kExitOk) {
            return code;
        }
    }

    const PROPERTYKEY dataKeys[] = {SENSOR_DATA_TYPE_TIMESTAMP, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS};
    transport::ValuesResult data;
    int exitCode = kExitOk;
    const HRESULT exchange = session.Sensors().GetDataFields(sensorId, dataKeys, &data);
    if (!CallbackSucceeded("reading the data fields", exchange, data.hr, &exitCode)) {
        return exitCode;
    }
    if (!printer.IsJson()) printer.Line("Sensor " + apps::Utf16ToUtf8(sensorId));
    PrintValues(printer, sensorId, data.values.Get());
    return kExitOk;
}

int WriteReportInterval(HostSession& session, std::u16string_view sensorId, std::uint32_t intervalMs)
{
    platform::ComPtr<IPortableDeviceValues> values = NewValues();
    if (!values || FAILED(values->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, intervalMs))) {
        return ReportFailure("preparing the report interval", E_OUTOFMEMORY);
    }
    transport::ValuesResult results;
    int exitCode = kExitOk;
    const HRESULT exchange = session.Sensors().SetProperties(sensorId, values.Get(), &results);
    if (!CallbackSucceeded("setting the report interval", exchange, results.hr, &exitCode)) {
        return exitCode;
    }
    HRESULT keyResult = S_OK;
    if (results.values && SUCCEEDED(results.values->GetErrorValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &keyResult)) &&
        FAILED(keyResult)) {
        return ReportFailure("setting the report interval to " + std::to_string(intervalMs) + " ms", keyResult);
    }
    if (results.hr == S_FALSE) return ReportFailure("setting the report interval", S_FALSE);
    return kExitOk;
}

int RunWatch(const CtlOptions& options, Printer& printer, HostSession& session)
{
    std::u16string sensorId;
    if (const int code = ResolveSensor(options, session, &sensorId); code != kExitOk) return code;
    ClientRegistration registration(session, sensorId);
    if (!options.passive) {
        if (const int code = registration.Connect(); code != kExitOk) return code;
    }
    if (options.intervalMs) {
        if (const int code = WriteReportInterval(session, sensorId, *options.intervalMs); code != kExitOk) return code;
    }
    if (const int code = registration.Subscribe(); code != kExitOk) return code;
    if (!printer.IsJson()) {
        std::fprintf(stderr, "watching %s%s; Ctrl-C stops\n", apps::Utf16ToUtf8(sensorId).c_str(),
                     options.passive ? " without waking it" : " (a woken device settles for about 5 s first)");
    }

    std::uint64_t events = 0;
    while (!options.count || events < *options.count) {
        HostNotice notice;
        if (!session.WaitNotice(std::chrono::hours(1), &notice)) continue;
        switch (notice.kind) {
            case HostNotice::Kind::kInterrupted:
                return kExitOk;
            case HostNotice::Kind::kDisconnected:
                return ReportFailure("watching", notice.why);
            case HostNotice::Kind::kDropped:
                printer.EventsDropped(notice.dropped);
                break;
            case HostNotice::Kind::kEvent:
                printer.Event(notice.event);
                ++events;
                break;
        }
    }
    return kExitOk;
}

int RunRadio(const CtlOptions& options, Printer& printer, HostSession& session)
{
    const bool set = options.command == Command::kRadioSet;
    const ULONG code = set ? (options.previous ? IOCTL_SET_PREVIOUS_RADIO_STATE : IOCTL_SET_RADIO_STATE)
                           : (options.previous ? IOCTL_GET_PREVIOUS_RADIO_STATE : IOCTL_GET_RADIO_STATE);
    const char* name = options.previous ? "previous_radio_state" : "radio_state";
    std::uint8_t input[4] = {};
    if (set) std::memcpy(input, &options.radioValue, sizeof(input));
    const transport::TransportReply reply =
        session.Client().IoControl(code, std::span<const std::uint8_t>(input, set ? sizeof(input) : 0), 4);
    const std::string what = std::string("radio ") + (set ? "set " + std::to_string(options.radioValue) : "get");
    if (FAILED(reply.status)) {
        const int exitCode = ReportFailure(what, reply.status);
        if (reply.status == E_ACCESSDENIED && set && !session.Client().CanWrite()) {
            std::fprintf(stderr, "This connection is read-only: setting the radio state needs write access (the "
                                 "host's own user, root, or a group the host was given with --allow-group).\n");
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

int RunTrace(const CtlOptions& options, HostSession& session)
{
    const HRESULT hr = session.Client().Trace(options.traceLevel);
    if (FAILED(hr)) return ReportFailure("asking for traces", hr);
    for (;;) {
        HostNotice notice;
        if (!session.WaitNotice(std::chrono::hours(1), &notice)) continue;
        if (notice.kind == HostNotice::Kind::kInterrupted) break;
        if (notice.kind == HostNotice::Kind::kDisconnected) return ReportFailure("tracing", notice.why);
    }
    session.Client().Trace(transport::kTraceOff);
    return kExitOk;
}

}  // namespace

int RunCommand(const CtlOptions& options, Printer& printer, apps::SignalWatch& signals)
{
    std::unique_ptr<HostSession> session;
    std::function<void(std::string_view)> traceSink;
    if (options.command == Command::kTrace) {
        traceSink = [&printer](std::string_view line) {
            if (printer.IsJson()) {
                printer.JsonLine({{"trace", std::string(line)}});
            } else {
                printer.Line(line);
            }
        };
    }
    if (const int code = HostSession::Open(options.socketPath, &session, std::move(traceSink)); code != kExitOk) {
        return code;
    }
    HostSession* interruptible = session.get();
    signals.SetHandler([interruptible](int) { interruptible->Interrupt(); });
    if (signals.Received() != 0) session->Interrupt();  // a signal that came while connecting

    int exitCode = kExitOk;
    switch (options.command) {
        case Command::kList: exitCode = RunList(options, printer, *session); break;
        case Command::kProps: exitCode = RunProps(options, printer, *session); break;
        case Command::kGet: exitCode = RunGet(options, printer, *session); break;
        case Command::kWatch: exitCode = RunWatch(options, printer, *session); break;
        case Command::kRadioGet:
        case Command::kRadioSet: exitCode = RunRadio(options, printer, *session); break;
        case Command::kSim: exitCode = RunSim(options, printer, *session); break;
        case Command::kTrace: exitCode = RunTrace(options, *session); break;
    }
    signals.SetHandler(nullptr);
    return exitCode;
}

}  // namespace sensorctl
