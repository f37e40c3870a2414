// Events, threads and waits. Names of events live in one process-wide namespace. Every time-out is
// measured on the platform's one clock.
#pragma once

#include "platform/export.h"
#include "platform/kernel/handle.h"

PLATFORM_API_BEGIN

inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
inline constexpr DWORD WAIT_ABANDONED = 0x00000080;
inline constexpr DWORD WAIT_TIMEOUT = 0x00000102;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

// Makes an event, or opens the existing one of the same name (the last error is then
// ERROR_ALREADY_EXISTS and the other arguments are ignored). NULL on failure.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

using LPTHREAD_START_ROUTINE = DWORD(WINAPI*)(LPVOID lpThreadParameter);
inline constexpr DWORD CREATE_SUSPENDED = 0x4;
inline constexpr DWORD STILL_ACTIVE = 259;

// Starts a thread. The handle is signalled when the thread has ended. NULL on failure.
HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                    LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
DWORD GetCurrentThreadId();

// WAIT_OBJECT_0 when the object is signalled (an auto-reset event is reset by the wait),
// WAIT_TIMEOUT when the time-out passed first, WAIT_FAILED (with the last error) for a bad handle.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
PLATFORM_API_END
