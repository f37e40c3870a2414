// The key collection: the built-in class CLSID_PortableDeviceKeyCollection.
#include <mutex>

#include "com/class_table.h"
#include "platform/com/com_object.h"
#include "wpd/collections.h"

namespace platform::detail {
namespace {

constexpr std::string_view kGetCount = "IPortableDeviceKeyCollection::GetCount";
constexpr std::string_view kGetAt = "IPortableDeviceKeyCollection::GetAt";
constexpr std::string_view kAdd = "IPortableDeviceKeyCollection::Add";
constexpr std::string_view kClear = "IPortableDeviceKeyCollection::Clear";

class CPortableDeviceKeyCollection final : public ComObject<CPortableDeviceKeyCollection, IPortableDeviceKeyCollection>,
                                           private CountedCollection {
public:
    CPortableDeviceKeyCollection() = default;
    explicit CPortableDeviceKeyCollection(std::vector<PROPERTYKEY> keys) : m_keys(std::move(keys)) {}

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcElems) override
    {
        if (pcElems == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kGetCount));
        std::lock_guard guard(m_mutex);
        *pcElems = static_cast<DWORD>(m_keys.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetAt(DWORD dwIndex, PROPERTYKEY* pKey) override
    {
        if (pKey == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kGetAt));
        std::lock_guard guard(m_mutex);
        if (dwIndex >= m_keys.size()) return E_INVALIDARG;
        *pKey = m_keys[dwIndex];
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Add(REFPROPERTYKEY Key) override
    {
        RETURN_IF_FAILED(InjectedFailure(kAdd, Key));
        return ReturnOutOfMemoryOnThrow([&] {
            std::lock_guard guard(m_mutex);
            m_keys.push_back(Key);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Clear() override
    {
        RETURN_IF_FAILED(InjectedFailure(kClear));
        std::lock_guard guard(m_mutex);
        m_keys.clear();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RemoveAt(DWORD dwIndex) override
    {
        std::lock_guard guard(m_mutex);
        if (dwIndex >= m_keys.size()) return E_INVALIDARG;
        m_keys.erase(m_keys.begin() + dwIndex);
        return S_OK;
    }

private:
    std::mutex m_mutex;
    Keys m_keys;  // guarded by m_mutex, in the order added
};

const BuiltinClass kPortableDeviceKeyCollection{CLSID_PortableDeviceKeyCollection, [](REFIID riid, void** ppv) {
                                                    return MakeAndQuery<CPortableDeviceKeyCollection>(riid, ppv);
                                                }};

}  // namespace

HRESULT CreatePortableDeviceKeyCollection(std::vector<PROPERTYKEY> keys, IPortableDeviceKeyCollection** out)
{
    return MakeAndQuery<CPortableDeviceKeyCollection>(IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(out),
                                                      std::move(keys));
}

}  // namespace platform::detail
