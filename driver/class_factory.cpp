#include "driver/class_factory.h"

#include "base/module_reference.h"

HRESULT CClassFactory::Create(CreateInstanceFunction pfnCreateInstance, REFIID riid, void** ppv)
{
    if (pfnCreateInstance == nullptr) {
        if (ppv != nullptr) *ppv = nullptr;
        return E_POINTER;
    }
    return platform::MakeAndQuery<CClassFactory>(riid, ppv, pfnCreateInstance);
}

ULONG CClassFactory::AddRef()
{
    const ULONG count = ComObject::AddRef();
    if (count == 2) LockModule();
    return count;
}

ULONG CClassFactory::Release()
{
    const ULONG count = ComObject::Release();
    if (count == 1) UnlockModule();
    return count;
}

HRESULT CClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    return m_pfnCreateInstance(pUnkOuter, riid, ppvObject);
}

HRESULT CClassFactory::LockServer(BOOL fLock)
{
    if (fLock) {
        LockModule();
    } else {
        UnlockModule();
    }
    return S_OK;
}
