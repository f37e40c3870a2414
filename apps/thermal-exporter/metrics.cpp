#include "thermal-exporter/metrics.h"

#include <cstdio>
#include <cstdlib>

namespace exporter {
namespace {

constexpr std::string_view kStateLabels[kSensorStateCount] = {"ready",        "not_available", "no_data",
                                                              "initializing", "access_denied", "error"};

// A label value with backslash, double quote and line feed escaped.
std::string Escaped(std::string_view value)
{
    std::string text;
    text.reserve(value.size());
    for (const char c : value) {
        if (c == '\\' || c == '"') {
            text += '\\';
            text += c;
        } else if (c == '\n') {
            text += "\\n";
        } else {
            text += c;
        }
    }
    return text;
}

// With printf rather than std::to_chars, whose tables would stay in the resident exporter's memory.
template <class Number>
std::string Shortest(Number value, int mostDigits, Number (*read)(const char*, char**))
{
    char text[32];
    for (int digits = 1; digits <= mostDigits; ++digits) {
        std::snprintf(text, sizeof(text), "%.*g", digits, static_cast<double>(value));
        if (read(text, nullptr) == value) break;
    }
    return text;
}

class Writer {
public:
    void Family(std::string_view name, std::string_view type, std::string_view help)
    {
        m_name = name;
        m_text.append("# HELP ").append(name).append(" ").append(help).append("\n");
        m_text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
    }

    // One sample of the current family; `labels` is "" or the inside of the braces.
    void Sample(std::string_view labels, std::string_view value)
    {
        m_text.append(m_name);
        if (!labels.empty()) m_text.append("{").append(labels).append("}");
        m_text.append(" ").append(value).append("\n");
    }

    std::string Take() { return std::move(m_text); }

private:
    std::string m_text;
    std::string m_name;
};

std::string SensorLabel(const SensorSnapshot& sensor)
{
    return "sensor=\"" + Escaped(sensor.id) + "\"";
}

}  // namespace

std::string ShortestDecimal(double value)
{
    return Shortest(value, 17, &std::strtod);
}

std::string ShortestDecimal(float value)
{
    return Shortest(value, 9, &std::strtof);
}

std::string_view SensorStateLabel(std::uint32_t state)
{
    return state < kSensorStateCount ? kStateLabels[state] : "unknown";
}

std::string RenderMetrics(const HostSnapshot& snapshot, std::string_view version)
{
    Writer out;
    out.Family("thermal_driver_up", "gauge", "1 while the driver host answers the exporter, else 0.");
    out.Sample("", snapshot.up ? "1" : "0");

    out.Family("thermal_driver_temperature_celsius", "gauge", "The sensor's last temperature reading.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        if (sensor.reading) out.Sample(SensorLabel(sensor), ShortestDecimal(sensor.reading->celsius));
    }

    out.Family("thermal_driver_last_reading_timestamp_seconds", "gauge",
               "When the sensor took its last reading, in seconds since the Unix epoch.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        if (sensor.reading) out.Sample(SensorLabel(sensor), ShortestDecimal(sensor.reading->unixSeconds));
    }

    out.Family("thermal_driver_sensor_state", "gauge", "1 for the sensor's current state, 0 for the others.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        if (!sensor.state) continue;
        for (std::uint32_t state = 0; state < kSensorStateCount; ++state) {
            out.Sample(SensorLabel(sensor) + ",state=\"" + std::string(kStateLabels[state]) + "\"",
                       *sensor.state == state ? "1" : "0");
        }
    }

    out.Family("thermal_driver_sensor_info", "gauge", "The sensor's manufacturer, model and serial number.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        out.Sample(SensorLabel(sensor) + ",manufacturer=\"" + Escaped(sensor.manufacturer) + "\",model=\"" +
                       Escaped(sensor.model) + "\",serial_number=\"" + Escaped(sensor.serialNumber) + "\"",
                   "1");
    }

    out.Family("thermal_driver_radio_state", "gauge", "The sensor's applied radio state: 0 on, 1 off.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        if (sensor.radioState) out.Sample(SensorLabel(sensor), std::to_string(*sensor.radioState));
    }

    out.Family("thermal_driver_readings_total", "counter", "Readings the exporter received since it started.");
    for (const SensorSnapshot& sensor : snapshot.sensors) {
        out.Sample(SensorLabel(sensor), std::to_string(sensor.readings));
    }

    out.Family("thermal_driver_events_dropped_total", "counter",
               "Events the host dropped for the exporter's connection because it read them too slowly.");
    out.Sample("", std::to_string(snapshot.eventsDropped));

    out.Family("thermal_driver_exporter_build_info", "gauge", "The exporter's version.");
    out.Sample("version=\"" + Escaped(version) + "\"", "1");
    return out.Take();
}

}  // namespace exporter
