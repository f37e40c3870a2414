// Opening devices by path, and device I/O control.
//
// A path names a device of the simulated machine: the path of a device interface (from the
// device-setup enumeration) or a device name such as "\\.\NAME". Only devices can be opened; any
// other path fails with ERROR_FILE_NOT_FOUND. A handle from CreateFileW is closed with
// CloseHandle.
//
// Thread safety: all calls may be made from any thread. Requests on one handle may run at once;
// CloseHandle while a request runs lets the request finish first.
#pragma once

#include "platform/export.h"
#include "platform/kernel/handle.h"

PLATFORM_API_BEGIN

inline constexpr DWORD GENERIC_READ = 0x80000000;
inline constexpr DWORD GENERIC_WRITE = 0x40000000;

inline constexpr DWORD FILE_SHARE_READ = 0x00000001;
inline constexpr DWORD FILE_SHARE_WRITE = 0x00000002;
inline constexpr DWORD FILE_SHARE_DELETE = 0x00000004;

inline constexpr DWORD OPEN_EXISTING = 3;

inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;

// Opens a device. dwCreationDisposition must be OPEN_EXISTING (else ERROR_INVALID_PARAMETER), and
// handles are synchronous: FILE_FLAG_OVERLAPPED fails with ERROR_NOT_SUPPORTED. The share mode is
// honoured: an open fails with ERROR_SHARING_VIOLATION when it wants access that an open handle
// does not share, or when it does not share access that an open handle has. A device that is not
// present gives ERROR_FILE_NOT_FOUND. Returns INVALID_HANDLE_VALUE with the last error on failure.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// Control codes: device type, required access, function and transfer method.
constexpr DWORD CTL_CODE(DWORD deviceType, DWORD function, DWORD method, DWORD access)
{
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

inline constexpr DWORD METHOD_BUFFERED = 0;
inline constexpr DWORD METHOD_IN_DIRECT = 1;
inline constexpr DWORD METHOD_OUT_DIRECT = 2;
inline constexpr DWORD METHOD_NEITHER = 3;

inline constexpr DWORD FILE_ANY_ACCESS = 0;
inline constexpr DWORD FILE_READ_ACCESS = 1;
inline constexpr DWORD FILE_WRITE_ACCESS = 2;

struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

// Sends a control request and waits for it. Only METHOD_BUFFERED codes are carried (others fail
// with ERROR_INVALID_FUNCTION); lpOverlapped must be NULL (else ERROR_NOT_SUPPORTED) and
// lpBytesReturned must be given (else ERROR_INVALID_PARAMETER). The
// device sees a copy of the input and writes into a zero-filled buffer of nOutBufferSize bytes;
// the bytes it reports, never more than nOutBufferSize, are copied back and counted in
// *lpBytesReturned. A code that needs read or write access fails with ERROR_ACCESS_DENIED on a
// handle opened without it. On failure the output buffer is not touched, *lpBytesReturned is 0
// and the last error is the device's error; a device that is no longer present fails every
// request with ERROR_DEVICE_NOT_CONNECTED. Short output buffers get the device's answer, which
// is usually ERROR_INSUFFICIENT_BUFFER.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
PLATFORM_API_END
