#include "sensorctl/value_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <algorithm>

#include "common/text.h"
#include "platform/com/com_ptr.h"
#include "platform/sensorcx/sensors.h"
#include "sensorctl/key_names.h"

namespace sensorctl {
namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

std::string GuidText(const GUID& guid)
{
    return platform::GuidToString(guid);
}

// The values set a VT_UNKNOWN holds, or null.
platform::ComPtr<IPortableDeviceValues> NestedValues(IUnknown* unknown)
{
    platform::ComPtr<IPortableDeviceValues> values;
    if (unknown != nullptr) {
        unknown->QueryInterface(IID_IPortableDeviceValues, reinterpret_cast<void**>(values.GetAddressOf()));
    }
    return values;
}

Json NestedValuesToJson(IUnknown* unknown)
{
    const platform::ComPtr<IPortableDeviceValues> values = NestedValues(unknown);
    if (!values) return nullptr;
    return ValuesToJsonObject(values.Get());
}

// The shortest decimal that reads back as the same number, with ".0" for a whole one.
template <class Number>
std::string DecimalText(Number value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    std::string decimal(text, result.ptr);
    if (std::isfinite(value) && decimal.find_first_of(".e") == std::string::npos) decimal += ".0";
    return decimal;
}

std::string WideText(const char16_t* text)
{
    return text != nullptr ? apps::Utf16ToUtf8(text) : "(null)";
}

}  // namespace

std::string VarTypeName(VARTYPE vt)
{
    switch (vt) {
        case VT_EMPTY: return "VT_EMPTY";
        case VT_NULL: return "VT_NULL";
        case VT_I1: return "VT_I1";
        case VT_UI1: return "VT_UI1";
        case VT_I2: return "VT_I2";
        case VT_UI2: return "VT_UI2";
        case VT_I4: return "VT_I4";
        case VT_UI4: return "VT_UI4";
        case VT_INT: return "VT_INT";
        case VT_UINT: return "VT_UINT";
        case VT_I8: return "VT_I8";
        case VT_UI8: return "VT_UI8";
        case VT_R4: return "VT_R4";
        case VT_R8: return "VT_R8";
        case VT_BOOL: return "VT_BOOL";
        case VT_ERROR: return "VT_ERROR";
        case VT_FILETIME: return "VT_FILETIME";
        case VT_CLSID: return "VT_CLSID";
        case VT_LPWSTR: return "VT_LPWSTR";
        case VT_BSTR: return "VT_BSTR";
        case VT_UNKNOWN: return "VT_UNKNOWN";
        default: break;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "VT_0x%04X", static_cast<unsigned>(vt));
    return text;
}

std::string FileTimeToIso(const FILETIME& time)
{
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    // Times before 1970 are shown as they are; gmtime_r takes negative seconds.
    const auto sinceEpoch = static_cast<std::int64_t>(ticks - kUnixEpochAsFileTime);
    std::int64_t seconds = sinceEpoch / 10000000;
    std::int64_t remainder = sinceEpoch % 10000000;
    if (remainder < 0) {
        remainder += 10000000;
        --seconds;
    }
    const auto asTime = static_cast<std::time_t>(seconds);
    std::tm calendar{};
    if (gmtime_r(&asTime, &calendar) == nullptr) return "invalid";
    char text[48];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", calendar.tm_year + 1900,
                  calendar.tm_mon + 1, calendar.tm_mday, calendar.tm_hour, calendar.tm_min, calendar.tm_sec,
                  static_cast<int>(remainder / 10000));
    return text;
}

double FloatToDecimal(float value)
{
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text) - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

std::string FloatText(float value)
{
    return DecimalText(value);
}

Json ValueToJson(const PROPVARIANT& value)
{
    switch (value.vt) {
        case VT_EMPTY:
        case VT_NULL: return nullptr;
        case VT_I1: return static_cast<int>(value.cVal);
        case VT_UI1: return static_cast<unsigned>(value.bVal);
        case VT_I2: return value.iVal;
        case VT_UI2: return value.uiVal;
        case VT_I4: return value.lVal;
        case VT_UI4: return value.ulVal;
        case VT_INT: return value.intVal;
        case VT_UINT: return value.uintVal;
        case VT_I8: return value.hVal.QuadPart;
        case VT_UI8: return value.uhVal.QuadPart;
        case VT_R4: return FloatToDecimal(value.fltVal);
        case VT_R8: return value.dblVal;
        case VT_BOOL: return value.boolVal != VARIANT_FALSE;
        case VT_ERROR: return apps::HresultHex(value.scode);
        case VT_FILETIME: return FileTimeToIso(value.filetime);
        case VT_CLSID: return value.puuid != nullptr ? Json(GuidText(*value.puuid)) : Json(nullptr);
        case VT_LPWSTR:
            return value.pwszVal != nullptr ? Json(apps::Utf16ToUtf8(value.pwszVal)) : Json(nullptr);
        case VT_BSTR:
            return value.bstrVal != nullptr ? Json(apps::Utf16ToUtf8(value.bstrVal)) : Json(nullptr);
        case VT_UNKNOWN: return NestedValuesToJson(value.punkVal);
        default: return nullptr;
    }
}

