// HRESULTs as people read them, in logs, records and messages.
//
// Thread safety: the functions keep no state.
#pragma once

#include <string>

#include "platform/com/hresult.h"
#include "platform/export.h"

PLATFORM_API_BEGIN
namespace platform::support {

// "0x80070057".
std::string HresultHex(HRESULT hr);
// "E_INVALIDARG (0x80070057)" for a result with a well-known name, else the hexadecimal form;
// "S_OK" and "S_FALSE" alone.
std::string HresultText(HRESULT hr);

}  // namespace platform::support
PLATFORM_API_END
