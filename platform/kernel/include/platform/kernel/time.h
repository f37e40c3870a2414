// Time sources. Every one of them reads the platform's one clock, so a virtual clock installed by a
// test moves them all together.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

// Performance counter: 10,000,000 counts per second. Never fails.
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);

// Milliseconds since the clock started.
ULONGLONG GetTickCount64();

// Current UTC time.
void GetSystemTime(LPSYSTEMTIME lpSystemTime);
void GetSystemTimeAsFileTime(LPFILETIME lpFileTime);
// Converts a UTC calendar time to a FILETIME. FALSE (ERROR_INVALID_PARAMETER) for an invalid date.
BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);
BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
PLATFORM_API_END
