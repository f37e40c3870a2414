// PROPERTYKEY: a property set identifier and a property identifier within that set.
#pragma once

#include "platform/export.h"
#include "platform/com/guid.h"

PLATFORM_API_BEGIN

struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;

    friend constexpr bool operator==(const PROPERTYKEY& a, const PROPERTYKEY& b)
    {
        return a.pid == b.pid && a.fmtid == b.fmtid;
    }
};

using REFPROPERTYKEY = const PROPERTYKEY&;

constexpr bool IsEqualPropertyKey(REFPROPERTYKEY a, REFPROPERTYKEY b)
{
    return a == b;
}

// Defines a named key from the set identifier's registry text and the property identifier:
//   DEFINE_PROPERTYKEY(SENSOR_PROPERTY_STATE, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 3);
#define DEFINE_PROPERTYKEY(name, fmtidText, pidValue) \
    inline constexpr PROPERTYKEY name                 \
    {                                                 \
        platform::MakeGuid(fmtidText), (pidValue)     \
    }
PLATFORM_API_END
