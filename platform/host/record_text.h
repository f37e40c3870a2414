// How host objects render arguments and values in the host record.
//
// Thread safety: the functions keep no shared state.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/guid.h"
#include "platform/com/propvariant.h"
#include "platform/types.h"

namespace platform::host {

// "TRUE" or "FALSE" (any non-zero value is TRUE).
const char* BoolText(BOOL value);
// "0x0040C108"
std::string Hex32(std::uint32_t value);
// UTF-16 text as UTF-8; unpaired surrogates become U+FFFD. "null" for a null pointer.
std::string Utf8(std::u16string_view text);
std::string Utf8(PCWSTR text);
// "VT_UI4 3", "VT_LPWSTR \"text\"", "VT_EMPTY"; other types by number ("VT_72").
std::string PropVariantText(const PROPVARIANT& value);

}  // namespace platform::host
