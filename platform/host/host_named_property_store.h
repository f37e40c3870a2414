// The device's named property store as the driver sees it: a COM face over the device's
// DevicePropertyStore. Every store object the device hands out shares the same values.
//
// Ownership: reference counted; each object holds the shared values.
//
// Thread safety: every operation may be called from any thread (the values are locked inside).
#pragma once

#include <memory>

#include "device_property_store.h"
#include "host/host_record.h"
#include "platform/com/com_object.h"
#include "platform/wdf/named_property_store.h"

namespace platform::host {

class CHostNamedPropertyStore final : public platform::ComObject<CHostNamedPropertyStore, IWDFNamedPropertyStore> {
public:
    CHostNamedPropertyStore(std::shared_ptr<HostRecord> record, std::shared_ptr<DevicePropertyStore> store)
        : m_record(std::move(record)), m_store(std::move(store))
    {
    }

    // Checked calls ("IWDFNamedPropertyStore::GetNamedValue", "...::SetNamedValue"). E_INVALIDARG
    // for a null or empty name; E_POINTER for a null value.
    HRESULT STDMETHODCALLTYPE GetNamedValue(PCWSTR pszName, PROPVARIANT* pv) override;
    HRESULT STDMETHODCALLTYPE SetNamedValue(PCWSTR pszName, const PROPVARIANT* pv) override;

private:
    ~CHostNamedPropertyStore() = default;
    friend class platform::ComObject<CHostNamedPropertyStore, IWDFNamedPropertyStore>;

    const std::shared_ptr<HostRecord> m_record;
    const std::shared_ptr<DevicePropertyStore> m_store;
};

}  // namespace platform::host
