// Handles to kernel objects (events, threads, files, devices).
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

// Closes one handle. The object lives on while another handle or a waiting thread still uses it.
// FALSE with ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE hObject);

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
PLATFORM_API_END
