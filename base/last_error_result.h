// The calling thread's last system error as an HRESULT, for a platform call that reported a
// failure: a failure even when the call recorded no error code.
//
// Thread safety: reads the calling thread's own last error only.
#pragma once

#include "platform/com/hresult.h"
#include "platform/kernel/last_error.h"
#include "platform/win32_error.h"

inline HRESULT LastErrorResult()
{
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}
