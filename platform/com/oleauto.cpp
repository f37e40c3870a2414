#include "platform/com/oleauto.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "com/variant_types.h"
#include "core/fault_injection.h"

namespace {

// The byte count lives in the four bytes before the characters.
constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);
constexpr std::size_t kTerminatorBytes = sizeof(OLECHAR);

std::uint32_t* PrefixOf(BSTR bstr)
{
    return reinterpret_cast<std::uint32_t*>(reinterpret_cast<BYTE*>(bstr) - kPrefixBytes);
}

// Allocates a BSTR of `bytes` bytes, filled from `source` or zeroed, with a wide terminator after
// them (an odd length gets a zero byte before it).
BSTR AllocateBstr(const void* source, std::size_t bytes)
{
    if (platform::detail::CheckFault("SysAllocString", 0)) return nullptr;
    if (bytes > std::numeric_limits<std::uint32_t>::max() - kPrefixBytes - kTerminatorBytes - 1) return nullptr;
    auto* block = static_cast<BYTE*>(std::malloc(kPrefixBytes + bytes + kTerminatorBytes + 1));
    if (block == nullptr) return nullptr;
    const auto count = static_cast<std::uint32_t>(bytes);
    std::memcpy(block, &count, sizeof count);
    BYTE* text = block + kPrefixBytes;
    if (source != nullptr) {
        std::memcpy(text, source, bytes);
    } else {
        std::memset(text, 0, bytes);
    }
    std::memset(text + bytes, 0, kTerminatorBytes + 1);
    return reinterpret_cast<BSTR>(text);
}

bool IsKnownVariantType(VARTYPE vt)
{
    return platform::detail::IsPlainVariantType(vt) || vt == VT_BSTR || vt == VT_UNKNOWN;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr) return nullptr;
    std::size_t length = 0;
    while (psz[length] != 0) ++length;
    return AllocateBstr(psz, length * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT cch)
{
    return AllocateBstr(strIn, static_cast<std::size_t>(cch) * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len)
{
    return AllocateBstr(psz, len);
}

void SysFreeString(BSTR bstrString)
{
    if (bstrString != nullptr) std::free(PrefixOf(bstrString));
}

UINT SysStringByteLen(BSTR bstr)
{
    if (bstr == nullptr) return 0;
    std::uint32_t count = 0;
    std::memcpy(&count, PrefixOf(bstr), sizeof count);
    return count;
}

UINT SysStringLen(BSTR pbstr)
{
    return SysStringByteLen(pbstr) / sizeof(OLECHAR);
}

void VariantInit(VARIANTARG* pvarg)
{
    if (pvarg != nullptr) *pvarg = VARIANT{};
}

HRESULT VariantClear(VARIANTARG* pvarg)
{
    if (pvarg == nullptr) return E_INVALIDARG;
    if (!IsKnownVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
    if (pvarg->vt == VT_BSTR) {
        SysFreeString(pvarg->bstrVal);
    } else if (pvarg->vt == VT_UNKNOWN && pvarg->punkVal != nullptr) {
        pvarg->punkVal->Release();
    }
    *pvarg = VARIANT{};
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc)
{
    if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
    if (pvargDest == pvargSrc) return S_OK;
    RETURN_IF_FAILED(VariantClear(pvargDest));
    if (!IsKnownVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    VARIANT copy = *pvargSrc;
    if (copy.vt == VT_BSTR && pvargSrc->bstrVal != nullptr) {
        copy.bstrVal =
            SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal), SysStringByteLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
    } else if (copy.vt == VT_UNKNOWN && copy.punkVal != nullptr) {
        copy.punkVal->AddRef();
    }
    *pvargDest = copy;
    return S_OK;
}
