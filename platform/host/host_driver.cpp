#include "host_driver.h"

#include <new>

#include "platform_support/fault_point.h"
#include "record_text.h"

namespace platform::host {

void STDMETHODCALLTYPE CHostDeviceInitialize::SetLockingConstraint(WDF_CALLBACK_LOCKING_CONSTRAINT LockType)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFDeviceInitialize::SetLockingConstraint",
                  "LockType=" + std::to_string(LockType));
    m_lockingConstraint = LockType;
}

void STDMETHODCALLTYPE CHostDeviceInitialize::SetPowerPolicyOwnership(BOOL fTrue)
{
    m_record->Add(RecordKind::kDriverCall, "IWDFDeviceInitialize::SetPowerPolicyOwnership",
                  std::string("fTrue=") + BoolText(fTrue));
    m_powerPolicyOwner = fTrue != FALSE;
}

HRESULT STDMETHODCALLTYPE CHostDriver::CreateDevice(IWDFDeviceInitialize* pDeviceInit, IUnknown* pCallbackInterface,
                                                    IWDFDevice** ppDevice)
{
    static constexpr std::string_view kName = "IWDFDriver::CreateDevice";
    const auto token = m_record->Add(RecordKind::kDriverCall, std::string(kName));
    std::string callbacks;
    const HRESULT hr = [&]() -> HRESULT {
        if (ppDevice == nullptr) return E_POINTER;
        *ppDevice = nullptr;
        if (pDeviceInit == nullptr || pCallbackInterface == nullptr) return E_INVALIDARG;
        if (const auto error = support::CheckFault(kName, static_cast<std::uint32_t>(E_OUTOFMEMORY))) {
            return static_cast<HRESULT>(*error);
        }
        platform::ComPtr<CHostDeviceInitialize> init;
        {
            std::lock_guard guard(m_mutex);
            // Not one of ours, or spent already.
            if (!m_init || static_cast<IWDFDeviceInitialize*>(m_init.Get()) != pDeviceInit) return E_INVALIDARG;
            init = m_init;
        }
        if (init->LockingConstraint() != WdfLockingConstraintNone) return E_NOTIMPL;
        if (!init->MarkUsed()) return E_INVALIDARG;

        HostDeviceOptions options;
        options.record = m_record;
        options.powerPolicyOwner = init->PowerPolicyOwner();
        platform::ComPtr<CHostDevice> device;
        RETURN_IF_FAILED(CHostDevice::Create(options, pCallbackInterface, &device));
        for (const auto& [iid, name] : {std::pair{iid_of<IPnpCallback>, "IPnpCallback"},
                                        std::pair{iid_of<IPnpCallbackHardware>, "IPnpCallbackHardware"},
                                        std::pair{iid_of<IPnpCallbackSelfManagedIo>, "IPnpCallbackSelfManagedIo"},
                                        std::pair{iid_of<IFileCallbackCleanup>, "IFileCallbackCleanup"}}) {
            platform::ComPtr<IUnknown> answer;
            if (SUCCEEDED(pCallbackInterface->QueryInterface(iid, reinterpret_cast<void**>(answer.GetAddressOf())))) {
                callbacks += callbacks.empty() ? " callbacks=" : ",";
                callbacks += name;
            }
        }
        try {
            std::lock_guard guard(m_mutex);
            m_devices.push_back(device);
        } catch (const std::bad_alloc&) {
            device->ReleaseDriverReferences();
            return E_OUTOFMEMORY;
        }
        *ppDevice = device.Detach();
        return S_OK;
    }();
    m_record->SetResult(token, HresultText(hr) + callbacks);
    return hr;
}

HRESULT CHostDriver::NewDeviceInitialize(platform::ComPtr<CHostDeviceInitialize>* init)
{
    try {
        platform::ComPtr<CHostDeviceInitialize> made(new CHostDeviceInitialize(m_record));
        std::lock_guard guard(m_mutex);
        m_init = made;
        *init = std::move(made);
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

std::vector<platform::ComPtr<CHostDevice>> CHostDriver::TakeDevices()
{
    platform::ComPtr<CHostDeviceInitialize> spent;
    std::lock_guard guard(m_mutex);
    spent.Swap(m_init);
    return std::exchange(m_devices, {});
}

}  // namespace platform::host
