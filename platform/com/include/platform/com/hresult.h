// HRESULT values, Win32 error codes and the conversions between them.
#pragma once

#include "platform/export.h"
#include "platform/types.h"
#include "platform/win32_error.h"

PLATFORM_API_BEGIN

using HRESULT = std::int32_t;

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT MakeHresult(std::uint32_t value) { return static_cast<HRESULT>(value); }

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
inline constexpr HRESULT E_ACCESSDENIED = MakeHresult(0x80070005);
inline constexpr HRESULT E_HANDLE = MakeHresult(0x80070006);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHresult(0x80040154);
inline constexpr HRESULT CO_E_NOTINITIALIZED = MakeHresult(0x800401F0);
inline constexpr HRESULT RPC_E_CHANGED_MODE = MakeHresult(0x80010106);
inline constexpr HRESULT RPC_E_TOO_LATE = MakeHresult(0x80010119);
inline constexpr HRESULT STRSAFE_E_INSUFFICIENT_BUFFER = MakeHresult(0x8007007A);
inline constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHresult(0x80020005);

inline constexpr std::uint32_t FACILITY_WIN32 = 7;

// A positive system error code c becomes 0x80070000 | (c & 0xFFFF); 0 and negative values pass.
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code)
{
    return static_cast<HRESULT>(code) <= 0
               ? static_cast<HRESULT>(code)
               : MakeHresult((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

constexpr std::uint32_t HRESULT_CODE(HRESULT hr) { return static_cast<std::uint32_t>(hr) & 0xFFFFu; }
constexpr std::uint32_t HRESULT_FACILITY(HRESULT hr) { return (static_cast<std::uint32_t>(hr) >> 16) & 0x1FFFu; }

// Returns from the enclosing function when an HRESULT-returning expression fails.
#define RETURN_IF_FAILED(expr)                                                                   \
    do {                                                                                         \
        const HRESULT hr_returned_if_failed_ = (expr);                                           \
        if (FAILED(hr_returned_if_failed_)) return hr_returned_if_failed_;                       \
    } while (false)
PLATFORM_API_END
