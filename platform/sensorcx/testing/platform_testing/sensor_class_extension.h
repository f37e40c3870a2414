// Test control of the sensor class extension (CLSID_SensorClassExtension): what each instance was
// given, in order, and how many instances are alive.
//
//   platform::testing::SensorClassExtensionRecorder recorder;   // records from now on
//   ... the driver starts its sensor manager and a reading arrives ...
//   const auto calls = recorder.Calls();
//   EXPECT_EQ(calls[0].call, platform::testing::SensorCxCall::kInitialize);
//   ComPtr<IPortableDeviceValues> event;
//   calls[2].DecodedEvent(0, event.GetAddressOf());              // a PostEvent's first event
//   EXPECT_EQ(platform::testing::LiveSensorClassExtensions(), 0u);
//
// To make the class absent: platform::testing::UnregisterClass(CLSID_SensorClassExtension)
// (platform_testing/com_classes.h); CoCreateInstance then answers REGDB_E_CLASSNOTREG.
//
// A call is recorded when the class extension takes it, before it calls the driver or a client;
// calls the class extension refuses (null arguments, not bound) are recorded too. Only one
// recorder records at a time; the record is emptied when a recorder starts and when it ends.
//
// Thread safety: all functions may be called from any thread, also while calls are recorded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/export.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/wpd/portable_device_values.h"

PLATFORM_API_BEGIN

namespace platform::testing {

enum class SensorCxCall {
    kInitialize,
    kUninitialize,
    kProcessIoControl,
    kPostEvent,
    kPostStateChange,
    kCleanupFile,
};

struct SensorCxCallRecord {
    // The instance, numbered 1, 2, ... in the order the process made them.
    std::uint64_t instance = 0;
    SensorCxCall call = SensorCxCall::kInitialize;
    // Initialize: the two objects as given; CleanupFile and ProcessIoControl: the request's file.
    // Only for comparison: the record holds no reference.
    const void* device = nullptr;
    const void* driver = nullptr;
    const void* file = nullptr;
    // ProcessIoControl: the control code, and the command when the parameters decoded.
    ULONG controlCode = 0;
    std::optional<ULONG> command;
    // ProcessIoControl: the object ID when the parameters held one; PostEvent, PostStateChange: the
    // sensor ID.
    std::u16string objectId;
    // PostEvent: each event values set of the collection, in order, encoded by the values codec
    // (transport/values_codec.h) as it was when PostEvent took it.
    std::vector<std::vector<std::uint8_t>> events;
    // PostStateChange: the state.
    SensorState state = SENSOR_STATE_READY;

    // The index-th posted event as a new values set (one reference for the caller).
    HRESULT DecodedEvent(std::size_t index, IPortableDeviceValues** out) const;
};

class SensorClassExtensionRecorder {
public:
    SensorClassExtensionRecorder();
    ~SensorClassExtensionRecorder();
    SensorClassExtensionRecorder(const SensorClassExtensionRecorder&) = delete;
    SensorClassExtensionRecorder& operator=(const SensorClassExtensionRecorder&) = delete;

    // Every call recorded so far, of every instance, in the order they were taken.
    std::vector<SensorCxCallRecord> Calls() const;
    // The calls of one kind.
    std::vector<SensorCxCallRecord> Calls(SensorCxCall kind) const;
    void Clear();
};

// Class extensions alive now.
std::size_t LiveSensorClassExtensions();

}  // namespace platform::testing
PLATFORM_API_END
