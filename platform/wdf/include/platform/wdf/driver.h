// The host framework's driver-level interfaces: the driver's entry callbacks (IDriverEntry, which
// the module's driver object implements), the host's driver object (IWDFDriver), and the
// device-initialisation object handed to device add (IWDFDeviceInitialize).
//
// Thread safety: the host calls IDriverEntry one operation at a time. IWDFDriver and
// IWDFDeviceInitialize are used during device add only.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"

PLATFORM_API_BEGIN

struct IWDFDevice;
struct IWDFDriver;
struct IWDFDeviceInitialize;

// How the host serialises the device's callbacks.
enum WDF_CALLBACK_LOCKING_CONSTRAINT : ULONG {
    WdfLockingConstraintNone = 0,  // callbacks may run at once, on several threads
    WdfDeviceLevel = 1,            // one callback of the device at a time
};

struct IDriverEntry : IUnknown {
    using base_interface = IUnknown;
    // After the driver object is made; a failure ends the driver's load.
    virtual HRESULT STDMETHODCALLTYPE OnInitialize(IWDFDriver* pWdfDriver) = 0;
    // Once per device: makes the device callback object and the host device.
    virtual HRESULT STDMETHODCALLTYPE OnDeviceAdd(IWDFDriver* pWdfDriver, IWDFDeviceInitialize* pWdfDeviceInit) = 0;
    // Before the driver object is released at unload.
    virtual void STDMETHODCALLTYPE OnDeinitialize(IWDFDriver* pWdfDriver) = 0;

protected:
    ~IDriverEntry() = default;
};
PLATFORM_INTERFACE_ID(IDriverEntry, "8C319366-F33C-409D-A63E-31FA9306F646");

struct IWDFDeviceInitialize : IUnknown {
    using base_interface = IUnknown;
    virtual void STDMETHODCALLTYPE SetLockingConstraint(WDF_CALLBACK_LOCKING_CONSTRAINT LockType) = 0;
    // TRUE: the driver owns the device's power policy (idle settings).
    virtual void STDMETHODCALLTYPE SetPowerPolicyOwnership(BOOL fTrue) = 0;

protected:
    ~IWDFDeviceInitialize() = default;
};
PLATFORM_INTERFACE_ID(IWDFDeviceInitialize, "BE24729C-176F-4457-9DEC-070A32968964");

struct IWDFDriver : IUnknown {
    using base_interface = IUnknown;
    // Makes the host device for a device-initialisation object; the host keeps a reference to the
    // callback object and asks it for the callback interfaces it implements.
    virtual HRESULT STDMETHODCALLTYPE CreateDevice(IWDFDeviceInitialize* pDeviceInit, IUnknown* pCallbackInterface,
                                                   IWDFDevice** ppDevice) = 0;

protected:
    ~IWDFDriver() = default;
};
PLATFORM_INTERFACE_ID(IWDFDriver, "A23F24BB-9E4F-4157-875E-76568A432B4B");
PLATFORM_API_END
