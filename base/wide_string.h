// Bounded UTF-16 text helpers for the fixed buffers of the sensor objects.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstddef>

#include "platform/com/hresult.h"
#include "platform/types.h"

// Units before the terminator.
std::size_t WideLength(PCWSTR text);

// Copies text into a buffer of cchDest units, terminator included. A text that does not fit is
// truncated to cchDest - 1 units and gives STRSAFE_E_INSUFFICIENT_BUFFER (0x8007007A). A null text
// or buffer, or an empty buffer, gives E_INVALIDARG.
HRESULT CopyBounded(PWSTR dest, std::size_t cchDest, PCWSTR text);
// Appends text to the terminated text in a buffer of cchDest units, with the same rules.
HRESULT AppendBounded(PWSTR dest, std::size_t cchDest, PCWSTR text);

// Equal texts, ignoring the case of the letters A to Z.
bool EqualsIgnoreCase(PCWSTR a, PCWSTR b);
