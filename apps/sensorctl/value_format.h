// How sensorctl shows keys and values: as text for people and as JSON for programs.
//
// A property becomes one JSON object with stable keys:
//   {"key": "SENSOR_PROPERTY_MANUFACTURER", "pid": 6, "fmtid": "{7F8383EC-...}", "type": "VT_LPWSTR",
//    "value": "QAR Corporation"}
// and a key that carries an error value (VT_ERROR) has "error": "0x80070490" in place of "value".
// Values: numbers for the integer and floating types (a VT_R4 as the shortest decimal that reads
// back as the same float: 25.5, not 25.5000000001), true/false, strings for text, GUIDs
// ("{...}") and FILETIMEs (ISO 8601 UTC, "2024-05-01T12:34:56.789Z"), null for VT_EMPTY and VT_NULL,
// and an object of name -> value for a nested values set.
//
// Text for people is formatted from the values themselves; JSON is made only for JSON output.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "platform/com/propkey.h"
#include "platform/com/propvariant.h"
#include "platform/wpd/portable_device_values.h"

namespace sensorctl {

// JSON objects keep their keys in the order they were set, so that lines read naturally.
using Json = nlohmann::ordered_json;

// A PROPVARIANT that clears itself: VT_EMPTY when made, PropVariantClear on every way out.
//
//   ScopedValue value;
//   if (SUCCEEDED(values->GetAt(i, &key, &value))) Show(*value);
class ScopedValue {
public:
    ScopedValue() { PropVariantInit(&m_value); }
    ~ScopedValue() { PropVariantClear(&m_value); }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

    PROPVARIANT* operator&() { return &m_value; }
    const PROPVARIANT& operator*() const { return m_value; }
    const PROPVARIANT* operator->() const { return &m_value; }

private:
    PROPVARIANT m_value;
};

// The reading a values set carries (an event's or the data fields), when it is there.
struct Reading {
    std::optional<FILETIME> timestamp;
    std::optional<float> celsius;  // none: no reading
};
Reading ReadingOf(IPortableDeviceValues* values);

// Now, on the clock the sensor stamps its readings with.
FILETIME FileTimeNow();

// How old a reading stamped `timestamp` is at `now` (a stamp ahead of now counts as 0), and whether
// it is stale: older than twice the report interval (never, for an interval of 0: unknown).
struct Freshness {
    std::int64_t ageMs = 0;
    bool stale = false;
    ULONG intervalMs = 0;  // the report interval it was judged by
};
Freshness FreshnessOf(const FILETIME& timestamp, const FILETIME& now, ULONG reportIntervalMs);
// "12 ms", "3.4 s", "75 s".
std::string AgeText(std::int64_t ageMs);

// "VT_UI4", or "VT_0x1234" for a type without a name.
std::string VarTypeName(VARTYPE vt);
// ISO 8601 UTC with milliseconds.
std::string FileTimeToIso(const FILETIME& time);
// The shortest decimal that reads back as the same float, as a double, and as text ("25.0").
double FloatToDecimal(float value);
std::string FloatText(float value);

Json ValueToJson(const PROPVARIANT& value);
std::string ValueToText(const PROPVARIANT& value);

// One property as a JSON object (see above).
Json PropertyToJson(const PROPERTYKEY& key, const PROPVARIANT& value);
// Every entry of a values set, in its order; entries that cannot be read are left out.
Json ValuesToJsonObject(IPortableDeviceValues* values);

// "ready", "not-available", "no-data", "initializing", "access-denied", "error"; "state-N" for
// any other value.
std::string SensorStateName(ULONG state);

}  // namespace sensorctl
