// What the handlers of the private radio-state control codes (platform/probe/thermal_driver_contract.h)
// read and write: the selector of the radio value, and the largest radio state a set may carry.
#pragma once

#include "platform/types.h"

// Which radio value a handler reads or writes.
inline constexpr ULONG kRadioSelectorState = 0;
inline constexpr ULONG kRadioSelectorPrevious = 1;

// The largest radio state a set request may carry.
inline constexpr LONG kMaxRadioState = 6;
