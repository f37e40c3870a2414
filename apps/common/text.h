// Text helpers of the programs: UTF-16 (the platform's wide text) to and from UTF-8, control
// characters made visible, and HRESULTs as people read them.
//
// Thread safety: the functions keep no state.
#pragma once

#include <string>
#include <string_view>

#include "platform_support/hresult_text.h"
#include "platform_support/text_coding.h"

namespace apps {

// The platform's text codec and result names (invalid UTF-8 sequences become U+FFFD).
using platform::support::HresultHex;
using platform::support::HresultText;
using platform::support::Utf16ToUtf8;
using platform::support::Utf8ToUtf16;

// The text with its control characters written out, so that it stays one line and cannot steer a
// terminal: "\n", "\r", "\t", "\x1B" (other C0 controls and DEL), "\u009B" (C1 controls), and
// "\xFF" for each byte that is not part of valid UTF-8. Everything else is kept as it is.
std::string EscapeControls(std::string_view text);

}  // namespace apps
