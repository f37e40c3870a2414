// The host device: the object the driver knows as IWDFDevice, IWDFDevice2 and IWDFDevice3, and the
// host's handle on one device of the driver. It holds the driver's device callback object (the
// callback interfaces it answered when the device was created), the I/O queues, the device
// interfaces, the power references, the idle settings and the named property store; it runs the
// device's I/O: files, device I/O control requests through the default queue, file cleanup.
//
// It can be made on its own, without a driver module, for tests of code that talks to the host:
//
//   platform::ComPtr<CHostDevice> device;
//   ASSERT_EQ(CHostDevice::Create({}, myCallbackObject, &device), S_OK);   // callbacks may be null
//   ComPtr<IWDFDevice2> asDevice2;  device.As(&asDevice2);
//   ...
//   device->ReleaseDriverReferences();   // before the test's callback objects go away
//
// What it does for the driver:
//  - RetrieveDeviceInstanceId answers the simulated machine's instance ID of the hosted device
//    (sim/device_tree.h), in the two-call pattern.
//  - CreateIoQueue makes parallel, not power-managed queues (others are refused with E_NOTIMPL),
//    at most one of them the default queue. A queue dispatches on up to
//    HostDeviceOptions::maxDispatchThreads host threads at once.
//  - StopIdle and ResumeIdle keep a count of power references; a ResumeIdle without a reference is
//    a driver error and leaves the count at 0. The count, the idle settings and the user idle
//    setting make the device's idle policy, which DriverHost carries out (docs/host.md).
//    StopIdle(TRUE) waits while the device is idle; on the thread of a host step, where the wait
//    would never end, it does not wait and the host records a driver error.
//  - RetrieveDevicePropertyStore gives the device's own store (no service name). With a state
//    directory (sim/state_directory.h) the store is the file "device-properties" there, read when
//    the device first opens the store; without one it lives as long as the device. A damaged file
//    gives way to its previous generation (or an empty store); a file that cannot be read is left
//    alone and the retrieval fails with HRESULT_FROM_WIN32(ERROR_READ_FAULT).
//  - AssignS0IdleSettingsEx keeps the record (also in the host record) when the driver owns the
//    power policy. A record with a Size other than 32, or a field outside its values (DxState D1 to
//    D3, IdleCaps, UserControlOfIdleSettings, the two tri-states and IdleTimeoutType as defined) is
//    refused with E_INVALIDARG.
// The calls the driver checks are checked calls whose fault points are "Interface::Method"
// ("IWDFDevice::CreateIoQueue", "IWDFDevice2::RetrieveDevicePropertyStore", ...).
//
// What it does for the host (and for tests):
//  - Device callbacks: CallPrepareHardware and the others call the driver's callback when its
//    callback object answered the interface (S_OK without a call otherwise) and record the call.
//    They run on the calling thread; the caller serialises them (DriverHost does).
//  - I/O: OpenFile, DeviceIoControl, CloseFile. A request is checked first: a closed or foreign
//    file gives E_HANDLE; a control code whose access bits (14-15: 1 read, 2 write) ask for more
//    than the file was opened with gives E_ACCESSDENIED; a device with no default queue gives
//    HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION); a removed device gives
//    HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED). Such requests never reach the driver, and
//    their handler runs on the calling thread before DeviceIoControl returns. Accepted requests
//    go to the default queue, which dispatches them on host threads. Closing a file
//    calls the driver's OnCleanupFile on a host thread, then releases the host's reference.
//  - ReleaseDriverReferences: refuses new I/O, waits for every host thread, and drops the
//    callback object and the queues' callback objects, so the driver's objects can go.
//
// Ownership: reference counted. DriverHost (or the test) holds the device; the driver may hold it
// too. The device holds the driver's callback object until ReleaseDriverReferences.
//
// Thread safety: every operation may be called from any thread. Each group of state has its own
// guard, named beside it below; no guard is held while the driver is called or a reference to a
// driver object is released.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_file.h"
#include "host/host_io.h"
#include "host/host_record.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/file_callbacks.h"
#include "platform/wdf/pnp_callbacks.h"

