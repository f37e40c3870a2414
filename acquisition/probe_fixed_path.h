// The fixed-path channel of the temperature probe: the device opened by its fixed name, asked for a
// status word (ready byte and sensor kind) and then for raw counts, which the channel converts to
// degrees Celsius itself with the built-in table of the sensor kind. Its readings are temperatures
// already and do not go through the thermal map.
//
// Ownership: process-wide state, made on first use and never freed: the opened flag (on the heap,
// handed out by GetFixedProbeState), the handle of the last open, and the two conversion tables,
// filled each time an open succeeds.
//
// Thread safety: none of its own. Open and close run on the host's callback threads; reads run on
// the collector thread, which is the only reader and has ended before the channel is closed. The
// first GetFixedProbeState must not race another call.
#pragma once

#include "platform/types.h"

// The opened flag: 1 after a successful open, 0 after a failed open or a close. Allocated with 0 on
// the first call; null only when it could not be allocated.
int* GetFixedProbeState();

// Opens the device and stores the result (1 opened, 0 failed) in *opened; returns it. A handle
// still held from an earlier open is closed first.
int OpenFixedProbe(int* opened);

// Closes the handle, if one is held, and clears *opened so that later reads send nothing.
void CloseFixedProbe(int* opened);

// Reads the temperature into *celsius and returns non-zero on success. With *opened 0 it returns 0
// and leaves *celsius untouched. A success may carry the no-reading value -1024.0 (unknown sensor
// kind, or counts outside the table).
int ReadFixedProbe(const int* opened, float* celsius);
