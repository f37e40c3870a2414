// Plug-and-play and power callbacks that a device callback object implements; the host asks the
// object for each interface and calls those it answers.
//
// Thread safety: the host may call them on several threads at once when the device has no
// locking constraint.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/wdf/device.h"

PLATFORM_API_BEGIN

struct IPnpCallback : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE OnD0Entry(IWDFDevice* pWdfDevice, WDF_POWER_DEVICE_STATE previousState) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnD0Exit(IWDFDevice* pWdfDevice, WDF_POWER_DEVICE_STATE newState) = 0;
    virtual void STDMETHODCALLTYPE OnSurpriseRemoval(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryRemove(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnQueryStop(IWDFDevice* pWdfDevice) = 0;

protected:
    ~IPnpCallback() = default;
};
PLATFORM_INTERFACE_ID(IPnpCallback, "FEC6C513-B63E-4D22-882A-40E29BB0D842");

struct IPnpCallbackHardware : IUnknown {
    using base_interface = IUnknown;
    virtual HRESULT STDMETHODCALLTYPE OnPrepareHardware(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnReleaseHardware(IWDFDevice* pWdfDevice) = 0;

protected:
    ~IPnpCallbackHardware() = default;
};
PLATFORM_INTERFACE_ID(IPnpCallbackHardware, "6254ADE4-056A-4951-B191-0267514F616D");

struct IPnpCallbackSelfManagedIo : IUnknown {
    using base_interface = IUnknown;
    virtual void STDMETHODCALLTYPE OnSelfManagedIoCleanup(IWDFDevice* pWdfDevice) = 0;
    virtual void STDMETHODCALLTYPE OnSelfManagedIoFlush(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSelfManagedIoInit(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSelfManagedIoSuspend(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSelfManagedIoRestart(IWDFDevice* pWdfDevice) = 0;
    virtual HRESULT STDMETHODCALLTYPE OnSelfManagedIoStop(IWDFDevice* pWdfDevice) = 0;

protected:
    ~IPnpCallbackSelfManagedIo() = default;
};
PLATFORM_INTERFACE_ID(IPnpCallbackSelfManagedIo, "B8A634CA-2DF4-4695-BC2B-F61C6BBEFB7F");
PLATFORM_API_END