namespace platform::host {

class CHostIoQueue;
class DevicePropertyStore;
class HostWorkers;
class IdlePolicy;

struct HostDeviceOptions {
    std::shared_ptr<HostRecord> record;  // a new record when null
    bool powerPolicyOwner = true;        // what SetPowerPolicyOwnership said
    // The most requests of one queue that are in the driver's hands at once; more wait in the queue.
    std::uint32_t maxDispatchThreads = 16;
};

class CHostDevice final : public platform::ComObject<CHostDevice, IWDFDevice3> {
public:
    // Makes a device and takes the callback interfaces that `callbackObject` answers (it may be
    // null: a device without callbacks). E_POINTER for a null out pointer, E_OUTOFMEMORY.
    static HRESULT Create(const HostDeviceOptions& options, IUnknown* callbackObject,
                          platform::ComPtr<CHostDevice>* device);

    // IWDFDevice
    HRESULT STDMETHODCALLTYPE RetrieveDeviceInstanceId(PWSTR Buffer, DWORD* pdwSizeInChars) override;
    HRESULT STDMETHODCALLTYPE CreateIoQueue(IUnknown* pCallbackInterface, BOOL bDefaultQueue,
                                            WDF_IO_QUEUE_DISPATCH_TYPE DispatchType, BOOL bPowerManaged,
                                            BOOL bAllowZeroLengthRequests, IWDFIoQueue** ppIoQueue) override;
    void STDMETHODCALLTYPE GetDefaultIoQueue(IWDFIoQueue** ppWdfIoQueue) override;
    HRESULT STDMETHODCALLTYPE CreateDeviceInterface(const GUID* pDeviceInterfaceGuid, PCWSTR pReferenceString) override;
    HRESULT STDMETHODCALLTYPE AssignDeviceInterfaceState(const GUID* pDeviceInterfaceGuid, PCWSTR pReferenceString,
                                                         BOOL Enable) override;
    // IWDFDevice2
    void STDMETHODCALLTYPE StopIdle(BOOL fWaitForD0) override;
    void STDMETHODCALLTYPE ResumeIdle() override;
    HRESULT STDMETHODCALLTYPE RetrieveDevicePropertyStore(PCWSTR pcwszServiceName,
                                                          WDF_PROPERTY_STORE_RETRIEVE_FLAGS Flags,
                                                          IWDFNamedPropertyStore** ppPropStore,
                                                          WDF_PROPERTY_STORE_DISPOSITION* pDisposition) override;
    // IWDFDevice3
    HRESULT STDMETHODCALLTYPE AssignS0IdleSettingsEx(PWUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS IdleSettings) override;

    // ---- The host's side. ----

    HostRecord& Record() const { return *m_record; }
    const std::shared_ptr<HostRecord>& SharedRecord() const { return m_record; }

    // Device callbacks, in the host's power-state numbering (1 = D0 ... 5 = D3-final).
    HRESULT CallPrepareHardware();
    HRESULT CallReleaseHardware();
    HRESULT CallD0Entry(WDF_POWER_DEVICE_STATE previousState);
    HRESULT CallD0Exit(WDF_POWER_DEVICE_STATE targetState);
    void CallSurpriseRemoval();
    HRESULT CallSelfManagedIoInit();
    HRESULT CallSelfManagedIoSuspend();
    HRESULT CallSelfManagedIoRestart();
    void CallSelfManagedIoFlush();
    void CallSelfManagedIoCleanup();

