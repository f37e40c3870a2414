#include "platform/com/propvariant.h"

#include <cstring>

#include "core/fault_injection.h"
#include "platform/com/runtime.h"

namespace {

// Types whose value lives entirely inside the PROPVARIANT.
bool IsPlainType(VARTYPE vt)
{
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_ERROR:
        case VT_FILETIME:
            return true;
        default:
            return false;
    }
}

bool IsOwningType(VARTYPE vt)
{
    return vt == VT_CLSID || vt == VT_LPWSTR || vt == VT_BSTR || vt == VT_UNKNOWN;
}

// A copy of a NUL-terminated wide string in task memory, or NULL.
LPWSTR DuplicateInTaskMemory(PCWSTR text)
{
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    const std::size_t bytes = (length + 1) * sizeof(WCHAR);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (copy != nullptr) std::memcpy(copy, text, bytes);
    return copy;
}

CLSID* DuplicateInTaskMemory(const CLSID& clsid)
{
    auto* copy = static_cast<CLSID*>(CoTaskMemAlloc(sizeof(CLSID)));
    if (copy != nullptr) *copy = clsid;
    return copy;
}

}  // namespace

HRESULT PropVariantClear(PROPVARIANT* pvar)
{
    if (pvar == nullptr) return S_OK;
    if (!IsPlainType(pvar->vt) && !IsOwningType(pvar->vt)) return DISP_E_BADVARTYPE;
    switch (pvar->vt) {
        case VT_CLSID:
            CoTaskMemFree(pvar->puuid);
            break;
        case VT_LPWSTR:
            CoTaskMemFree(pvar->pwszVal);
            break;
        case VT_BSTR:
            SysFreeString(pvar->bstrVal);
            break;
        case VT_UNKNOWN:
            if (pvar->punkVal != nullptr) pvar->punkVal->Release();
            break;
        default:
            break;
    }
    PropVariantInit(pvar);
    return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc)
{
    if (pvarDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
    if (pvarDest == pvarSrc) return S_OK;  // a copy onto itself would orphan what it owns
    const PROPVARIANT source = *pvarSrc;
    PropVariantInit(pvarDest);
    if (const auto error = platform::detail::CheckFault("PropVariantCopy", static_cast<std::uint32_t>(E_OUTOFMEMORY))) {
        return static_cast<HRESULT>(*error);
    }
    if (!IsPlainType(source.vt) && !IsOwningType(source.vt)) return DISP_E_BADVARTYPE;

    PROPVARIANT copy = source;
    switch (source.vt) {
        case VT_CLSID:
            if (source.puuid != nullptr) {
                copy.puuid = DuplicateInTaskMemory(*source.puuid);
                if (copy.puuid == nullptr) return E_OUTOFMEMORY;
            }
            break;
        case VT_LPWSTR:
            if (source.pwszVal != nullptr) {
                copy.pwszVal = DuplicateInTaskMemory(source.pwszVal);
                if (copy.pwszVal == nullptr) return E_OUTOFMEMORY;
            }
            break;
        case VT_BSTR:
            if (source.bstrVal != nullptr) {
                copy.bstrVal =
                    SysAllocStringByteLen(reinterpret_cast<LPCSTR>(source.bstrVal), SysStringByteLen(source.bstrVal));
                if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
            }
            break;
        case VT_UNKNOWN:
            if (source.punkVal != nullptr) source.punkVal->AddRef();
            break;
        default:
            break;
    }
    *pvarDest = copy;
    return S_OK;
}

HRESULT InitPropVariantFromFileTime(const FILETIME* pftIn, PROPVARIANT* ppropvar)
{
    if (pftIn == nullptr || ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    ppropvar->vt = VT_FILETIME;
    ppropvar->filetime = *pftIn;
    return S_OK;
}

HRESULT InitPropVariantFromUInt32(ULONG ulVal, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    ppropvar->vt = VT_UI4;
    ppropvar->ulVal = ulVal;
    return S_OK;
}

HRESULT InitPropVariantFromInt32(LONG lVal, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    ppropvar->vt = VT_I4;
    ppropvar->lVal = lVal;
    return S_OK;
}

HRESULT InitPropVariantFromFloat(FLOAT fltVal, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    ppropvar->vt = VT_R4;
    ppropvar->fltVal = fltVal;
    return S_OK;
}

HRESULT InitPropVariantFromBoolean(BOOL fVal, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    ppropvar->vt = VT_BOOL;
    ppropvar->boolVal = fVal ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT InitPropVariantFromCLSID(REFCLSID clsid, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    CLSID* copy = DuplicateInTaskMemory(clsid);
    if (copy == nullptr) return E_OUTOFMEMORY;
    ppropvar->vt = VT_CLSID;
    ppropvar->puuid = copy;
    return S_OK;
}

HRESULT InitPropVariantFromString(PCWSTR psz, PROPVARIANT* ppropvar)
{
    if (ppropvar == nullptr) return E_INVALIDARG;
    PropVariantInit(ppropvar);
    if (psz == nullptr) return E_INVALIDARG;
    LPWSTR copy = DuplicateInTaskMemory(psz);
    if (copy == nullptr) return E_OUTOFMEMORY;
    ppropvar->vt = VT_LPWSTR;
    ppropvar->pwszVal = copy;
    return S_OK;
}
