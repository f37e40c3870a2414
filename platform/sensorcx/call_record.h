// The record of what class extensions were given, kept for tests
// (platform_testing/sensor_class_extension.h), and the count of live instances.
//
// Thread safety: every function may be called from any thread; the record has its own lock, held
// only to append or copy.
#pragma once

#include <cstdint>

#include "platform_testing/sensor_class_extension.h"

namespace platform::detail {

// Numbers a new instance and counts it alive; InstanceEnded counts it gone.
std::uint64_t SensorCxInstanceStarted();
void SensorCxInstanceEnded();

// True while a recorder records: only then is a record worth building.
bool RecordingSensorCxCalls();
void RecordSensorCxCall(testing::SensorCxCallRecord record);

}  // namespace platform::detail
