// Test doubles for the host's unit tests: a device callback object, a queue callback object and a
// driver object, each answering as the test sets it up. The host records every call to them, so
// they record nothing themselves.
//
//   auto callbacks = host_test::MakeCallbacks();
//   callbacks->prepareResult = E_FAIL;
//   ComPtr<CHostDevice> device;
//   CHostDevice::Create({}, callbacks->GetUnknown(), &device);
//
// Thread safety: set the answers before the host calls; the handler of FakeQueueCallback runs on
// host threads, several at once.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <utility>

#include "host/host_device.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/queue_callbacks.h"

namespace host_test {

using platform::ComPtr;

class FakeQueueCallback final : public platform::ComObject<FakeQueueCallback, IQueueCallbackDeviceIoControl> {
public:
    using Handler = std::function<void(IWDFIoQueue*, IWDFIoRequest*, ULONG, SIZE_T, SIZE_T)>;

    explicit FakeQueueCallback(Handler handler) : m_handler(std::move(handler)) {}

    void STDMETHODCALLTYPE OnDeviceIoControl(IWDFIoQueue* queue, IWDFIoRequest* request, ULONG code, SIZE_T inputSize,
                                             SIZE_T outputSize) override
    {
        m_handler(queue, request, code, inputSize, outputSize);
    }

private:
    ~FakeQueueCallback() = default;
    friend class platform::ComObject<FakeQueueCallback, IQueueCallbackDeviceIoControl>;

    const Handler m_handler;
};

inline ComPtr<FakeQueueCallback> MakeQueueCallback(FakeQueueCallback::Handler handler)
{
    return ComPtr<FakeQueueCallback>(new FakeQueueCallback(std::move(handler)));
}

// Completes every request with S_OK and no output.
inline ComPtr<FakeQueueCallback> MakeCompletingQueueCallback()
{
    return MakeQueueCallback(
        [](IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) { request->CompleteWithInformation(S_OK, 0); });
}

class FakeDeviceCallbacks final : public platform::ComObject<FakeDeviceCallbacks, IPnpCallback, IPnpCallbackHardware,
                                                             IPnpCallbackSelfManagedIo, IFileCallbackCleanup> {
public:
    HRESULT prepareResult = S_OK;
    HRESULT d0EntryResult = S_OK;
    HRESULT selfManagedIoInitResult = S_OK;
    // Made the default queue with this callback on prepare, when set.
    ComPtr<FakeQueueCallback> queueCallback;
    std::atomic<int> cleanups{0};
    // Run inside OnCleanupFile, after the count, when set.
    std::function<void()> onCleanup;
    // Run inside OnD0Entry and OnD0Exit, when set (the driver's calls into the host from there).
    std::function<void(IWDFDevice*)> onD0Entry;
    std::function<void(IWDFDevice*)> onD0Exit;

    HRESULT STDMETHODCALLTYPE OnD0Entry(IWDFDevice* device, WDF_POWER_DEVICE_STATE) override
    {
        if (onD0Entry) onD0Entry(device);
        return d0EntryResult;
    }
    HRESULT STDMETHODCALLTYPE OnD0Exit(IWDFDevice* device, WDF_POWER_DEVICE_STATE) override
    {
        if (onD0Exit) onD0Exit(device);
        return S_OK;
    }
    void STDMETHODCALLTYPE OnSurpriseRemoval(IWDFDevice*) override {}
    HRESULT STDMETHODCALLTYPE OnQueryRemove(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnQueryStop(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnPrepareHardware(IWDFDevice* device) override
    {
        if (queueCallback) {
            ComPtr<IWDFIoQueue> queue;
            const HRESULT hr = device->CreateIoQueue(queueCallback->GetUnknown(), TRUE, WdfIoQueueDispatchParallel,
                                                     FALSE, TRUE, queue.GetAddressOf());
            if (FAILED(hr)) return hr;
        }
        return prepareResult;
    }
    HRESULT STDMETHODCALLTYPE OnReleaseHardware(IWDFDevice*) override { return S_OK; }
    void STDMETHODCALLTYPE OnSelfManagedIoCleanup(IWDFDevice*) override {}
    void STDMETHODCALLTYPE OnSelfManagedIoFlush(IWDFDevice*) override {}
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoInit(IWDFDevice*) override { return selfManagedIoInitResult; }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoSuspend(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoRestart(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoStop(IWDFDevice*) override { return S_OK; }
    void STDMETHODCALLTYPE OnCleanupFile(IWDFFile*) override
    {
        ++cleanups;
        if (onCleanup) onCleanup();
    }

private:
    ~FakeDeviceCallbacks() = default;
    friend class platform::ComObject<FakeDeviceCallbacks, IPnpCallback, IPnpCallbackHardware, IPnpCallbackSelfManagedIo,
                                     IFileCallbackCleanup>;
};

inline ComPtr<FakeDeviceCallbacks> MakeCallbacks()
{
    return ComPtr<FakeDeviceCallbacks>(new FakeDeviceCallbacks);
}

// A driver object that adds one device with `callbacks` as a real driver does: no locking
// constraint, power-policy ownership, CreateDevice, then the idle settings.
class FakeDriverEntry final : public platform::ComObject<FakeDriverEntry, IDriverEntry> {
public:
    explicit FakeDriverEntry(ComPtr<FakeDeviceCallbacks> callbacks) : m_callbacks(std::move(callbacks)) {}

    HRESULT initializeResult = S_OK;
    HRESULT deviceAddResult = S_OK;
    bool createDevice = true;
    WDF_CALLBACK_LOCKING_CONSTRAINT lockingConstraint = WdfLockingConstraintNone;
    HRESULT createDeviceResult = S_OK;  // what CreateDevice answered
    // Assigned with AssignS0IdleSettingsEx after CreateDevice, when set.
    std::optional<WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> idleSettings;

    HRESULT STDMETHODCALLTYPE OnInitialize(IWDFDriver*) override { return initializeResult; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdd(IWDFDriver* driver, IWDFDeviceInitialize* init) override
    {
        if (createDevice) {
            init->SetLockingConstraint(lockingConstraint);
            init->SetPowerPolicyOwnership(TRUE);
            ComPtr<IWDFDevice> device;
            createDeviceResult = driver->CreateDevice(init, m_callbacks->GetUnknown(), device.GetAddressOf());
            if (FAILED(createDeviceResult)) return createDeviceResult;
            if (idleSettings) {
                ComPtr<IWDFDevice3> device3;
                HRESULT hr = device.As(&device3);
                if (SUCCEEDED(hr)) hr = device3->AssignS0IdleSettingsEx(&*idleSettings);
                if (FAILED(hr)) return hr;
            }
        }
        return deviceAddResult;
    }
    void STDMETHODCALLTYPE OnDeinitialize(IWDFDriver*) override {}

private:
    ~FakeDriverEntry() = default;
    friend class platform::ComObject<FakeDriverEntry, IDriverEntry>;

    const ComPtr<FakeDeviceCallbacks> m_callbacks;
};

}  // namespace host_test
