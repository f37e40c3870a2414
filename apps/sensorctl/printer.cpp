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
                 std::optional<ULONG> state, std::optional<Freshness> freshness = std::nullopt)
{
    Json line;
    if (!kind.empty()) line["event"] = kind;
    line["sensor"] = apps::Utf16ToUtf8(sensorId);
    line["timestamp"] = fields.timestamp ? Json(FileTimeToIso(*fields.timestamp)) : Json(nullptr);
    line["temperature_celsius"] = fields.celsius ? Json(FloatToDecimal(*fields.celsius)) : Json(nullptr);
    line["state"] = state ? Json(SensorStateName(*state)) : Json(nullptr);
    line["age_ms"] = freshness ? Json(freshness->ageMs) : Json(nullptr);
    line["stale"] = freshness ? Json(freshness->stale) : Json(nullptr);
    return line;
}

std::string DegreesText(float celsius)
{
    char degrees[32];
    std::snprintf(degrees, sizeof(degrees), "%.1f °C", FloatToDecimal(celsius));
    return degrees;
}

// "age 12 ms", with the stale marker when it is.
std::string AgeNote(Freshness freshness)
{
    std::string note = "age " + AgeText(freshness.ageMs);
    if (freshness.stale) {
        note += "  STALE: older than twice the report interval (" + std::to_string(freshness.intervalMs) + " ms)";
    }
    return note;
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

void Printer::Event(const transport::SensorEvent& event, std::optional<Freshness> freshness,
                    std::optional<ULONG> state)
{
    switch (event.kind) {
        case transport::SensorEventKind::kDataUpdated: {
            const sensorctl::Reading fields = ReadingOf(event.values.Get());
            // A reading has an age; only a missing one is explained by the sensor's state.
            if (!fields.celsius) freshness.reset();
            const std::optional<ULONG> why = fields.celsius ? std::nullopt : state;
            if (m_json) return JsonLine(EventObject("data-updated", event.sensorId, fields, why, freshness));
            if (IsValueOnly()) {
                if (fields.celsius) Line(FloatText(*fields.celsius));
                return;
            }
            std::string text = fields.timestamp ? FileTimeToIso(*fields.timestamp) : std::string("(no time)");
            if (!fields.celsius) {
                text += "  no reading";
                if (why) text += " (sensor state: " + SensorStateName(why.value_or(0)) + ")";
            } else {
                text += "  " + DegreesText(*fields.celsius);
                if (freshness) text += "  " + AgeNote(*freshness);
            }
            return Line(text);
        }
        case transport::SensorEventKind::kStateChanged:
            if (IsValueOnly()) return;
            if (m_json) return JsonLine(EventObject("state-changed", event.sensorId, {}, event.state));
            return Line("state: " + SensorStateName(event.state));
        case transport::SensorEventKind::kLeft:
            return EventLine("removed", event.sensorId, "removed: the sensor's device was removed");
    }
}

void Printer::Stale(std::u16string_view sensorId, const sensorctl::Reading& last, Freshness freshness)
{
    if (IsValueOnly()) return;
    if (m_json) return JsonLine(EventObject("stale", sensorId, last, std::nullopt, freshness));
    Line("STALE: no reading for " + AgeText(freshness.ageMs) + ", over twice the report interval (" +
         std::to_string(freshness.intervalMs) + " ms); the last was " + (last.celsius ? DegreesText(*last.celsius) : "none") +
         (last.timestamp ? " at " + FileTimeToIso(*last.timestamp) : std::string()));
}

void Printer::HostLost(std::u16string_view sensorId)
{
    EventLine("host-lost", sensorId, "host lost: the connection to the host ended");
}

void Printer::EventLine(std::string_view kind, std::u16string_view sensorId, std::string_view text)
{
    if (IsValueOnly()) return;
    if (m_json) return JsonLine(EventObject(kind, sensorId, {}, std::nullopt));
    Line(text);
}

void Printer::Reading(std::u16string_view sensorId, IPortableDeviceValues* dataFields, ULONG state,
                      Freshness freshness)
{
    const sensorctl::Reading reading = ReadingOf(dataFields);
    if (m_json) return JsonLine(EventObject({}, sensorId, reading, state, freshness));
    if (IsValueOnly()) {
        if (reading.celsius) Line(FloatText(*reading.celsius));
        return;
    }
    Line("Sensor " + apps::Utf16ToUtf8(sensorId));
    DWORD count = 0;
    if (dataFields == nullptr || FAILED(dataFields->GetCount(&count))) return;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        ScopedValue value;
        if (SUCCEEDED(dataFields->GetAt(i, &key, &value))) Property(sensorId, key, *value);
    }
    Line("  " + AgeNote(freshness));
}

void Printer::EventsDropped(std::uint32_t count)
{
    if (IsValueOnly()) return;
    if (m_json) return JsonLine({{"event", "events-dropped"}, {"count", count}});
    Line("(the host dropped " + std::to_string(count) + " events: this client read too slowly)");
}

void Printer::TraceLinesDropped(std::uint32_t count)
{
    if (m_json) return JsonLine({{"trace_lines_dropped", count}});
    Line("(the host dropped " + std::to_string(count) + " trace lines: this client read too slowly)");
}

}  // namespace sensorctl
