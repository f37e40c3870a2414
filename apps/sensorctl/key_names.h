// The platform names of the keys a sensor answers with (sensor properties, data fields, the
// event ID, portable-device object keys) and of the GUID values they carry, for display.
//
//   KeyName(SENSOR_PROPERTY_MANUFACTURER)   -> "SENSOR_PROPERTY_MANUFACTURER"
//   KeyDisplayName({someGuid, 99})          -> "{...} 99" for a key without a name
//   FindKey("sensor_property_model")        -> SENSOR_PROPERTY_MODEL (names match without case)
//
// Thread safety: the table is constant.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/com/propkey.h"

namespace sensorctl {

// The key's platform name, or null for a key not in the table.
const char* KeyName(const PROPERTYKEY& key);
// The platform name, or "{FMTID} PID".
std::string KeyDisplayName(const PROPERTYKEY& key);
// A key by its platform name (any case), or by "{FMTID} PID".
std::optional<PROPERTYKEY> FindKey(std::string_view text);
// The name of a well-known GUID value (sensor type and category, object format and content type,
// event IDs), or null.
const char* GuidValueName(const GUID& guid);

}  // namespace sensorctl