std::string ValueToText(const PROPVARIANT& value)
{
    switch (value.vt) {
        case VT_EMPTY: return "(empty)";
        case VT_NULL: return "(null)";
        case VT_I1: return std::to_string(value.cVal);
        case VT_UI1: return std::to_string(value.bVal);
        case VT_I2: return std::to_string(value.iVal);
        case VT_UI2: return std::to_string(value.uiVal);
        case VT_I4: return std::to_string(value.lVal);
        case VT_UI4: return std::to_string(value.ulVal);
        case VT_INT: return std::to_string(value.intVal);
        case VT_UINT: return std::to_string(value.uintVal);
        case VT_I8: return std::to_string(value.hVal.QuadPart);
        case VT_UI8: return std::to_string(value.uhVal.QuadPart);
        case VT_R4: return FloatText(value.fltVal);
        case VT_R8: return DecimalText(value.dblVal);
        case VT_BOOL: return value.boolVal != VARIANT_FALSE ? "true" : "false";
        case VT_ERROR: return "error " + apps::HresultText(value.scode);
        case VT_LPWSTR: return WideText(value.pwszVal);
        case VT_BSTR: return WideText(value.bstrVal);
        case VT_FILETIME: return FileTimeToIso(value.filetime);
        case VT_CLSID: {
            if (value.puuid == nullptr) return "(null)";
            const char* name = GuidValueName(*value.puuid);
            return name != nullptr ? std::string(name) + " " + GuidText(*value.puuid) : GuidText(*value.puuid);
        }
        case VT_UNKNOWN: {
            const platform::ComPtr<IPortableDeviceValues> nested = NestedValues(value.punkVal);
            if (!nested) return "(object)";
            std::string text;
            DWORD count = 0;
            nested->GetCount(&count);
            for (DWORD i = 0; i < count; ++i) {
                PROPERTYKEY key{};
                ScopedValue entry;
                if (FAILED(nested->GetAt(i, &key, &entry))) continue;
                text += (text.empty() ? "{" : ", ") + KeyDisplayName(key) + ": " + ValueToText(*entry);
            }
            return text.empty() ? "{}" : text + "}";
        }
        default: return "(" + VarTypeName(value.vt) + ")";
    }
}

Json PropertyToJson(const PROPERTYKEY& key, const PROPVARIANT& value)
{
    Json line;
    line["key"] = KeyDisplayName(key);
    line["pid"] = key.pid;
    line["fmtid"] = GuidText(key.fmtid);
    line["type"] = VarTypeName(value.vt);
    if (value.vt == VT_ERROR) {
        line["error"] = apps::HresultHex(value.scode);
    } else {
        line["value"] = ValueToJson(value);
    }
    return line;
}

Json ValuesToJsonObject(IPortableDeviceValues* values)
{
    Json object = Json::object();
    DWORD count = 0;
    if (values == nullptr || FAILED(values->GetCount(&count))) return object;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        ScopedValue value;
        if (FAILED(values->GetAt(i, &key, &value))) continue;
        object[KeyDisplayName(key)] = ValueToJson(*value);
    }
    return object;
}

Reading ReadingOf(IPortableDeviceValues* values)
{
    Reading reading;
    if (values == nullptr) return reading;
    ScopedValue time;
    if (SUCCEEDED(values->GetValue(SENSOR_DATA_TYPE_TIMESTAMP, &time)) && time->vt == VT_FILETIME) {
        reading.timestamp = time->filetime;
    }
    ScopedValue celsius;
    if (SUCCEEDED(values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &celsius)) && celsius->vt == VT_R4) {
        reading.celsius = celsius->fltVal;
    }
    return reading;
}

FILETIME FileTimeNow()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::uint64_t ticks = kUnixEpochAsFileTime + static_cast<std::uint64_t>(now.tv_sec) * 10000000u +
                                static_cast<std::uint64_t>(now.tv_nsec) / 100u;
    return {static_cast<DWORD>(ticks & 0xFFFFFFFFu), static_cast<DWORD>(ticks >> 32)};
}

Freshness FreshnessOf(const FILETIME& timestamp, const FILETIME& now, ULONG reportIntervalMs)
{
    const auto ticks = [](const FILETIME& time) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
    };
    Freshness freshness;
    freshness.intervalMs = reportIntervalMs;
    freshness.ageMs = std::max<std::int64_t>(0, (ticks(now) - ticks(timestamp)) / 10000);
    freshness.stale = reportIntervalMs != 0 && freshness.ageMs > 2 * static_cast<std::int64_t>(reportIntervalMs);
    return freshness;
}

std::string AgeText(std::int64_t ageMs)
{
    if (ageMs < 1000) return std::to_string(ageMs) + " ms";
    if (ageMs < 60000) {
        char text[32];
        std::snprintf(text, sizeof(text), "%.1f s", static_cast<double>(ageMs) / 1000.0);
        return text;
    }
    return std::to_string(ageMs / 1000) + " s";
}

std::string SensorStateName(ULONG state)
{
    switch (state) {
        case 0: return "ready";
        case 1: return "not-available";
        case 2: return "no-data";
        case 3: return "initializing";
        case 4: return "access-denied";
        case 5: return "error";
        default: return "state-" + std::to_string(state);
    }
}

}  // namespace sensorctl
