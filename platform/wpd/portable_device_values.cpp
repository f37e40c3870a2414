// The values set: the built-in class CLSID_PortableDeviceValues.
#include <cstring>
#include <mutex>
#include <utility>

#include "com/class_table.h"
#include "platform/com/com_object.h"
#include "platform/com/runtime.h"
#include "wpd/collections.h"

namespace platform::detail {
namespace {

constexpr std::string_view kGetCount = "IPortableDeviceValues::GetCount";
constexpr std::string_view kGetAt = "IPortableDeviceValues::GetAt";
constexpr std::string_view kGetValue = "IPortableDeviceValues::GetValue";
constexpr std::string_view kSetValue = "IPortableDeviceValues::SetValue";
constexpr std::string_view kClear = "IPortableDeviceValues::Clear";

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// A value whose type promises a pointer must carry one.
HRESULT CheckStorable(const PROPVARIANT& value)
{
    switch (value.vt) {
        case VT_LPWSTR:
            return value.pwszVal != nullptr ? S_OK : E_INVALIDARG;
        case VT_CLSID:
            return value.puuid != nullptr ? S_OK : E_INVALIDARG;
        case VT_UNKNOWN:
            return value.punkVal != nullptr ? S_OK : E_INVALIDARG;
        default:
            return S_OK;
    }
}

class CPortableDeviceValues final : public ComObject<CPortableDeviceValues, IPortableDeviceValues>,
                                    private CountedCollection {
public:
    CPortableDeviceValues() = default;
    explicit CPortableDeviceValues(ValueEntries entries) : m_entries(std::move(entries)) {}

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcelt) override
    {
        if (pcelt == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kGetCount));
        std::lock_guard guard(m_mutex);
        *pcelt = static_cast<DWORD>(m_entries.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* pKey, PROPVARIANT* pValue) override
    {
        if (pValue != nullptr) PropVariantInit(pValue);
        if (pKey == nullptr && pValue == nullptr) return E_POINTER;
        std::lock_guard guard(m_mutex);
        if (index >= m_entries.size()) return E_INVALIDARG;
        const ValueEntry& entry = m_entries[index];
        RETURN_IF_FAILED(InjectedFailure(kGetAt, entry.key));
        if (pValue != nullptr) RETURN_IF_FAILED(PropVariantCopy(pValue, &entry.value));
        if (pKey != nullptr) *pKey = entry.key;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, const PROPVARIANT* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        return Set(key, [pValue](PROPVARIANT* stored) {
            RETURN_IF_FAILED(CheckStorable(*pValue));
            return PropVariantCopy(stored, pValue);
        });
    }

    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        PropVariantInit(pValue);
        return Read(key, [pValue](const PROPVARIANT& stored) { return PropVariantCopy(pValue, &stored); });
    }

