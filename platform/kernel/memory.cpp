#include "platform/kernel/memory.h"

#include <cstdlib>

#include "core/fault_injection.h"
#include "platform/kernel/last_error.h"

using platform::detail::CheckFault;

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    if (const auto error = CheckFault("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)) {
        SetLastError(*error);
        return nullptr;
    }
    if (uFlags != LMEM_FIXED) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A block of zero bytes is still a distinct, freeable block.
    HLOCAL block = std::malloc(uBytes != 0 ? uBytes : 1);
    if (block == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return block;
}

HLOCAL LocalFree(HLOCAL hMem)
{
    std::free(hMem);
    return nullptr;
}
