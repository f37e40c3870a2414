// sensorctl's standard output: one JSON object per line with --json, text for people otherwise.
// Events have the stable keys
//   {"event": "data-updated"|"state-changed", "sensor": ID, "timestamp": ISO 8601 UTC or null,
//    "temperature_celsius": number or null, "state": name or null}
// where a data-updated event has no state (null) and a state-changed event no timestamp or
// temperature (null). Properties and data fields are printed as value_format.h describes, with
// "sensor" added.
//
// Thread safety: every member may be called from any thread; one mutex keeps lines whole.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "platform/com/propkey.h"
#include "platform/com/propvariant.h"
#include "sensorctl/value_format.h"
#include "transport/sensor_protocol.h"

namespace sensorctl {

class Printer {
public:
    explicit Printer(bool json) : m_json(json) {}

    bool IsJson() const { return m_json; }

    void Line(std::string_view text);
    void JsonLine(const Json& object);
    // A property or data field of a sensor: a JSON line, or "KEY  VALUE" (a heading comes first).
    void Property(std::u16string_view sensorId, const PROPERTYKEY& key, const PROPVARIANT& value);
    void Event(const transport::SensorEvent& event);
    void EventsDropped(std::uint32_t count);

private:
    const bool m_json;
    std::mutex m_mutex;  // orders whole lines
};

// An event as its JSON object (see above).
Json EventToJson(const transport::SensorEvent& event);

}  // namespace sensorctl
