#include "sensorctl/key_names.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/sensorcx/sensors.h"
#include "platform/wpd/portable_device_keys.h"

namespace sensorctl {
namespace {

struct NamedKey {
    PROPERTYKEY key;
    const char* name;
};

#define NAMED_KEY(key) NamedKey{key, #key}

constexpr NamedKey kKeys[] = {
    NAMED_KEY(SENSOR_PROPERTY_TYPE),
    NAMED_KEY(SENSOR_PROPERTY_STATE),
    NAMED_KEY(SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID),
    NAMED_KEY(SENSOR_PROPERTY_MANUFACTURER),
    NAMED_KEY(SENSOR_PROPERTY_MODEL),
    NAMED_KEY(SENSOR_PROPERTY_SERIAL_NUMBER),
    NAMED_KEY(SENSOR_PROPERTY_FRIENDLY_NAME),
    NAMED_KEY(SENSOR_PROPERTY_DESCRIPTION),
    NAMED_KEY(SENSOR_PROPERTY_CONNECTION_TYPE),
    NAMED_KEY(SENSOR_PROPERTY_MIN_REPORT_INTERVAL),
    NAMED_KEY(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL),
    NAMED_KEY(SENSOR_PROPERTY_CHANGE_SENSITIVITY),
    NAMED_KEY(SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY),
    NAMED_KEY(SENSOR_PROPERTY_RADIO_STATE),
    NAMED_KEY(SENSOR_PROPERTY_RADIO_STATE_PREVIOUS),
    NAMED_KEY(SENSOR_DATA_TYPE_TIMESTAMP),
    NAMED_KEY(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS),
    NAMED_KEY(SENSOR_EVENT_PARAMETER_EVENT_ID),
    NAMED_KEY(WPD_OBJECT_ID),
    NAMED_KEY(WPD_OBJECT_PARENT_ID),
    NAMED_KEY(WPD_OBJECT_NAME),
    NAMED_KEY(WPD_OBJECT_PERSISTENT_UNIQUE_ID),
    NAMED_KEY(WPD_OBJECT_FORMAT),
    NAMED_KEY(WPD_OBJECT_CONTENT_TYPE),
    NAMED_KEY(WPD_OBJECT_CAN_DELETE),
    NAMED_KEY(WPD_FUNCTIONAL_OBJECT_CATEGORY),
};

struct NamedGuid {
    GUID guid;
    const char* name;
};

#define NAMED_GUID(guid) NamedGuid{guid, #guid}

constexpr NamedGuid kGuids[] = {
    NAMED_GUID(SENSOR_TYPE_ENVIRONMENTAL_TEMPERATURE),
    NAMED_GUID(SENSOR_CATEGORY_ENVIRONMENTAL),
    NAMED_GUID(SENSOR_EVENT_DATA_UPDATED),
    NAMED_GUID(WPD_OBJECT_FORMAT_UNSPECIFIED),
    NAMED_GUID(WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT),
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

const char* KeyName(const PROPERTYKEY& key)
{
    for (const NamedKey& named : kKeys) {
        if (named.key == key) return named.name;
    }
    return nullptr;
}

std::string KeyDisplayName(const PROPERTYKEY& key)
{
    if (const char* name = KeyName(key)) return name;
    return platform::GuidToString(key.fmtid) + " " + std::to_string(key.pid);
}

std::optional<PROPERTYKEY> FindKey(std::string_view text)
{
    for (const NamedKey& named : kKeys) {
        if (EqualsIgnoringCase(text, named.name)) return named.key;
    }
    // "{FMTID} PID"
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return std::nullopt;
    PROPERTYKEY key{};
    if (!platform::ParseGuid(text.substr(0, blank), &key.fmtid)) return std::nullopt;
    const std::string pid(text.substr(blank + 1));
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned long value = std::strtoul(pid.c_str(), nullptr, 10);
    if (pid.size() > 10 || value > 0xFFFFFFFFul) return std::nullopt;
    key.pid = static_cast<DWORD>(value);
    return key;
}

const char* GuidValueName(const GUID& guid)
{
    for (const NamedGuid& named : kGuids) {
        if (named.guid == guid) return named.name;
    }
    return nullptr;
}

}  // namespace sensorctl
