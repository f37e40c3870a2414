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

#include "inline_vector.h"
#include "platform/com/com_ptr.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_support/values.h"

namespace platform::detail {

using support::CreatePortableDeviceValues;
using support::ReturnOutOfMemoryOnThrow;
using support::ValueEntry;

// Each makes a new object that takes over the given contents and returns one reference in *out.
// E_OUTOFMEMORY when the object cannot be allocated (the contents are then released).
HRESULT CreatePortableDeviceKeyCollection(std::vector<PROPERTYKEY> keys, IPortableDeviceKeyCollection** out);
HRESULT CreatePortableDeviceValuesCollection(std::vector<ComPtr<IPortableDeviceValues>> members,
                                             IPortableDeviceValuesCollection** out);

// "{GUID} pid": the qualifier of a fault point for one key.
std::string KeyQualifier(REFPROPERTYKEY key);

// The result of a collection operation's fault point: S_OK to go on, or the injected error
// (E_OUTOFMEMORY unless the test chose one). With a key, the point is qualified by it.
HRESULT InjectedFailure(std::string_view point) noexcept;
HRESULT InjectedFailure(std::string_view point, REFPROPERTYKEY key) noexcept;

// Most values sets and key collections hold a few entries: this many are held in the object.
constexpr std::size_t kEntriesInPlace = 4;
using ValueEntries = InlineVector<ValueEntry, kEntriesInPlace>;
using Keys = InlineVector<PROPERTYKEY, kEntriesInPlace>;

// A values set that takes over decoded entries (distinct keys, storable values).
HRESULT CreatePortableDeviceValues(ValueEntries entries, IPortableDeviceValues** out);

// Every collection counts itself alive from construction to destruction.
class CountedCollection {
protected:
    CountedCollection();
    ~CountedCollection();
    CountedCollection(const CountedCollection&) = delete;
    CountedCollection& operator=(const CountedCollection&) = delete;
};

}  // namespace platform::detail
