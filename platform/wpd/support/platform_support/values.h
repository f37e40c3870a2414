// Values sets made already filled, for the platform's own decoders and stores (they take over
// their entries without going through the checked operations of IPortableDeviceValues).
//
//   std::vector<platform::support::ValueEntry> entries;
//   entries.emplace_back(key, ownedValue);  // takes over the value
//   platform::support::CreatePortableDeviceValues(std::move(entries), values.GetAddressOf());
//
// Thread safety: ValueEntry is a plain owned value, used by one thread at a time.
#pragma once

#include <new>
#include <utility>
#include <vector>

#include "platform/export.h"
#include "platform/wpd/portable_device_values.h"

PLATFORM_API_BEGIN
namespace platform::support {

// One entry of a values set: a key and the value it owns (cleared on destruction).
struct ValueEntry {
    PROPERTYKEY key{};
    PROPVARIANT value{};

    ValueEntry() = default;
    // Takes over what `owned` holds.
    ValueEntry(REFPROPERTYKEY k, const PROPVARIANT& owned) : key(k), value(owned) {}
    ValueEntry(ValueEntry&& other) noexcept : key(other.key), value(std::exchange(other.value, PROPVARIANT{})) {}
    ValueEntry& operator=(ValueEntry&& other) noexcept
    {
        std::swap(key, other.key);
        std::swap(value, other.value);
        return *this;
    }
    ValueEntry(const ValueEntry&) = delete;
    ValueEntry& operator=(const ValueEntry&) = delete;
    ~ValueEntry() { PropVariantClear(&value); }
};

// Makes a values set that takes over `entries` and returns one reference in *out. The entries must
// have distinct keys and values of the kinds a values set stores. E_OUTOFMEMORY when the object
// cannot be allocated (the entries are then released).
HRESULT CreatePortableDeviceValues(std::vector<ValueEntry> entries, IPortableDeviceValues** out);

// Catches an allocation failure of the standard containers at an interface boundary.
template <class Body>
HRESULT ReturnOutOfMemoryOnThrow(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace platform::support
PLATFORM_API_END
