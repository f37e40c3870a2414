// CThermalQueue: the callback object of the device's default I/O queue. It routes device I/O
// control requests: the portable-device message requests go to the sensor class extension through
// the sensor manager, the four private radio-state codes go to the sensor manager's private
// dispatch, and anything else is completed as not supported. Every request is completed, here or
// by whoever it was handed to.
//
// Ownership: reference counted; the host's queue holds it. It holds a counted reference to the
// device object that made it.
//
// Thread safety: the queue is parallel, so OnDeviceIoControl runs on several threads at once. The
// device reference is set once, before the queue is handed to the host, and never changes.
#pragma once

#include "base/module_reference.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/critical_section.h"
#include "platform/wdf/queue_callbacks.h"

class CThermalDevice;

// The portable-device message request (read access); the read-write form differs in bit 15 only.
inline constexpr ULONG IOCTL_SENSOR_MESSAGE = 0x00404108;
inline constexpr ULONG kControlCodeWriteAccessBit = 0x8000;

class CThermalQueue final : public platform::ComObject<CThermalQueue, IQueueCallbackDeviceIoControl> {
public:
    // A new queue callback object for pDevice with one reference for the caller. E_POINTER for a
    // null out-pointer or device, E_OUTOFMEMORY, or the lock's error as an HRESULT.
    static HRESULT CreateInstance(CThermalDevice* pDevice, CThermalQueue** ppQueue);

    void STDMETHODCALLTYPE OnDeviceIoControl(IWDFIoQueue* pWdfQueue, IWDFIoRequest* pWdfRequest, ULONG ControlCode,
                                             SIZE_T InputBufferSizeInBytes, SIZE_T OutputBufferSizeInBytes) override;

private:
    friend class platform::ComObject<CThermalQueue, IQueueCallbackDeviceIoControl>;

    explicit CThermalQueue(CThermalDevice* pDevice);
    ~CThermalQueue();
    HRESULT InitializeLock();

    void ProcessPrivateRequest(IWDFIoRequest* pWdfRequest, ULONG ControlCode);
    void ProcessSensorMessage(IWDFIoRequest* pWdfRequest);

    CModuleReference m_moduleReference;
    CRITICAL_SECTION m_csLock{};
    BYTE m_fLockInitialized = 0;
    const platform::ComPtr<CThermalDevice> m_pDevice;
};
