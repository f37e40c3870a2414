// Thread pools and their timers. A pool runs its callbacks on one worker thread of its own; timer
// due times are measured on the platform's one clock.
//
// Thread safety: every function may be called from any thread. WaitForThreadpoolTimerCallbacks
// must not be called from the timer's own callback.
#pragma once

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

struct TP_POOL;
struct TP_TIMER;
struct TP_CALLBACK_INSTANCE;
using PTP_POOL = TP_POOL*;
using PTP_TIMER = TP_TIMER*;
using PTP_CALLBACK_INSTANCE = TP_CALLBACK_INSTANCE*;
using PTP_TIMER_CALLBACK = void(CALLBACK*)(PTP_CALLBACK_INSTANCE Instance, PVOID Context, PTP_TIMER Timer);

struct TP_CALLBACK_ENVIRON {
    DWORD Version;
    PTP_POOL Pool;
};
using PTP_CALLBACK_ENVIRON = TP_CALLBACK_ENVIRON*;

// NULL with the last error when the pool cannot be made.
PTP_POOL CreateThreadpool(PVOID reserved);
void SetThreadpoolThreadMaximum(PTP_POOL ptpp, DWORD cthrdMost);
// Starts the pool's worker. FALSE with the last error when it cannot be started.
BOOL SetThreadpoolThreadMinimum(PTP_POOL ptpp, DWORD cthrdMic);
// Releases the pool once its timers are closed and its last callback has returned.
void CloseThreadpool(PTP_POOL ptpp);

void InitializeThreadpoolEnvironment(PTP_CALLBACK_ENVIRON pcbe);
void SetThreadpoolCallbackPool(PTP_CALLBACK_ENVIRON pcbe, PTP_POOL ptpp);
void DestroyThreadpoolEnvironment(PTP_CALLBACK_ENVIRON pcbe);

// The environment must name a pool. NULL with the last error on failure.
PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK pfnti, PVOID pv, PTP_CALLBACK_ENVIRON pcbe);
// A negative due time is relative, in 100-ns units; a positive one is an absolute system time. A
// null due time stops the timer (a callback already started still runs). A period of 0 fires once.
// The window length lets a timer fire late by that much; this pool always fires at the due time.
void SetThreadpoolTimer(PTP_TIMER pti, LPFILETIME pftDueTime, DWORD msPeriod, DWORD msWindowLength);
BOOL IsThreadpoolTimerSet(PTP_TIMER pti);
// Waits until no callback of the timer runs; with fCancelPendingCallbacks, a callback that is due
// but has not started is dropped first.
void WaitForThreadpoolTimerCallbacks(PTP_TIMER pti, BOOL fCancelPendingCallbacks);
// Releases the timer once its last callback has returned.
void CloseThreadpoolTimer(PTP_TIMER pti);
PLATFORM_API_END
