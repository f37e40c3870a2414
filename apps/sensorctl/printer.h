// sensorctl's standard output: one JSON object per line with --json, one number per reading with
// --format value, text for people otherwise. Events have the stable keys
//   {"event": "data-updated"|"state-changed"|"stale"|"removed"|"host-lost", "sensor": ID,
//    "timestamp": ISO 8601 UTC or null, "temperature_celsius": number or null, "state": name or null,
//    "age_ms": number or null, "stale": true, false or null}
// where a data-updated event with a reading has no state (null) and the reading's age, one
// without a reading the sensor's state (which says why) and no age, a state-changed event no
// timestamp or temperature, "stale" repeats the last reading when it has grown older than twice
// the report interval, and "removed" (the sensor's device was removed) and "host-lost" (the
// connection to the host ended) carry the sensor alone. get's reading is one object with the same
// keys but "event". Properties and data fields are printed as value_format.h describes, with
// "sensor" added. The text is formatted from the values themselves; JSON is made only for --json.
//
// A line that cannot be written (the reader of standard output went away, say) is noted: the
// command stops at its next chance, and main ends the program as a filter does (OutputError).
//
// Thread safety: every member may be called from any thread; one mutex keeps lines whole.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
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
    enum class Output { kText, kJson, kValue };
    explicit Printer(Output output) : m_output(output), m_json(output == Output::kJson) {}

    bool IsJson() const { return m_json; }
    // Only readings are printed, one number per line.
    bool IsValueOnly() const { return m_output == Output::kValue; }

    void Line(std::string_view text);
    void JsonLine(const Json& object);
    // A property or data field of a sensor: a JSON line, or "KEY  VALUE" (a heading comes first).
    void Property(std::u16string_view sensorId, const PROPERTYKEY& key, const PROPVARIANT& value);
    // A data-updated, state-changed or sensor-left ("removed") event. A data-updated event comes
    // with its reading's freshness, or the sensor's state when it carries no reading.
    void Event(const transport::SensorEvent& event, std::optional<Freshness> freshness = std::nullopt,
               std::optional<ULONG> state = std::nullopt);
    // The last reading has grown stale: no reading came for twice the report interval.
    void Stale(std::u16string_view sensorId, const sensorctl::Reading& last, Freshness freshness);
    // The connection to the host ended while the sensor was watched.
    void HostLost(std::u16string_view sensorId);
    // get's result: the sensor's data fields, its state, and the reading's freshness.
    void Reading(std::u16string_view sensorId, IPortableDeviceValues* dataFields, ULONG state, Freshness freshness);
    // The host dropped events (watch) or trace lines (trace) because this client read too slowly.
    void EventsDropped(std::uint32_t count);
    void TraceLinesDropped(std::uint32_t count);

    // The errno of the first line that could not be written to standard output; 0 while every
    // line was.
    int OutputError() const { return m_outputError.load(); }

private:
    void EventLine(std::string_view kind, std::u16string_view sensorId, std::string_view text);

    const Output m_output;
    const bool m_json;
    std::mutex m_mutex;  // orders whole lines
    std::atomic<int> m_outputError{0};
};

// Whether a data-updated event carries a temperature (a reading).
bool CarriesReading(const transport::SensorEvent& event);

}  // namespace sensorctl
