// Values-set helpers that both sides of the sensor protocol use: the class extension and the
// client.
//
// Thread safety: the functions keep no shared state.
#pragma once

#include "platform/com/com_ptr.h"
#include "platform/wpd/portable_device_values.h"

namespace platform::detail {

// A new, empty values set or key collection.
HRESULT NewValues(ComPtr<IPortableDeviceValues>* out);
HRESULT NewKeys(ComPtr<IPortableDeviceKeyCollection>* out);

// Adds each key of the collection, in order, with a VT_EMPTY value. A key that is there already
// keeps its place: a values set holds each key once.
HRESULT AddKeysAsEmptyValues(IPortableDeviceKeyCollection* keys, IPortableDeviceValues* target);

// The keys of a values set, in its order, as a new key collection.
HRESULT KeysOfValues(IPortableDeviceValues* values, ComPtr<IPortableDeviceKeyCollection>* out);

// A field of a decoded message that is missing or of the wrong type makes the message malformed;
// a failure to get memory stays what it is.
HRESULT MissingFieldAs(HRESULT hr, HRESULT malformed);

}  // namespace platform::detail
