// A small driver module for testing the host. Its driver object adds one device the way a real
// driver does (locking constraint, power-policy ownership, CreateDevice, idle settings); its device
// callbacks answer as the control block says; its default queue's callback echoes, holds, completes
// twice or never, by control code.
#include <algorithm>
#include <cstring>

#include "integration/fake_driver/fake_driver_control.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/module.h"
#include "platform/kernel/synch.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/file_callbacks.h"
#include "platform/wdf/module_exports.h"
#include "platform/wdf/pnp_callbacks.h"
#include "platform/wdf/queue_callbacks.h"
#include "transport/client_events.h"

#define MODULE_EXPORT __attribute__((visibility("default")))

extern "C" {
MODULE_EXPORT extern const UMDF_VERSION_DATA Microsoft_WDF_UMDF_Version;
MODULE_EXPORT extern fake_driver::Control g_fakeDriverControl;
MODULE_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow();
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllRegisterServer();
MODULE_EXPORT HRESULT STDMETHODCALLTYPE DllUnregisterServer();
}

const UMDF_VERSION_DATA Microsoft_WDF_UMDF_Version = {1, 11, nullptr};
fake_driver::Control g_fakeDriverControl;

namespace {

using fake_driver::Control;
using platform::ComPtr;

Control& Ctl()
{
    return g_fakeDriverControl;
}

// Counts every object of the module from construction to destruction.
struct Counted {
    Counted() { ++Ctl().liveObjects; }
    ~Counted() { --Ctl().liveObjects; }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;
};

class CFakeQueue final : public platform::ComObject<CFakeQueue, IQueueCallbackDeviceIoControl>, Counted {
public:
    void STDMETHODCALLTYPE OnDeviceIoControl(IWDFIoQueue*, IWDFIoRequest* request, ULONG code, SIZE_T, SIZE_T) override
    {
        switch (code) {
            case fake_driver::kEcho:
            case fake_driver::kWriteEcho:
            case fake_driver::kReadEcho:
                return Echo(request);
            case fake_driver::kRaiseEvents:
                return RaiseEvents(request);
            case fake_driver::kHold:
                ++Ctl().held;
                WaitForSingleObject(Ctl().holdRelease.load(), INFINITE);
                return request->CompleteWithInformation(S_OK, 0);
            case fake_driver::kCompleteTwice:
                request->CompleteWithInformation(S_OK, 0);
                return request->CompleteWithInformation(S_OK, 0);
            case fake_driver::kNeverComplete:
                return;
            default:
                return request->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
        }
    }

private:
    static void RaiseEvents(IWDFIoRequest* request)
    {
        ComPtr<IWDFMemory> input;
        request->GetInputMemory(input.GetAddressOf());
        SIZE_T size = 0;
        const auto* bytes = static_cast<const std::uint8_t*>(input->GetDataBuffer(&size));
        ComPtr<IWDFFile> file;
        request->GetFileObject(file.GetAddressOf());
        ComPtr<transport::IClientEventSink> sink;
        if (size < 4 || !file || FAILED(file.As(&sink))) {
            return request->CompleteWithInformation(E_INVALIDARG, 0);
        }
        const std::uint32_t count = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (std::uint32_t{bytes[3]} << 24);
        for (std::uint32_t i = 0; i < count; ++i) sink->OnSensorEvent(bytes + 4, size - 4);
        if (const HANDLE raised = Ctl().eventsRaised.load()) SetEvent(raised);
        request->CompleteWithInformation(S_OK, 0);
    }

