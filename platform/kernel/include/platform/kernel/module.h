// Module entry: the reasons DllMain is called with, and thread-notification control.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

inline constexpr DWORD DLL_PROCESS_DETACH = 0;
inline constexpr DWORD DLL_PROCESS_ATTACH = 1;
inline constexpr DWORD DLL_THREAD_ATTACH = 2;
inline constexpr DWORD DLL_THREAD_DETACH = 3;

// Turns off thread attach and detach notifications for the module. Always succeeds here: the
// module loader never delivers them.
BOOL DisableThreadLibraryCalls(HMODULE hLibModule);

// Obfuscates a pointer with a per-process secret; DecodePointer reverses it.
PVOID EncodePointer(PVOID ptr);
PVOID DecodePointer(PVOID ptr);
PLATFORM_API_END
