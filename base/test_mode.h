// The process-wide test-mode flag: 0 when the module loads, 1 while the device runs in test mode.
// Hardware preparation writes it from the registry; the collector thread and the device callbacks
// read it without a lock.
//
// Thread safety: an atomic 32-bit integer. It guards nothing but its own value, so every access is a
// relaxed load or store; a reader sees either the old or the new value, never a torn one.
#pragma once

#include <atomic>

#include "platform/types.h"

extern std::atomic<LONG> g_TestMode;