    static void Echo(IWDFIoRequest* request)
    {
        ComPtr<IWDFMemory> input;
        ComPtr<IWDFMemory> output;
        request->GetInputMemory(input.GetAddressOf());
        request->GetOutputMemory(output.GetAddressOf());
        SIZE_T inputSize = 0;
        SIZE_T outputSize = 0;
        const void* in = input->GetDataBuffer(&inputSize);
        void* out = output->GetDataBuffer(&outputSize);
        const SIZE_T copied = std::min(inputSize, outputSize);
        if (copied != 0) std::memcpy(out, in, copied);
        request->CompleteWithInformation(S_OK, copied);
    }
};

class CFakeDevice final : public platform::ComObject<CFakeDevice, IPnpCallback, IPnpCallbackHardware,
                                                     IPnpCallbackSelfManagedIo, IFileCallbackCleanup>,
                          Counted {
public:
    HRESULT STDMETHODCALLTYPE OnD0Entry(IWDFDevice*, WDF_POWER_DEVICE_STATE) override { return Ctl().d0EntryResult; }
    HRESULT STDMETHODCALLTYPE OnD0Exit(IWDFDevice*, WDF_POWER_DEVICE_STATE) override { return S_OK; }
    void STDMETHODCALLTYPE OnSurpriseRemoval(IWDFDevice*) override {}
    HRESULT STDMETHODCALLTYPE OnQueryRemove(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnQueryStop(IWDFDevice*) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE OnPrepareHardware(IWDFDevice* device) override
    {
        if (Ctl().createQueue) {
            ComPtr<IWDFIoQueue> existing;
            device->GetDefaultIoQueue(existing.GetAddressOf());
            if (!existing) {
                ComPtr<CFakeQueue> queue(new CFakeQueue);
                const HRESULT hr = device->CreateIoQueue(queue->GetUnknown(), TRUE, WdfIoQueueDispatchParallel, FALSE,
                                                         TRUE, m_defaultQueue.ReleaseAndGetAddressOf());
                if (FAILED(hr)) return hr;
            }
        }
        return Ctl().prepareHardwareResult;
    }
    HRESULT STDMETHODCALLTYPE OnReleaseHardware(IWDFDevice*) override { return S_OK; }

    void STDMETHODCALLTYPE OnSelfManagedIoCleanup(IWDFDevice*) override {}
    void STDMETHODCALLTYPE OnSelfManagedIoFlush(IWDFDevice*) override
    {
        if (m_defaultQueue) m_defaultQueue->PurgeSynchronously();
    }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoInit(IWDFDevice*) override { return Ctl().selfManagedIoInitResult; }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoSuspend(IWDFDevice*) override
    {
        if (m_defaultQueue) {
            m_defaultQueue->PurgeSynchronously();
            m_defaultQueue->Start();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoRestart(IWDFDevice*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnSelfManagedIoStop(IWDFDevice*) override { return S_OK; }

    void STDMETHODCALLTYPE OnCleanupFile(IWDFFile*) override { ++Ctl().cleanups; }

private:
    // Kept until the device object goes, which is after the host drops the queue's callback.
    ComPtr<IWDFIoQueue> m_defaultQueue;
};

class CFakeDriver final : public platform::ComObject<CFakeDriver, IDriverEntry>, Counted {
public:
    HRESULT STDMETHODCALLTYPE OnInitialize(IWDFDriver*) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE OnDeviceAdd(IWDFDriver* driver, IWDFDeviceInitialize* init) override
    {
        if (Ctl().createDevice) {
            ComPtr<CFakeDevice> device(new CFakeDevice);
            init->SetLockingConstraint(WdfLockingConstraintNone);
            init->SetPowerPolicyOwnership(TRUE);
            ComPtr<IWDFDevice> hostDevice;
            HRESULT hr = driver->CreateDevice(init, device->GetUnknown(), hostDevice.GetAddressOf());
            if (FAILED(hr)) return hr;
            ComPtr<IWDFDevice3> device3;
            hr = hostDevice.As(&device3);
            if (FAILED(hr)) return hr;
            WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings{sizeof(WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS),
                                                            IdleCannotWakeFromS0,
                                                            PowerDeviceD3,
                                                            100,
                                                            IdleAllowUserControl,
                                                            WdfFalse,
                                                            WdfFalse,
                                                            SystemManagedIdleTimeout};
            hr = device3->AssignS0IdleSettingsEx(&settings);
            if (FAILED(hr)) return hr;
        }
        return Ctl().deviceAddResult;
    }

    void STDMETHODCALLTYPE OnDeinitialize(IWDFDriver*) override
    {
        if (Ctl().leakDriverAtDeinitialize) g_keptDriver = ComPtr<CFakeDriver>(this);
    }

    // What leakDriverAtDeinitialize keeps alive; released only if the module is unloaded.
    static inline ComPtr<CFakeDriver> g_keptDriver;
};

class CFakeClassFactory final : public platform::ComObject<CFakeClassFactory, IClassFactory>, Counted {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return platform::MakeAndQuery<CFakeDriver>(riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!(rclsid == CLSID_ThermalDriver)) return CLASS_E_CLASSNOTAVAILABLE;
    return platform::MakeAndQuery<CFakeClassFactory>(riid, ppv);
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow()
{
    return Ctl().liveObjects == 0 ? S_OK : S_FALSE;
}

HRESULT STDMETHODCALLTYPE DllRegisterServer()
{
    return S_OK;
}

HRESULT STDMETHODCALLTYPE DllUnregisterServer()
{
    return S_OK;
}
