// Text helpers of the programs: UTF-16 (the platform's wide text) to and from UTF-8, control
// characters made visible, and HRESULTs as people read them.
//
// Thread safety: the functions keep no state.
#pragma once

#include <string>
#include <string_view>

#include "platform/com/hresult.h"

namespace apps {

// Invalid sequences become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// The text with its control characters written out, so that it stays one line and cannot steer a
// terminal: "\n", "\r", "\t", "\x1B" (other C0 controls and DEL), "\u009B" (C1 controls), and
// "\xFF" for each byte that is not part of valid UTF-8. Everything else is kept as it is.
std::string EscapeControls(std::string_view text);

// "0x80070057".
std::string HresultHex(HRESULT hr);
// "E_INVALIDARG (0x80070057)" for a result with a well-known name, else the hexadecimal form;
// "S_OK" and "S_FALSE" alone.
std::string HresultText(HRESULT hr);

}  // namespace apps
