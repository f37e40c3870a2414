// The registry: keys under predefined roots, holding typed values. Names compare without regard
// to case. Results are Win32 error codes (ERROR_SUCCESS on success).
#pragma once

#include "platform/export.h"
#include "platform/types.h"
#include "platform/win32_error.h"

PLATFORM_API_BEGIN

using HKEY = struct HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LSTATUS = LONG;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002));
inline HKEY const HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000005));

inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_READ = 0x20019;

inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;

// Opens an existing key. ERROR_FILE_NOT_FOUND when it does not exist.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Reads a value. With no data buffer, reports the size only. ERROR_MORE_DATA (with the size
// needed in *lpcbData) when the buffer is too small; ERROR_FILE_NOT_FOUND for a missing value.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegCloseKey(HKEY hKey);
PLATFORM_API_END
