// Automation types: variant types, BSTR and VARIANT.
//
// A BSTR is a UTF-16 string with its byte length (a 32-bit count, terminator excluded) stored in the
// four bytes before the first character, and a terminating NUL after the last. It may hold NULs of
// its own; its length, not the first NUL, ends it. A null BSTR is the empty string.
//
// Every BSTR allocation (SysAllocString, SysAllocStringLen, SysAllocStringByteLen, and the copies
// VariantCopy makes) is one checked call: the fault point "SysAllocString" makes it return NULL.
//
// A VARIANT owns what it holds: VariantClear frees a BSTR and releases an IUnknown. Types other
// than those listed below are refused with DISP_E_BADVARTYPE and left as they are.
//
// Thread safety: the functions keep no shared state; one BSTR or VARIANT must not be changed by two
// threads at once.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

using VARTYPE = USHORT;
using VARIANT_BOOL = SHORT;
using SCODE = LONG;
using OLECHAR = WCHAR;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
using BSTR = OLECHAR*;

inline constexpr VARIANT_BOOL VARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL VARIANT_FALSE = 0;

// Variant types, as VARIANT and PROPVARIANT tag their values.
enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_FILETIME = 64,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
};

inline constexpr HRESULT DISP_E_BADVARTYPE = MakeHresult(0x80020008);

struct VARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;             // VT_I1
        BYTE bVal;             // VT_UI1
        SHORT iVal;            // VT_I2
        USHORT uiVal;          // VT_UI2
        LONG lVal;             // VT_I4
        ULONG ulVal;           // VT_UI4
        LONGLONG llVal;        // VT_I8
        ULONGLONG ullVal;      // VT_UI8
        INT intVal;            // VT_INT
        UINT uintVal;          // VT_UINT
        FLOAT fltVal;          // VT_R4
        DOUBLE dblVal;         // VT_R8
        VARIANT_BOOL boolVal;  // VT_BOOL
        SCODE scode;           // VT_ERROR
        BSTR bstrVal;          // VT_BSTR, owned
        IUnknown* punkVal;     // VT_UNKNOWN, one reference owned
    };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

// Returns NULL for a null source or when allocation fails.
BSTR SysAllocString(const OLECHAR* psz);
// `cch` characters from `strIn`, or zeroed characters when `strIn` is null. NULL on failure.
BSTR SysAllocStringLen(const OLECHAR* strIn, UINT cch);
// `len` bytes from `psz`, or zeroed bytes when `psz` is null; an odd length is allowed. NULL on failure.
BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
// Frees a BSTR from the functions above; NULL is allowed.
void SysFreeString(BSTR bstrString);
// Length in characters / in bytes; 0 for NULL.
UINT SysStringLen(BSTR pbstr);
UINT SysStringByteLen(BSTR bstr);

// Makes the variant VT_EMPTY without freeing anything.
void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns and makes it VT_EMPTY. E_INVALIDARG for a null pointer;
// DISP_E_BADVARTYPE (variant untouched) for a type it does not know.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then copies the source into it (a BSTR is duplicated, an IUnknown gains a
// reference). On failure the destination is VT_EMPTY: E_OUTOFMEMORY when a BSTR cannot be
// allocated, DISP_E_BADVARTYPE for a source of an unknown type. A destination of an unknown type
// cannot be cleared: DISP_E_BADVARTYPE, destination untouched. E_INVALIDARG for a null pointer.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
PLATFORM_API_END
