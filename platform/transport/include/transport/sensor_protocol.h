// The sensor protocol: what a client of the sensor class extension sends in a portable-device
// message request and what it gets back, and the event messages the class extension delivers to
// subscribed clients. Every message is one values-set document of the values codec
// (values_codec.h). docs/sensor-protocol.md describes the messages exactly, for clients written in
// other languages.
//
//   Parameters (request input)          Results (request output)
//     kCommand        VT_UI4              kStatus           VT_ERROR, the callback's HRESULT
//     kObjectId       VT_LPWSTR           kValuesResult     values set (properties, data fields,
//     kRequestedKeys  values set              per-key write results, a message's results)
//     kValuesToWrite  values set          kKeysResult       values set of keys (supported ...)
//                                         kEventsResult     values set of VT_CLSID entries
//                                         kObjectsResult    values set of values sets
//
//   Event message
//     kEventKind VT_UI4, kObjectId VT_LPWSTR, and kEventValues (data updated) or kState (state
//     changed); a sensor-left message carries nothing more
//
// Thread safety: the functions keep no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/export.h"
#include "platform/com/com_ptr.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/wpd/portable_device_values.h"

PLATFORM_API_BEGIN

namespace transport {

// The two device I/O control codes of a portable-device message: read access, and read-write
// access (needed by kSetProperties).
inline constexpr ULONG kSensorMessageReadCode = 0x00404108;
inline constexpr ULONG kSensorMessageReadWriteCode = 0x0040C108;

// The property set of the protocol's own keys.
inline constexpr GUID kSensorProtocolKeys = platform::MakeGuid("{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}");

DEFINE_PROPERTYKEY(kCommand, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 1);
DEFINE_PROPERTYKEY(kObjectId, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 2);
DEFINE_PROPERTYKEY(kRequestedKeys, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 3);
DEFINE_PROPERTYKEY(kValuesToWrite, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 4);
DEFINE_PROPERTYKEY(kStatus, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 5);
DEFINE_PROPERTYKEY(kValuesResult, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 6);
DEFINE_PROPERTYKEY(kKeysResult, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 7);
DEFINE_PROPERTYKEY(kEventsResult, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 8);
DEFINE_PROPERTYKEY(kObjectsResult, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 9);
DEFINE_PROPERTYKEY(kEventKind, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 10);
DEFINE_PROPERTYKEY(kEventValues, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 11);
DEFINE_PROPERTYKEY(kState, "{E0B9B221-48DA-4ADF-9A57-A78B489D9D51}", 12);

// The value of kCommand. Any other value is a message for the driver (OnProcessWpdMessage).
enum class SensorCommand : ULONG {
    kGetSupportedSensorObjects = 1,
    kGetSupportedProperties = 2,
    kGetSupportedDataFields = 3,
    kGetSupportedEvents = 4,
    kGetProperties = 5,
    kGetDataFields = 6,
    kSetProperties = 7,
    kConnect = 8,
    kDisconnect = 9,
    kSubscribe = 10,
    kUnsubscribe = 11,
};

// The value of kEventKind.
enum class SensorEventKind : ULONG {
    kDataUpdated = 1,
    kStateChanged = 2,
    kLeft = 3,  // the sensor is gone (its device was removed); the subscription ended with it
};

// The size of a results document that holds kStatus only: what connect, disconnect, subscribe and
// unsubscribe answer. The class extension refuses a smaller output buffer for them before it calls
// the driver, so that a retry never runs such a command twice.
inline constexpr std::size_t kStatusOnlyResultsSize = 34;

// The i-th entry of a list carried as a values set (kEventsResult, kObjectsResult).
constexpr PROPERTYKEY ListItemKey(DWORD index)
{
    return PROPERTYKEY{kSensorProtocolKeys, index};
}

// A decoded event message.
struct SensorEvent {
    SensorEventKind kind = SensorEventKind::kDataUpdated;
    std::u16string sensorId;
    // kDataUpdated: the event values set as the driver posted it (event ID, then the data fields).
    platform::ComPtr<IPortableDeviceValues> values;
    // kStateChanged: the new state.
    SensorState state = SENSOR_STATE_READY;
};

// Each appends one whole event message to *out; E_POINTER for a null argument, or what the codec
// answers (the buffer is then as it was).
HRESULT EncodeDataUpdatedEvent(LPCWSTR sensorId, IPortableDeviceValues* eventValues, std::vector<std::uint8_t>* out);
HRESULT EncodeStateChangedEvent(LPCWSTR sensorId, SensorState state, std::vector<std::uint8_t>* out);
HRESULT EncodeSensorLeftEvent(LPCWSTR sensorId, std::vector<std::uint8_t>* out);

// Decodes one event message. What the codec refuses keeps its answer; a values set without a known
// kind, without the sensor ID, or without the payload of its kind gives kMalformedEncoding.
HRESULT DecodeSensorEvent(std::span<const std::uint8_t> bytes, SensorEvent* out);

}  // namespace transport
PLATFORM_API_END
