// The host device: IWDFDevice (queues, device interfaces, instance identifier), IWDFDevice2
// (idle control and the device's named property store) and IWDFDevice3 (idle settings).
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include "platform/export.h"
#include "platform/com/unknown.h"
#include "platform/wdf/io_queue.h"
#include "platform/wdf/named_property_store.h"

PLATFORM_API_BEGIN

// Power states of a device in the host's numbering.
enum WDF_POWER_DEVICE_STATE : ULONG {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0 = 1,
    WdfPowerDeviceD1 = 2,
    WdfPowerDeviceD2 = 3,
    WdfPowerDeviceD3 = 4,
    WdfPowerDeviceD3Final = 5,
    WdfPowerDevicePrepareForHibernation = 6,
    WdfPowerDeviceMaximum = 7,
};

// Device power states as the idle settings name them.
enum DEVICE_POWER_STATE : ULONG {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
};

enum WDF_POWER_POLICY_S0_IDLE_CAPABILITIES : ULONG {
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0 = 1,
    IdleCanWakeFromS0 = 2,
    IdleUsbSelectiveSuspend = 3,
};

enum WDF_POWER_POLICY_S0_IDLE_USER_CONTROL : ULONG {
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl = 1,
    IdleAllowUserControl = 2,
};

enum WDF_TRI_STATE : ULONG {
    WdfFalse = 0,
    WdfTrue = 1,
    WdfUseDefault = 2,
};

enum WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE : ULONG {
    DriverManagedIdleTimeout = 0,
    SystemManagedIdleTimeout = 1,
    SystemManagedIdleTimeoutWithHint = 2,
};

// The idle settings record: eight 32-bit fields.
struct WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS {
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;  // milliseconds
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
    WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE IdleTimeoutType;
};
static_assert(sizeof(WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS) == 32);
using PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS = WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS*;

enum WDF_IO_QUEUE_DISPATCH_TYPE : ULONG {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential = 1,
    WdfIoQueueDispatchParallel = 2,
    WdfIoQueueDispatchManual = 3,
};

enum WDF_PROPERTY_STORE_RETRIEVE_FLAGS : ULONG {
    WdfPropertyStoreNormal = 0,
    WdfPropertyStoreCreateIfMissing = 1,
};

enum WDF_PROPERTY_STORE_DISPOSITION : ULONG {
    CreatedNewStore = 0,
    OpenedExistingStore = 1,
};

struct IWDFDevice : IUnknown {
    using base_interface = IUnknown;
    // The device's instance identifier. *pdwSizeInChars gives the buffer's size and receives the
    // size needed, terminator included. A null buffer only asks for the size (S_OK); a buffer too
    // small gives HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER).
    virtual HRESULT STDMETHODCALLTYPE RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) = 0;
    // Makes an I/O queue whose callback object is pCallbackInterface.
    virtual HRESULT STDMETHODCALLTYPE CreateIoQueue(IUnknown* pCallbackInterface, BOOL bDefaultQueue,
                                                    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType, BOOL bPowerManaged,
                                                    BOOL bAllowZeroLengthRequests, IWDFIoQueue** ppIoQueue) = 0;
    // The default queue with a reference added, or null when the device has none.
    virtual void STDMETHODCALLTYPE GetDefaultIoQueue(IWDFIoQueue** ppWdfIoQueue) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateDeviceInterface(const GUID* pDeviceInterfaceGuid,
                                                            PCWSTR pReferenceString) = 0;
    virtual HRESULT STDMETHODCALLTYPE AssignDeviceInterfaceState(const GUID* pDeviceInterfaceGuid,
                                                                 PCWSTR pReferenceString, BOOL Enable) = 0;

protected:
    ~IWDFDevice() = default;
};
PLATFORM_INTERFACE_ID(IWDFDevice, "96CED995-B9EA-4B99-A9B2-852D17B9C2EB");

struct IWDFDevice2 : IWDFDevice {
    using base_interface = IWDFDevice;
    // Takes a power reference: the device stays in (or returns to) its working state until the
    // matching ResumeIdle. With fWaitForD0 FALSE it does not wait for the device to get there.
    virtual void STDMETHODCALLTYPE StopIdle(BOOL fWaitForD0) = 0;
    // Gives back one power reference taken by StopIdle.
    virtual void STDMETHODCALLTYPE ResumeIdle() = 0;
    // The device's named property store; no service name means the device's own store.
    virtual HRESULT STDMETHODCALLTYPE RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                                                  WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                                                  IWDFNamedPropertyStore** ppPropStore,
                                                                  WDF_PROPERTY_STORE_DISPOSITION* pDisposition) = 0;

protected:
    ~IWDFDevice2() = default;
};
PLATFORM_INTERFACE_ID(IWDFDevice2, "1B0D07B1-F596-4A76-99B3-B9492AD8DF9F");

struct IWDFDevice3 : IWDFDevice2 {
    using base_interface = IWDFDevice2;
    // Sets the device's idle policy; the driver must own the power policy.
    virtual HRESULT STDMETHODCALLTYPE AssignS0IdleSettingsEx(PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS IdleSettings) = 0;

protected:
    ~IWDFDevice3() = default;
};
PLATFORM_INTERFACE_ID(IWDFDevice3, "863D943A-C9CD-4655-A8D6-C84EF411CC0D");
PLATFORM_API_END
