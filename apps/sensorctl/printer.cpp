#include "sensorctl/printer.h"

#include <cstdio>

#include "common/text.h"
#include "platform/com/com_ptr.h"
#include "platform/sensorcx/sensors.h"
#include "sensorctl/key_names.h"
#include "sensorctl/value_format.h"

namespace sensorctl {
namespace {

struct ScopedValue {
    PROPVARIANT value{};
    ~ScopedValue() { PropVariantClear(&value); }
};

// The value of one key of an event's values set; VT_EMPTY when it is not there.
Json EventField(IPortableDeviceValues* values, const PROPERTYKEY& key)
{
    ScopedValue value;
    if (values == nullptr || FAILED(values->GetValue(key, &value.value))) return nullptr;
    return ValueToJson(value.value);
}

}  // namespace

void Printer::Line(std::string_view text)
{
    std::lock_guard lock(m_mutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
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

Json EventToJson(const transport::SensorEvent& event)
{
    Json line;
    line["event"] = event.kind == transport::SensorEventKind::kDataUpdated ? "data-updated" : "state-changed";
    line["sensor"] = apps::Utf16ToUtf8(event.sensorId);
    if (event.kind == transport::SensorEventKind::kDataUpdated) {
        line["timestamp"] = EventField(event.values.Get(), SENSOR_DATA_TYPE_TIMESTAMP);
        line["temperature_celsius"] = EventField(event.values.Get(), SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS);
        line["state"] = nullptr;
    } else {
        line["timestamp"] = nullptr;
        line["temperature_celsius"] = nullptr;
        line["state"] = SensorStateName(static_cast<ULONG>(event.state));
    }
    return line;
}

void Printer::Event(const transport::SensorEvent& event)
{
    const Json line = EventToJson(event);
    if (m_json) {
        JsonLine(line);
        return;
    }
    if (event.kind == transport::SensorEventKind::kDataUpdated) {
        const Json& timestamp = line["timestamp"];
        const Json& temperature = line["temperature_celsius"];
        char degrees[32] = "no reading";
        if (temperature.is_number()) std::snprintf(degrees, sizeof(degrees), "%.1f °C", temperature.get<double>());
        Line((timestamp.is_string() ? timestamp.get<std::string>() : std::string("(no time)")) + "  " + degrees);
    } else {
        Line("state: " + line["state"].get<std::string>());
    }
}

void Printer::EventsDropped(std::uint32_t count)
{
    if (m_json) {
        JsonLine({{"event", "events-dropped"}, {"count", count}});
    } else {
        Line("(the host dropped " + std::to_string(count) + " events: this client read too slowly)");
    }
}

}  // namespace sensorctl
