// The calling thread's last-error code.
#pragma once

#include "platform/export.h"
#include "platform/types.h"
#include "platform/win32_error.h"

PLATFORM_API_BEGIN

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
PLATFORM_API_END
