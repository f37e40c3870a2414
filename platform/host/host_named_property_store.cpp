#include "host_named_property_store.h"

#include "platform_support/fault_point.h"
#include "record_text.h"

namespace platform::host {
namespace {

HRESULT InjectedFailure(std::string_view point)
{
    const auto error = support::CheckFault(point, static_cast<std::uint32_t>(E_OUTOFMEMORY));
    return error ? static_cast<HRESULT>(*error) : S_OK;
}

}  // namespace

HRESULT STDMETHODCALLTYPE CHostNamedPropertyStore::GetNamedValue(PCWSTR pszName, PROPVARIANT* pv)
{
    static constexpr std::string_view kName = "IWDFNamedPropertyStore::GetNamedValue";
    const auto token = m_record->Add(RecordKind::kDriverCall, kName, Utf8(pszName));
    const HRESULT hr = [&] {
        if (pv == nullptr) return E_POINTER;
        PropVariantInit(pv);
        if (pszName == nullptr || pszName[0] == u'\0') return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        return m_store->Get(pszName, pv);
    }();
    if (SUCCEEDED(hr)) {
        m_record->SetResult(token, {HresultText(hr), " ", PropVariantText(*pv)});
    } else {
        m_record->SetResult(token, HresultText(hr));
    }
    return hr;
}

HRESULT STDMETHODCALLTYPE CHostNamedPropertyStore::SetNamedValue(PCWSTR pszName, const PROPVARIANT* pv)
{
    static constexpr std::string_view kName = "IWDFNamedPropertyStore::SetNamedValue";
    const auto token = m_record->Add(RecordKind::kDriverCall, kName,
                                     {Utf8(pszName), " ", pv != nullptr ? PropVariantText(*pv) : "null"});
    const HRESULT hr = [&] {
        if (pv == nullptr) return E_POINTER;
        if (pszName == nullptr || pszName[0] == u'\0') return E_INVALIDARG;
        RETURN_IF_FAILED(InjectedFailure(kName));
        return m_store->Set(pszName, *pv);
    }();
    m_record->SetResult(token, HresultText(hr));
    return hr;
}

}  // namespace platform::host
