#include "driver/module.h"

#include "base/module_reference.h"
#include "base/scope_timer.h"
#include "base/trace.h"
#include "driver/class_factory.h"
#include "driver/thermal_driver.h"
#include "platform/kernel/module.h"
#include "platform/probe/thermal_driver_contract.h"

namespace {

HRESULT CreateThermalDriverFactory(REFIID riid, void** ppv)
{
    return CClassFactory::Create(&CThermalDriver::CreateInstance, riid, ppv);
}

}  // namespace

CDriverModule g_Module;

CDriverModule::CDriverModule() : m_objectMap{{&CLSID_ThermalDriver, &CreateThermalDriverFactory, nullptr}}
{
    if (InitializeCriticalSectionAndSpinCount(&m_csFactory, 0)) {
        m_lInitialized = 1;
    } else {
        m_fInitFailed = true;
    }
}

CDriverModule::~CDriverModule()
{
    // A module unloaded without its detach still gives back what it holds.
    if (m_lInitialized != 0) Term();
}

BOOL CDriverModule::DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    CScopeTimer timer("DllMain");
    if (dwReason == DLL_PROCESS_ATTACH) {
        trace::RegisterProvider();
        DisableThreadLibraryCalls(hInstance);
        return m_fInitFailed ? FALSE : TRUE;
    }
    if (dwReason == DLL_PROCESS_DETACH) {
        trace::UnregisterProvider();
        if (m_lInitialized != 0) Term();
    }
    return TRUE;
}

HRESULT CDriverModule::DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (m_lInitialized == 0) return E_UNEXPECTED;

    for (ObjectMapEntry& entry : m_objectMap) {
        if (*entry.pclsid != rclsid) continue;
        HRESULT hr = S_OK;
        if (entry.pEncodedClassFactory.load(std::memory_order_acquire) == nullptr) {
            EnterCriticalSection(&m_csFactory);
            if (entry.pEncodedClassFactory.load(std::memory_order_relaxed) == nullptr) {
                IUnknown* factory = nullptr;
                hr = entry.pfnCreateClassFactory(IID_IUnknown, reinterpret_cast<void**>(&factory));
                if (SUCCEEDED(hr)) entry.pEncodedClassFactory.store(EncodePointer(factory), std::memory_order_release);
            }
            LeaveCriticalSection(&m_csFactory);
        }
        if (FAILED(hr)) return hr;
        auto* factory =
            static_cast<IUnknown*>(DecodePointer(entry.pEncodedClassFactory.load(std::memory_order_acquire)));
        return factory->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CDriverModule::DllCanUnloadNow() const
{
    return GetModuleLockCount() == 0 ? S_OK : S_FALSE;
}

HRESULT CDriverModule::DllRegisterServer()
{
    CScopeTimer timer("DllRegisterServer");
    return S_OK;
}

HRESULT CDriverModule::DllUnregisterServer()
{
    CScopeTimer timer("DllUnregisterServer");
    return S_OK;
}

void CDriverModule::Term()
{
    for (ObjectMapEntry& entry : m_objectMap) {
        if (PVOID encoded = entry.pEncodedClassFactory.exchange(nullptr, std::memory_order_acq_rel)) {
            static_cast<IUnknown*>(DecodePointer(encoded))->Release();
        }
    }
    DeleteCriticalSection(&m_csFactory);
    m_lInitialized = 0;
}
