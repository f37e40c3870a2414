// The driver object that the class factory hands to the host. Its only work is device add.
//
// It counts on the module from construction to destruction and holds a lock (a critical section
// with its initialised byte) that it deletes on destruction only if it was initialised.
//
// Thread safety: the host calls IDriverEntry one operation at a time; AddRef, Release and
// QueryInterface may be called from any thread.
#pragma once

#include "base/module_reference.h"
#include "platform/com/com_object.h"
#include "platform/kernel/critical_section.h"
#include "platform/wdf/driver.h"

class CThermalDriver final : public platform::ComObject<CThermalDriver, IDriverEntry> {
public:
    // The creator the class factory calls. With an outer object: CLASS_E_NOAGGREGATION (the out
    // pointer cleared), or E_POINTER when there is no out pointer. Otherwise: E_POINTER without an
    // out pointer, E_OUTOFMEMORY, the lock's error as an HRESULT, or the new object's answer for
    // riid (the object is destroyed when that fails).
    static HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv);

    HRESULT STDMETHODCALLTYPE OnInitialize(IWDFDriver* pWdfDriver) override;
    HRESULT STDMETHODCALLTYPE OnDeviceAdd(IWDFDriver* pWdfDriver, IWDFDeviceInitialize* pWdfDeviceInit) override;
    void STDMETHODCALLTYPE OnDeinitialize(IWDFDriver* pWdfDriver) override;

private:
    friend class platform::ComObject<CThermalDriver, IDriverEntry>;

    CThermalDriver() = default;
    ~CThermalDriver();

    HRESULT InitializeLock();

    CModuleReference m_moduleReference;
    CRITICAL_SECTION m_csLock{};
    BYTE m_fLockInitialized = 0;
};
