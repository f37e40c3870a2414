// Critical sections: recursive locks owned by one thread at a time.
//
// A CRITICAL_SECTION must be initialised before use and deleted once, when no thread holds it.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

struct CRITICAL_SECTION {
    void* impl = nullptr;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

inline constexpr DWORD CRITICAL_SECTION_NO_DEBUG_INFO = 0x01000000;

// Returns FALSE and sets the last error when the lock cannot be made.
BOOL InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION cs, DWORD dwSpinCount);
BOOL InitializeCriticalSectionEx(LPCRITICAL_SECTION cs, DWORD dwSpinCount, DWORD flags);
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
PLATFORM_API_END
