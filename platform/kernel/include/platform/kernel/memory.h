// Local memory: the heap blocks that LocalAlloc hands out and LocalFree takes back.
//
// Thread safety: both calls may be made from any thread.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

using HLOCAL = void*;

// A fixed block: the handle is the address of the memory.
inline constexpr UINT LMEM_FIXED = 0x0000;

// Allocates uBytes of uninitialised memory, aligned for any type. Only LMEM_FIXED is supported;
// other flags fail with ERROR_INVALID_PARAMETER. NULL (with the last error) on failure.
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);

// Frees a block from LocalAlloc; NULL frees nothing. Returns NULL.
HLOCAL LocalFree(HLOCAL hMem);
PLATFORM_API_END
