// Test control of the portable-device collections (platform/wpd/portable_device_values.h).
//
//   EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), 0u);   // nothing leaked
//   platform::testing::FailCall(
//       platform::testing::CollectionFault("IPortableDeviceValues::SetValue", SENSOR_PROPERTY_STATE));
//
// Thread safety: all functions may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/export.h"
#include "platform/com/propkey.h"

PLATFORM_API_BEGIN

namespace platform::testing {

// Values sets, key collections and values collections alive now, of all three kinds together.
std::size_t LivePortableDeviceCollections();

// The fault point of one collection operation narrowed to one key:
// "IPortableDeviceValues::SetValue:{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920} 3".
std::string CollectionFault(std::string_view point, REFPROPERTYKEY key);

}  // namespace platform::testing
PLATFORM_API_END