    HRESULT STDMETHODCALLTYPE SetStringValue(REFPROPERTYKEY key, LPCWSTR Value) override
    {
        if (Value == nullptr) return E_POINTER;
        return Set(key, [Value](PROPVARIANT* stored) { return InitPropVariantFromString(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetStringValue(REFPROPERTYKEY key, LPWSTR* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        *pValue = nullptr;
        return Read(key, [pValue](const PROPVARIANT& stored) {
            if (stored.vt != VT_LPWSTR) return DISP_E_TYPEMISMATCH;
            std::size_t length = 0;
            while (stored.pwszVal[length] != 0) ++length;
            const std::size_t bytes = (length + 1) * sizeof(WCHAR);
            auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
            if (copy == nullptr) return E_OUTOFMEMORY;
            std::memcpy(copy, stored.pwszVal, bytes);
            *pValue = copy;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG Value) override
    {
        return Set(key, [Value](PROPVARIANT* stored) { return InitPropVariantFromUInt32(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetUnsignedIntegerValue(REFPROPERTYKEY key, ULONG* pValue) override
    {
        return ReadScalar(key, pValue, VT_UI4, &PROPVARIANT::ulVal);
    }

    HRESULT STDMETHODCALLTYPE SetSignedIntegerValue(REFPROPERTYKEY key, LONG Value) override
    {
        return Set(key, [Value](PROPVARIANT* stored) { return InitPropVariantFromInt32(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetSignedIntegerValue(REFPROPERTYKEY key, LONG* pValue) override
    {
        return ReadScalar(key, pValue, VT_I4, &PROPVARIANT::lVal);
    }

    HRESULT STDMETHODCALLTYPE SetFloatValue(REFPROPERTYKEY key, FLOAT Value) override
    {
        return Set(key, [Value](PROPVARIANT* stored) { return InitPropVariantFromFloat(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetFloatValue(REFPROPERTYKEY key, FLOAT* pValue) override
    {
        return ReadScalar(key, pValue, VT_R4, &PROPVARIANT::fltVal);
    }

    HRESULT STDMETHODCALLTYPE SetErrorValue(REFPROPERTYKEY key, HRESULT Value) override
    {
        return Set(key, [Value](PROPVARIANT* stored) {
            stored->vt = VT_ERROR;
            stored->scode = Value;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetErrorValue(REFPROPERTYKEY key, HRESULT* pValue) override
    {
        return ReadScalar(key, pValue, VT_ERROR, &PROPVARIANT::scode);
    }

    HRESULT STDMETHODCALLTYPE SetBoolValue(REFPROPERTYKEY key, BOOL Value) override
    {
        return Set(key, [Value](PROPVARIANT* stored) { return InitPropVariantFromBoolean(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetBoolValue(REFPROPERTYKEY key, BOOL* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        return Read(key, [pValue](const PROPVARIANT& stored) {
            if (stored.vt != VT_BOOL) return DISP_E_TYPEMISMATCH;
            *pValue = stored.boolVal != VARIANT_FALSE ? TRUE : FALSE;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SetIUnknownValue(REFPROPERTYKEY key, IUnknown* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        return Set(key, [pValue](PROPVARIANT* stored) {
            pValue->AddRef();
            stored->vt = VT_UNKNOWN;
            stored->punkVal = pValue;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetIUnknownValue(REFPROPERTYKEY key, IUnknown** ppValue) override
    {
        if (ppValue == nullptr) return E_POINTER;
        *ppValue = nullptr;
        return Read(key, [ppValue](const PROPVARIANT& stored) {
            if (stored.vt != VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
            stored.punkVal->AddRef();
            *ppValue = stored.punkVal;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SetGuidValue(REFPROPERTYKEY key, REFGUID Value) override
    {
        return Set(key, [&Value](PROPVARIANT* stored) { return InitPropVariantFromCLSID(Value, stored); });
    }

    HRESULT STDMETHODCALLTYPE GetGuidValue(REFPROPERTYKEY key, GUID* pValue) override
    {
        if (pValue == nullptr) return E_POINTER;
        return Read(key, [pValue](const PROPVARIANT& stored) {
            if (stored.vt != VT_CLSID) return DISP_E_TYPEMISMATCH;
            *pValue = *stored.puuid;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SetIPortableDeviceValuesValue(REFPROPERTYKEY key, IPortableDeviceValues* pValue) override
    {
        return SetIUnknownValue(key, pValue);
    }

    HRESULT STDMETHODCALLTYPE GetIPortableDeviceValuesValue(REFPROPERTYKEY key,
                                                            IPortableDeviceValues** ppValue) override
    {
        if (ppValue == nullptr) return E_POINTER;
        *ppValue = nullptr;
        ComPtr<IUnknown> object;
        RETURN_IF_FAILED(GetIUnknownValue(key, object.GetAddressOf()));
        // Asked outside the lock: the object may be anyone's.
        ComPtr<IPortableDeviceValues> values;
        if (FAILED(object.As(&values))) return DISP_E_TYPEMISMATCH;
        *ppValue = values.Detach();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RemoveValue(REFPROPERTYKEY key) override
    {
        ValueEntry removed;  // released after the lock
        std::lock_guard guard(m_mutex);
        ValueEntry* entry = FindLocked(key);
        if (entry == nullptr) return kNotFound;
        removed = std::move(*entry);
        m_entries.erase(entry);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clear() override
    {
        RETURN_IF_FAILED(InjectedFailure(kClear));
        ValueEntries removed;  // released after the lock
        std::lock_guard guard(m_mutex);
        removed = std::move(m_entries);
        return S_OK;
    }

private:
    ValueEntry* FindLocked(REFPROPERTYKEY key)
    {
        for (ValueEntry& entry : m_entries) {
            if (entry.key == key) return &entry;
        }
        return nullptr;
    }

    // Runs `fill` to make the value to store (outside the lock), then stores it under the key.
    template <class Fill>
    HRESULT Set(REFPROPERTYKEY key, Fill&& fill)
    {
        RETURN_IF_FAILED(InjectedFailure(kSetValue, key));
        ValueEntry entry;
        entry.key = key;
        RETURN_IF_FAILED(fill(&entry.value));
        return Store(std::move(entry));
    }

    // A replaced value leaves in `entry` and is released after the lock.
    HRESULT Store(ValueEntry&& entry) noexcept
    {
        return ReturnOutOfMemoryOnThrow([&] {
            std::lock_guard guard(m_mutex);
            if (ValueEntry* existing = FindLocked(entry.key)) {
                std::swap(existing->value, entry.value);
            } else {
                m_entries.push_back(std::move(entry));
            }
            return S_OK;
        });
    }

    // Runs `reader` on the stored value of the key, under the lock.
    template <class Reader>
    HRESULT Read(REFPROPERTYKEY key, Reader&& reader)
    {
        RETURN_IF_FAILED(InjectedFailure(kGetValue, key));
        std::lock_guard guard(m_mutex);
        ValueEntry* entry = FindLocked(key);
        if (entry == nullptr) return kNotFound;
        return reader(std::as_const(entry->value));
    }

    template <class T, class Member>
    HRESULT ReadScalar(REFPROPERTYKEY key, T* out, VARTYPE type, Member member)
    {
        if (out == nullptr) return E_POINTER;
        return Read(key, [&](const PROPVARIANT& stored) {
            if (stored.vt != type) return DISP_E_TYPEMISMATCH;
            *out = stored.*member;
            return S_OK;
        });
    }

    std::mutex m_mutex;
    ValueEntries m_entries;  // guarded by m_mutex, in first-insertion order
};

const BuiltinClass kPortableDeviceValues{
    CLSID_PortableDeviceValues, [](REFIID riid, void** ppv) { return MakeAndQuery<CPortableDeviceValues>(riid, ppv); }};

}  // namespace

HRESULT CreatePortableDeviceValues(ValueEntries entries, IPortableDeviceValues** out)
{
    return MakeAndQuery<CPortableDeviceValues>(IID_IPortableDeviceValues, reinterpret_cast<void**>(out),
                                               std::move(entries));
}

}  // namespace platform::detail

namespace platform::support {

HRESULT CreatePortableDeviceValues(std::vector<ValueEntry> entries, IPortableDeviceValues** out)
{
    return detail::CreatePortableDeviceValues(detail::ValueEntries(std::move(entries)), out);
}

}  // namespace platform::support