    // Opens a file of the device. HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED) once removed.
    // With an event handler the file takes sensor events (host_file.h).
    HRESULT OpenFile(FileAccess access, platform::ComPtr<CHostFile>* file, ClientEventHandler events = nullptr);
    // Sends a device I/O control request; `done` gets its result exactly once. With `dispatchHere`,
    // the queue may leave the request to the caller to hand to the driver (host_io.h).
    void DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength,
                         IoCompletionHandler done, ClaimedIoRequest* dispatchHere = nullptr);
    // The same, waiting for the completion.
    IoResult DeviceIoControl(CHostFile* file, ULONG controlCode, std::span<const BYTE> input, SIZE_T outputLength);
    // Closes a file: the driver's OnCleanupFile runs on a host thread (on the calling thread when
    // none can be started), the file's event handler is dropped, then the host's reference is
    // released and `done` runs. E_HANDLE (and
    // `done` is not called) for a closed or foreign file.
    HRESULT CloseFile(CHostFile* file, std::function<void()> done);
    // The same, waiting for the cleanup.
    HRESULT CloseFile(CHostFile* file);

    // Refuses new files and new I/O with ERROR_DEVICE_NOT_CONNECTED from now on: the device is
    // being removed or is gone, and its driver must not see requests after its hardware is released.
    // Requests already accepted go on; files already open may still close.
    void RefuseNewIo();
    // Refuses new I/O, waits for every host thread, and drops every reference to driver objects.
    void ReleaseDriverReferences();

    // State as the driver left it.
    bool HasDefaultQueue() const;
    LONG PowerReferenceCount() const;
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> IdleSettings() const;
    // The device's idle policy (the host library's own type), for DriverHost.
    const std::shared_ptr<IdlePolicy>& Idle() const { return m_idle; }
    // Whether the device interface was created (nothing when not) and is enabled.
    std::optional<bool> DeviceInterfaceEnabled(const GUID& interfaceClass, std::u16string_view reference = {}) const;
    // What was wrong with the store's file when the store was opened; empty when nothing was.
    std::string PropertyStoreProblem() const;

private:
    CHostDevice(const HostDeviceOptions& options, std::shared_ptr<HostRecord> record,
                std::shared_ptr<HostWorkers> workers, std::shared_ptr<IdlePolicy> idle);
    ~CHostDevice();
    friend class platform::ComObject<CHostDevice, IWDFDevice3>;

    struct DeviceInterfaceState {
        GUID interfaceClass;
        std::u16string reference;
        bool enabled;
    };

    struct Callbacks {
        platform::ComPtr<IPnpCallback> pnp;
        platform::ComPtr<IPnpCallbackHardware> hardware;
        platform::ComPtr<IPnpCallbackSelfManagedIo> selfManagedIo;
        platform::ComPtr<IFileCallbackCleanup> fileCleanup;
    };

    Callbacks CopyCallbacks() const;
    platform::ComPtr<CHostIoQueue> DefaultQueue() const;
    // Records a callback, calls it with the device, and records its result.
    template <class Interface, class Call>
    HRESULT CallBack(const platform::ComPtr<Interface>& callback, const char* name, std::string arguments, Call call);
    void RunCleanup(const platform::ComPtr<CHostFile>& file);
    DeviceInterfaceState* FindInterfaceLocked(const GUID& interfaceClass, std::u16string_view reference);

    const std::shared_ptr<HostRecord> m_record;
    const std::shared_ptr<HostWorkers> m_workers;
    const std::shared_ptr<IdlePolicy> m_idle;  // power references and idle settings; its own guard
    const bool m_powerPolicyOwner;
    const std::uint32_t m_maxDispatchThreads;

    mutable std::mutex m_callbacksMutex;
    Callbacks m_callbacks;  // guarded by m_callbacksMutex

    mutable std::mutex m_queuesMutex;
    // Guarded by m_queuesMutex.
    platform::ComPtr<CHostIoQueue> m_defaultQueue;
    std::vector<platform::ComPtr<CHostIoQueue>> m_otherQueues;
    std::uint64_t m_nextQueueId = 1;

    mutable std::mutex m_stateMutex;
    // Guarded by m_stateMutex.
    std::vector<DeviceInterfaceState> m_deviceInterfaces;
    std::shared_ptr<DevicePropertyStore> m_propertyStore;  // null until first opened
    std::string m_propertyStoreProblem;
    bool m_removed = false;
    std::uint64_t m_nextFileId = 1;
    std::uint64_t m_nextRequestId = 1;
};

}  // namespace platform::host
