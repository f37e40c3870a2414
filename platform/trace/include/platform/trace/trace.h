// The software trace provider: registration of a provider under a control GUID, the control
// callback through which a trace session enables and disables it, and TraceMessage.
//
// A provider registers once with RegisterTraceGuidsW. When a session enables its control GUID
// (before or after the registration), the platform calls the provider's control callback with
// WMI_ENABLE_EVENTS and a buffer from which GetTraceLoggerHandle takes the session's logger handle;
// GetTraceEnableLevel and GetTraceEnableFlags read what the session enabled. WMI_DISABLE_EVENTS
// follows when the session disables it. The provider then issues messages with TraceMessage on
// that logger handle; a handle whose session has gone is refused with ERROR_INVALID_HANDLE.
//
// Thread safety: every function may be called from any thread. A control callback may run on any
// thread, never twice at once, and never after UnregisterTraceGuids has returned.
#pragma once

#include "platform/export.h"
#include "platform/com/guid.h"
#include "platform/types.h"
#include "platform/win32_error.h"

PLATFORM_API_BEGIN

using TRACEHANDLE = ULONG64;
using PTRACEHANDLE = TRACEHANDLE*;

inline constexpr TRACEHANDLE INVALID_PROCESSTRACE_HANDLE = ~TRACEHANDLE{0};

// Request codes of the control callback.
enum WMIDPREQUESTCODE : ULONG {
    WMI_GET_ALL_DATA = 0,
    WMI_GET_SINGLE_INSTANCE = 1,
    WMI_SET_SINGLE_INSTANCE = 2,
    WMI_SET_SINGLE_ITEM = 3,
    WMI_ENABLE_EVENTS = 4,
    WMI_DISABLE_EVENTS = 5,
    WMI_ENABLE_COLLECTION = 6,
    WMI_DISABLE_COLLECTION = 7,
    WMI_REGINFO = 8,
    WMI_EXECUTE_METHOD = 9,
};

// The control callback: request code, the context given at registration, the in-out size of the
// buffer, the buffer. Returns a Win32 error code (ERROR_SUCCESS when handled).
using WMIDPREQUEST = ULONG(WINAPI*)(WMIDPREQUESTCODE RequestCode, PVOID RequestContext, ULONG* BufferSize,
                                    PVOID Buffer);

struct TRACE_GUID_REGISTRATION {
    const GUID* Guid;
    HANDLE RegHandle;
};
using PTRACE_GUID_REGISTRATION = TRACE_GUID_REGISTRATION*;

// Message flags of TraceMessage: what the session records with each message.
inline constexpr ULONG TRACE_MESSAGE_SEQUENCE = 0x01;
inline constexpr ULONG TRACE_MESSAGE_GUID = 0x02;
inline constexpr ULONG TRACE_MESSAGE_COMPONENTID = 0x04;
inline constexpr ULONG TRACE_MESSAGE_TIMESTAMP = 0x08;
inline constexpr ULONG TRACE_MESSAGE_PERFORMANCE_TIMESTAMP = 0x10;
inline constexpr ULONG TRACE_MESSAGE_SYSTEMINFO = 0x20;

// Registers a provider. Returns ERROR_SUCCESS and the registration handle, or an error code (the
// handle is then 0): ERROR_INVALID_PARAMETER for a null callback, control GUID or handle
// pointer, a GUID count other than 1 or a missing registration record. A session that already
// enables the control GUID calls the callback with WMI_ENABLE_EVENTS before this returns.
ULONG RegisterTraceGuidsW(WMIDPREQUEST RequestAddress, PVOID RequestContext, const GUID* ControlGuid, ULONG GuidCount,
                          PTRACE_GUID_REGISTRATION TraceGuidReg, LPCWSTR MofImagePath, LPCWSTR MofResourceName,
                          PTRACEHANDLE RegistrationHandle);

// Ends a registration: the callback is not called again. ERROR_INVALID_PARAMETER for a handle that
// is not registered.
ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle);

// The logger handle carried by the buffer of a WMI_ENABLE_EVENTS or WMI_DISABLE_EVENTS request.
// INVALID_PROCESSTRACE_HANDLE, with ERROR_INVALID_PARAMETER as the last error, for any other buffer.
TRACEHANDLE GetTraceLoggerHandle(PVOID Buffer);

// The level and flags that the session behind a logger handle enabled. 0, with
// ERROR_INVALID_HANDLE as the last error, for a handle no session holds.
UCHAR GetTraceEnableLevel(TRACEHANDLE TraceHandle);
ULONG GetTraceEnableFlags(TRACEHANDLE TraceHandle);

// Issues one message: after the message number come the arguments as (const void* address,
// SIZE_T length) pairs, ended by a null address (nullptr). ERROR_INVALID_HANDLE when no session
// holds the logger handle; ERROR_INVALID_PARAMETER for a missing message GUID (with
// TRACE_MESSAGE_GUID) or for more than 64 KiB of arguments.
ULONG TraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, const GUID* MessageGuid, USHORT MessageNumber, ...);
PLATFORM_API_END
