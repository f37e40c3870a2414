// What the three portable-device collections share, and how the platform makes them already
// filled (the wire decoder does, without going through their checked operations).
//
// Thread safety: ValueEntry is a plain owned value, used by one thread at a time. The live count
// is atomic.
#pragma once

#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/com_ptr.h"
#include "platform/wpd/portable_device_values.h"

namespace platform::detail {

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

// Each makes a new object that takes over the given contents and returns one reference in *out.
// The entries of a values set must have distinct keys and values of the kinds a values set
// stores. E_OUTOFMEMORY when the object cannot be allocated (the contents are then released).
HRESULT CreatePortableDeviceValues(std::vector<ValueEntry> entries, IPortableDeviceValues** out);
HRESULT CreatePortableDeviceKeyCollection(std::vector<PROPERTYKEY> keys, IPortableDeviceKeyCollection** out);
HRESULT CreatePortableDeviceValuesCollection(std::vector<ComPtr<IPortableDeviceValues>> members,
                                             IPortableDeviceValuesCollection** out);

// "{GUID} pid": the qualifier of a fault point for one key.
std::string KeyQualifier(REFPROPERTYKEY key);

// The result of a collection operation's fault point: S_OK to go on, or the injected error
// (E_OUTOFMEMORY unless the test chose one). With a key, the point is qualified by it.
HRESULT InjectedFailure(std::string_view point) noexcept;
HRESULT InjectedFailure(std::string_view point, REFPROPERTYKEY key) noexcept;

// Every collection counts itself alive from construction to destruction.
class CountedCollection {
protected:
    CountedCollection();
    ~CountedCollection();
    CountedCollection(const CountedCollection&) = delete;
    CountedCollection& operator=(const CountedCollection&) = delete;
};

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

}  // namespace platform::detail
