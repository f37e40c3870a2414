// The wire form of the portable-device collections: values sets, key collections and values
// collections as compact, versioned, little-endian bytes, for the client transport of the host and
// the sensor class extension. docs/values-encoding.md describes the bytes exactly, for clients
// written in other languages.
//
//   std::vector<std::uint8_t> bytes;
//   RETURN_IF_FAILED(transport::EncodeValues(values, &bytes));
//   ComPtr<IPortableDeviceValues> decoded;
//   RETURN_IF_FAILED(transport::DecodeValues(bytes, decoded.GetAddressOf()));
//
// Value types carried: VT_EMPTY, VT_NULL, VT_I4, VT_UI4, VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL,
// VT_ERROR, VT_LPWSTR, VT_FILETIME, VT_CLSID, and VT_UNKNOWN holding a values set (nested).
//
// The decoder takes untrusted bytes. It never reads outside them, checks every limit below before
// it allocates, and answers anything it does not accept as a whole with an error and no object:
//   kMalformedEncoding     the bytes are not a valid encoding of the expected kind (truncated,
//                          trailing bytes, unknown kind or type, bad bool or string, duplicate
//                          key in a values set, a limit passed)
//   kUnsupportedVersion    the encoding names a version this decoder does not know
//   E_OUTOFMEMORY          memory for the result could not be had
// The encoder refuses what it cannot carry, and the buffer is then as it was:
//   DISP_E_BADVARTYPE      a value of another type, or a VT_UNKNOWN that is not a values set
//   E_INVALIDARG           a VT_LPWSTR or VT_CLSID without its pointer
//   kEncodingTooLarge      a limit below passed (nesting, entries, string length, whole size);
//                          a values set that contains itself ends here too
//   a failure of a collection operation it calls, as that operation answered it
// Null pointer arguments give E_POINTER.
//
// Ownership: the decoder's objects are new and belong to the caller (one reference each). The
// encoder reads the collections through their interfaces and changes nothing.
//
// Thread safety: the functions keep no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/export.h"
#include "platform/wpd/portable_device_values.h"

PLATFORM_API_BEGIN

namespace transport {

inline constexpr std::uint8_t kValuesEncodingVersion = 1;

// Limits, the same for encoder and decoder.
inline constexpr std::size_t kMaxEncodedBytes = 1u << 20;        // a whole encoding
inline constexpr std::uint32_t kMaxEntriesPerCollection = 4096;  // entries of one set, keys or sets
inline constexpr std::uint32_t kMaxStringUnits = 32767;          // UTF-16 units of one string
inline constexpr std::uint32_t kMaxNestingDepth = 8;             // values sets inside one another

inline constexpr HRESULT kMalformedEncoding = HRESULT_FROM_WIN32(13);     // ERROR_INVALID_DATA
inline constexpr HRESULT kUnsupportedVersion = HRESULT_FROM_WIN32(1306);  // ERROR_REVISION_MISMATCH
inline constexpr HRESULT kEncodingTooLarge = HRESULT_FROM_WIN32(111);     // ERROR_BUFFER_OVERFLOW

// Each encoder appends one whole encoding to *out.
HRESULT EncodeValues(IPortableDeviceValues* values, std::vector<std::uint8_t>* out);
HRESULT EncodeKeys(IPortableDeviceKeyCollection* keys, std::vector<std::uint8_t>* out);
HRESULT EncodeValuesCollection(IPortableDeviceValuesCollection* collection, std::vector<std::uint8_t>* out);

// Each decoder takes exactly one whole encoding of its kind; *out is null on failure.
HRESULT DecodeValues(std::span<const std::uint8_t> bytes, IPortableDeviceValues** out);
HRESULT DecodeKeys(std::span<const std::uint8_t> bytes, IPortableDeviceKeyCollection** out);
HRESULT DecodeValuesCollection(std::span<const std::uint8_t> bytes, IPortableDeviceValuesCollection** out);

}  // namespace transport
PLATFORM_API_END
