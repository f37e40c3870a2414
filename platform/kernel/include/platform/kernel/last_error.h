// The calling thread's last-error code.
#pragma once

#include "platform/types.h"
#include "platform/win32_error.h"

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
