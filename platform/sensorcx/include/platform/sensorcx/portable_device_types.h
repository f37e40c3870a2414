// Names of the portable-device collection interfaces and of the key and value types that cross the
// sensor class extension's boundary. They are declared here so that the contract headers can name
// them; their definitions come with the collections.
#pragma once

#include "platform/export.h"

PLATFORM_API_BEGIN

struct PROPERTYKEY;
struct PROPVARIANT;
struct IPortableDeviceValues;
struct IPortableDeviceKeyCollection;
struct IPortableDeviceValuesCollection;
PLATFORM_API_END
