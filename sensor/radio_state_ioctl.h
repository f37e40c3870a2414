// The private device control codes that read and write a sensor's radio state; each carries one
// 32-bit value.
#pragma once

#include "platform/types.h"

inline constexpr ULONG IOCTL_GET_RADIO_STATE = 0x49006000;
inline constexpr ULONG IOCTL_GET_PREVIOUS_RADIO_STATE = 0x49006004;
inline constexpr ULONG IOCTL_SET_RADIO_STATE = 0x4900A008;
inline constexpr ULONG IOCTL_SET_PREVIOUS_RADIO_STATE = 0x4900A00C;

// Which radio value a handler reads or writes.
inline constexpr ULONG kRadioSelectorState = 0;
inline constexpr ULONG kRadioSelectorPrevious = 1;

// The largest radio state a set request may carry.
inline constexpr LONG kMaxRadioState = 6;
