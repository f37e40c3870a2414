// The values collection: the built-in class CLSID_PortableDeviceValuesCollection.
#include <mutex>

#include "com/class_table.h"
#include "platform/com/com_object.h"
#include "wpd/collections.h"

namespace platform::detail {
namespace {

constexpr std::string_view kGetCount = "IPortableDeviceValuesCollection::GetCount";
constexpr std::string_view kGetAt = "IPortableDeviceValuesCollection::GetAt";
constexpr std::string_view kAdd = "IPortableDeviceValuesCollection::Add";
constexpr std::string_view kClear = "IPortableDeviceValuesCollection::Clear";

class CPortableDeviceValuesCollection final
    : public ComObject<CPortableDeviceValuesCollection, IPortableDeviceValuesCollection>,
      private CountedCollection {
public:
    CPortableDeviceValuesCollection() = default;
    explicit CPortableDeviceValuesCollection(std::vector<ComPtr<IPortableDeviceValues>> members)
        : m_members(std::move(members))
    {
    }

    HRESULT STDMETHODCALLTYPE GetCount(DWORD* pcElems) override
    {
        if (pcElems == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kGetCount));
        std::lock_guard guard(m_mutex);
        *pcElems = static_cast<DWORD>(m_members.size());
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetAt(DWORD dwIndex, IPortableDeviceValues** ppValues) override
    {
        if (ppValues == nullptr) return E_POINTER;
        *ppValues = nullptr;
        RETURN_IF_FAILED(InjectedFailure(kGetAt));
        std::lock_guard guard(m_mutex);
        if (dwIndex >= m_members.size()) return E_INVALIDARG;
        return m_members[dwIndex].CopyTo(ppValues);
    }

    HRESULT STDMETHODCALLTYPE Add(IPortableDeviceValues* pValues) override
    {
        if (pValues == nullptr) return E_POINTER;
        RETURN_IF_FAILED(InjectedFailure(kAdd));
        ComPtr<IPortableDeviceValues> member(pValues);
        return ReturnOutOfMemoryOnThrow([&] {
            std::lock_guard guard(m_mutex);
            m_members.push_back(std::move(member));
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Clear() override
    {
        RETURN_IF_FAILED(InjectedFailure(kClear));
        std::vector<ComPtr<IPortableDeviceValues>> removed;  // released after the lock
        std::lock_guard guard(m_mutex);
        removed.swap(m_members);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RemoveAt(DWORD dwIndex) override
    {
        ComPtr<IPortableDeviceValues> removed;  // released after the lock
        std::lock_guard guard(m_mutex);
        if (dwIndex >= m_members.size()) return E_INVALIDARG;
        removed = std::move(m_members[dwIndex]);
        m_members.erase(m_members.begin() + dwIndex);
        return S_OK;
    }

private:
    std::mutex m_mutex;
    std::vector<ComPtr<IPortableDeviceValues>> m_members;  // guarded by m_mutex, in the order added
};

const BuiltinClass kPortableDeviceValuesCollection{CLSID_PortableDeviceValuesCollection, [](REFIID riid, void** ppv) {
                                                       return MakeAndQuery<CPortableDeviceValuesCollection>(riid, ppv);
                                                   }};

}  // namespace

HRESULT CreatePortableDeviceValuesCollection(std::vector<ComPtr<IPortableDeviceValues>> members,
                                             IPortableDeviceValuesCollection** out)
{
    return MakeAndQuery<CPortableDeviceValuesCollection>(IID_IPortableDeviceValuesCollection,
                                                         reinterpret_cast<void**>(out), std::move(members));
}

}  // namespace platform::detail
