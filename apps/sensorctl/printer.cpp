#include "sensorctl/printer.h"

#include <cerrno>
#include <cstdio>
#include <optional>

#include "common/text.h"
#include "platform/com/com_ptr.h"
#include "platform/sensorcx/sensors.h"
#include "sensorctl/key_names.h"
#include "sensorctl/value_format.h"

namespace sensorctl {
namespace {

// The stable keys of an event line, "event" first (left out when empty).
Json EventObject(std::string_view kind, std::u16string_view sensorId, const Reading& fields,
                 std::optional<ULONG> state)
{
    Json line;
    if (!kind.empty()) line["event"] = kind;
    line["sensor"] = apps::Utf16ToUtf8(sensorId);
    line["timestamp"] = fields.timestamp ? Json(FileTimeToIso(*fields.timestamp)) : Json(nullptr);
    line["temperature_celsius"] = fields.celsius ? Json(FloatToDecimal(*fields.celsius)) : Json(nullptr);
    line["state"] = state ? Json(SensorStateName(*state)) : Json(nullptr);
    return line;
}

}  // namespace

bool CarriesReading(const transport::SensorEvent& event)
{
    return event.kind == transport::SensorEventKind::kDataUpdated && ReadingOf(event.values.Get()).celsius.has_value();
}

void Printer::Line(std::string_view text)
{
    std::lock_guard lock(m_mutex);
    if (m_outputError.load() != 0) return;
    errno = 0;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) m_outputError = errno != 0 ? errno : EIO;
}

void Printer::JsonLine(const Json& object)
{
    // Invalid UTF-8 is replaced rather than thrown: a sensor's text never stops the output.
    Line(object.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void Printer::Property(std::u16string_view sensorId, const PROPERTYKEY& key, const PROPVARIANT& value)
{
    if (m_json) {
        Json line;
        line["sensor"] = apps::Utf16ToUtf8(sensorId);
        line.update(PropertyToJson(key, value));
        JsonLine(line);
        return;
    }
    std::string name = KeyDisplayName(key);
    if (name.size() < 42) name.resize(42, ' ');
    std::string text = ValueToText(value);
    if (key == SENSOR_PROPERTY_STATE && value.vt == VT_UI4) text += " (" + SensorStateName(value.ulVal) + ")";
    Line("  " + name + " " + text);
}

void Printer::Event(const transport::SensorEvent& event)
{
    switch (event.kind) {
        case transport::SensorEventKind::kDataUpdated: {
            const sensorctl::Reading fields = ReadingOf(event.values.Get());
            if (m_json) return JsonLine(EventObject("data-updated", event.sensorId, fields, std::nullopt));
            char degrees[32] = "no reading";
            if (fields.celsius) std::snprintf(degrees, sizeof(degrees), "%.1f °C", FloatToDecimal(*fields.celsius));
            return Line((fields.timestamp ? FileTimeToIso(*fields.timestamp) : std::string("(no time)")) + "  " +
                        degrees);
        }
        case transport::SensorEventKind::kStateChanged:
            if (m_json) return JsonLine(EventObject("state-changed", event.sensorId, {}, event.state));
            return Line("state: " + SensorStateName(event.state));
        case transport::SensorEventKind::kLeft:
            return EventLine("removed", event.sensorId, "removed: the sensor's device was removed");
    }
}

void Printer::HostLost(std::u16string_view sensorId)
{
    EventLine("host-lost", sensorId, "host lost: the connection to the host ended");
}

void Printer::EventLine(std::string_view kind, std::u16string_view sensorId, std::string_view text)
{
    if (m_json) return JsonLine(EventObject(kind, sensorId, {}, std::nullopt));
    Line(text);
}

void Printer::Reading(std::u16string_view sensorId, IPortableDeviceValues* dataFields, ULONG state)
{
    if (m_json) return JsonLine(EventObject({}, sensorId, ReadingOf(dataFields), state));
    Line("Sensor " + apps::Utf16ToUtf8(sensorId));
    DWORD count = 0;
    if (dataFields == nullptr || FAILED(dataFields->GetCount(&count))) return;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        ScopedValue value;
        if (SUCCEEDED(dataFields->GetAt(i, &key, &value))) Property(sensorId, key, *value);
    }
}

void Printer::EventsDropped(std::uint32_t count)
{
    if (m_json) return JsonLine({{"event", "events-dropped"}, {"count", count}});
    Line("(the host dropped " + std::to_string(count) + " events: this client read too slowly)");
}

void Printer::TraceLinesDropped(std::uint32_t count)
{
    if (m_json) return JsonLine({{"trace_lines_dropped", count}});
    Line("(the host dropped " + std::to_string(count) + " trace lines: this client read too slowly)");
}

}  // namespace sensorctl
