// PROPVARIANT: a tagged value of a property, as property stores and value collections hold it.
//
// A PROPVARIANT owns what it points to: VT_LPWSTR text and a VT_CLSID GUID live in task memory
// (CoTaskMemAlloc), a VT_BSTR is a BSTR, and VT_UNKNOWN holds one reference. PropVariantClear frees
// or releases it; PropVariantCopy duplicates it.
//
// Types handled: VT_EMPTY, VT_NULL, VT_I1, VT_UI1, VT_I2, VT_UI2, VT_I4, VT_UI4, VT_INT, VT_UINT,
// VT_I8, VT_UI8, VT_R4, VT_R8, VT_BOOL, VT_ERROR, VT_FILETIME, VT_CLSID, VT_LPWSTR, VT_BSTR,
// VT_UNKNOWN. Any other type (vectors, arrays, references included) is refused with
// DISP_E_BADVARTYPE and the value is left as it is.
//
// Thread safety: the functions keep no shared state; one PROPVARIANT must not be changed by two
// threads at once.
#pragma once

#include "platform/export.h"
#include "platform/com/oleauto.h"

PLATFORM_API_BEGIN

struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;             // VT_I1
        UCHAR bVal;            // VT_UI1
        SHORT iVal;            // VT_I2
        USHORT uiVal;          // VT_UI2
        LONG lVal;             // VT_I4
        ULONG ulVal;           // VT_UI4
        INT intVal;            // VT_INT
        UINT uintVal;          // VT_UINT
        LARGE_INTEGER hVal;    // VT_I8
        ULARGE_INTEGER uhVal;  // VT_UI8
        FLOAT fltVal;          // VT_R4
        DOUBLE dblVal;         // VT_R8
        VARIANT_BOOL boolVal;  // VT_BOOL
        SCODE scode;           // VT_ERROR
        FILETIME filetime;     // VT_FILETIME
        CLSID* puuid;          // VT_CLSID, task memory
        LPWSTR pwszVal;        // VT_LPWSTR, task memory
        BSTR bstrVal;          // VT_BSTR
        IUnknown* punkVal;     // VT_UNKNOWN, one reference
    };
};
using REFPROPVARIANT = const PROPVARIANT&;

// Makes the value VT_EMPTY without freeing anything.
inline void PropVariantInit(PROPVARIANT* pvar)
{
    *pvar = PROPVARIANT{};
}

// Frees what the value owns and makes it VT_EMPTY. S_OK for a null pointer; DISP_E_BADVARTYPE
// (value untouched) for a type it does not handle.
HRESULT PropVariantClear(PROPVARIANT* pvar);

// Copies the source into the destination, which is overwritten without being cleared. A checked
// call ("PropVariantCopy"); on failure the destination is VT_EMPTY: E_OUTOFMEMORY when memory for
// the copy cannot be had, DISP_E_BADVARTYPE for a type it does not handle, E_INVALIDARG for a null
// pointer. A copy onto itself does nothing.
HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);

// Typed initialisers: each overwrites the value without clearing it. E_INVALIDARG for a null
// pointer; the ones that allocate give E_OUTOFMEMORY and leave VT_EMPTY when task memory fails.
HRESULT InitPropVariantFromFileTime(const FILETIME* pftIn, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromUInt32(ULONG ulVal, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromInt32(LONG lVal, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromFloat(FLOAT fltVal, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromBoolean(BOOL fVal, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromCLSID(REFCLSID clsid, PROPVARIANT* ppropvar);
HRESULT InitPropVariantFromString(PCWSTR psz, PROPVARIANT* ppropvar);
PLATFORM_API_END
