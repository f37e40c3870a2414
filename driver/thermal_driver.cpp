#include "driver/thermal_driver.h"

#include <new>

#include "platform/kernel/last_error.h"

HRESULT CThermalDriver::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv)
{
    if (pUnkOuter != nullptr) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;

    CThermalDriver* driver = new (std::nothrow) CThermalDriver;
    if (driver == nullptr) return E_OUTOFMEMORY;
    // The creation's own reference: the last Release below destroys a half-made object.
    driver->AddRef();
    HRESULT hr = driver->InitializeLock();
    if (SUCCEEDED(hr)) hr = driver->QueryInterface(riid, ppv);
    driver->Release();
    return hr;
}

CThermalDriver::~CThermalDriver()
{
    if (m_fLockInitialized) DeleteCriticalSection(&m_csLock);
}

HRESULT CThermalDriver::InitializeLock()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csLock, 0)) {
        // A failure always reports a failure, also if the system gave no error code.
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    m_fLockInitialized = 1;
    return S_OK;
}

HRESULT CThermalDriver::OnInitialize(IWDFDriver*)
{
    return S_OK;
}

HRESULT CThermalDriver::OnDeviceAdd(IWDFDriver*, IWDFDeviceInitialize*)
{
    // Device add creates the device callback object, which arrives with the device callbacks.
    return E_NOTIMPL;
}

void CThermalDriver::OnDeinitialize(IWDFDriver*) {}
