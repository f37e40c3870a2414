#include "driver/thermal_device.h"

#include <bit>
#include <memory>
#include <new>

#include "acquisition/probe_fixed_path.h"
#include "acquisition/probe_interface_device.h"
#include "acquisition/thermal_acquisition.h"
#include "base/critical_section_lock.h"
#include "base/last_error_result.h"
#include "base/test_mode.h"
#include "base/trace.h"
#include "driver/read_configuration.h"
#include "driver/thermal_queue.h"
#include "platform/kernel/last_error.h"
#include "platform/setupapi/setupapi.h"
#include "sensor/sensor_manager.h"

TRACE_COMPONENT("{8A8E96EA-B101-4112-BDFB-62D535AF759F}");

using platform::ComPtr;

namespace {
constexpr HRESULT kShutdownInProgress = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);

// Opens or closes both probe channels; skipped in test mode, where no probe is read.
void OpenProbeChannels()
{
    OpenFixedProbe(GetFixedProbeState());
    if (CProbeInterfaceDevice* probe = CProbeInterfaceDevice::GetInstance()) probe->OpenDevice();
}

void CloseProbeChannels()
{
    CloseFixedProbe(GetFixedProbeState());
    if (CProbeInterfaceDevice* probe = CProbeInterfaceDevice::GetInstance()) probe->CloseDevice();
}

// Closes a device-information list on every way out.
struct DeviceInfoList {
    HDEVINFO handle = INVALID_HANDLE_VALUE;
    ~DeviceInfoList()
    {
        if (handle != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(handle);
    }
};
}  // namespace

HRESULT CThermalDevice::CreateInstance(CThermalDevice** ppDevice)
{
    if (ppDevice == nullptr) return E_POINTER;
    *ppDevice = nullptr;
    CThermalDevice* device = new (std::nothrow) CThermalDevice;
    if (device == nullptr) return E_OUTOFMEMORY;
    device->AddRef();
    const HRESULT hr = device->InitializeLock();
    if (FAILED(hr)) {
        device->Release();
        return hr;
    }
    *ppDevice = device;
    return S_OK;
}

CThermalDevice::~CThermalDevice()
{
    if (m_fLockInitialized) DeleteCriticalSection(&m_csLock);
}

HRESULT CThermalDevice::InitializeLock()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csLock, 0)) {
        return LastErrorResult();
    }
    m_fLockInitialized = 1;
    return S_OK;
}

// ---- The in-flight word. ----

HRESULT CThermalDevice::EnterCallback(ULONGLONG bit)
{
    // The count goes up before the bit is set, so that a teardown that set bit 0 earlier refuses
    // this callback, and one that sets it later sees the count and waits.
    for (ULONGLONG rest = bit; rest != 0; rest &= rest - 1) {
        m_inFlightCounts[std::countr_zero(rest)].fetch_add(1);
    }
    ULONGLONG previous = m_ullInFlight.load();
    while (!m_ullInFlight.compare_exchange_weak(previous, previous | bit)) {
    }
    return (previous & kCallbackTeardown) != 0 ? kShutdownInProgress : S_OK;
}

void CThermalDevice::LeaveCallback(ULONGLONG bit)
{
    for (ULONGLONG rest = bit; rest != 0; rest &= rest - 1) {
        const ULONGLONG one = rest & (~rest + 1);
        std::atomic<LONG>& count = m_inFlightCounts[std::countr_zero(rest)];
        if (count.fetch_sub(1) != 1) continue;  // another callback of this kind still runs
        m_ullInFlight.fetch_and(~one);
        // A callback of this kind that entered meanwhile keeps its bit.
        if (count.load() != 0) m_ullInFlight.fetch_or(one);
    }
}

void CThermalDevice::BeginTeardown()
{
    TRACE_INFO(40);
    for (;;) {
        ULONGLONG previous = m_ullInFlight.load();
        while (!m_ullInFlight.compare_exchange_weak(previous, previous | kCallbackTeardown)) {
        }
        // The counts decide: a kind's bit may lag its count while two of its callbacks cross.
        bool fCallbackInFlight = false;
        for (std::size_t index = 1; !fCallbackInFlight && index < m_inFlightCounts.size(); ++index) {
            fCallbackInFlight = m_inFlightCounts[index].load() != 0;
        }
        if (!fCallbackInFlight) break;
    }
    TRACE_INFO(41);
}

// ---- References. ----

ComPtr<CSensorManager> CThermalDevice::GetSensorManager()
{
    CCriticalSectionLock lock(&m_csLock);
    return m_pSensorManager;
}

ComPtr<IWDFDevice> CThermalDevice::GetWdfDevice()
{
    CCriticalSectionLock lock(&m_csLock);
    return m_pWdfDevice;
}

ComPtr<IWDFIoQueue> CThermalDevice::GetDefaultQueue()
{
    CCriticalSectionLock lock(&m_csLock);
    return m_pDefaultQueue;
}

// ---- Hardware. ----

HRESULT CThermalDevice::OnPrepareHardware(IWDFDevice* pWdfDevice)
{
    TRACE_INFO(10);
    ReadConfiguration();

    HRESULT hr = S_OK;
    if (pWdfDevice == nullptr) {
        hr = E_UNEXPECTED;
    } else {
        CDeviceCallbackScope busy(this, kCallbackPrepareHardware);
        hr = busy.Status();
        if (SUCCEEDED(hr)) {
            {
                CCriticalSectionLock lock(&m_csLock);
                m_pWdfDevice = ComPtr<IWDFDevice>(pWdfDevice);
            }
            hr = ConfigureQueue();
            if (SUCCEEDED(hr)) hr = CreateSensorManager(pWdfDevice);
            if (SUCCEEDED(hr)) hr = IdentifyHardware(GetSensorManager().Get());
        }
    }
    if (FAILED(hr)) TRACE_ERROR(11, hr);

    // The channels are opened whatever the result; a channel that cannot be opened is read as absent.
    if (g_TestMode.load(std::memory_order_relaxed) == 0) OpenProbeChannels();
    TRACE_INFO(12, hr);
    return hr;
}

HRESULT CThermalDevice::ConfigureQueue()
{
    ComPtr<IWDFDevice> device = GetWdfDevice();
    if (!device) return E_UNEXPECTED;

    ComPtr<IWDFIoQueue> existing;
    device->GetDefaultIoQueue(existing.GetAddressOf());
    // A default queue made by someone else is used as it is; the device keeps no reference to it.
    if (existing) return S_OK;

    CThermalQueue* created = nullptr;
    HRESULT hr = CThermalQueue::CreateInstance(this, &created);
    if (FAILED(hr)) return hr;
    ComPtr<CThermalQueue> queue;
    queue.Attach(created);

    ComPtr<IUnknown> unknown;
    hr = queue.As(&unknown);
    ComPtr<IWDFIoQueue> defaultQueue;
    if (SUCCEEDED(hr)) {
        hr = device->CreateIoQueue(unknown.Get(), TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE,
                                   defaultQueue.GetAddressOf());
        if (FAILED(hr)) TRACE_ERROR(13, hr);
    }
    if (SUCCEEDED(hr)) {
        CCriticalSectionLock lock(&m_csLock);
        m_pDefaultQueue = defaultQueue;
    }
    return hr;
}

HRESULT CThermalDevice::CreateSensorManager(IWDFDevice* pWdfDevice)
{
    ComPtr<CSensorManager> manager = GetSensorManager();
    if (!manager) {
        CSensorManager* created = nullptr;
        const HRESULT hr = CSensorManager::CreateInstance(GetThermalAcquisition(), &created);
        if (FAILED(hr)) return hr;
        manager.Attach(created);
        CCriticalSectionLock lock(&m_csLock);
        m_pSensorManager = manager;
    }
    if (!manager) return E_POINTER;
    // E_UNEXPECTED when the manager from an earlier preparation is still bound.
    return manager->Initialize(pWdfDevice, this);
}

HRESULT CThermalDevice::IdentifyHardware(CSensorManager* pManager)
{
    if (pManager == nullptr) return E_POINTER;
    HRESULT hr = pManager->SetDeviceDescription(kDefaultDeviceDescription);
    if (FAILED(hr)) return hr;

    std::unique_ptr<WCHAR[]> instanceId(new (std::nothrow) WCHAR[kIdentificationLength]());
    std::unique_ptr<WCHAR[]> description(new (std::nothrow) WCHAR[kIdentificationLength]());
    if (!instanceId || !description) return E_UNEXPECTED;

    ComPtr<IWDFDevice> device = GetWdfDevice();
    if (!device) return E_UNEXPECTED;

    // Without an instance identifier, a list or an entry the default description stays.
    DWORD cchInstanceId = 0;
    if (FAILED(device->RetrieveDeviceInstanceId(nullptr, &cchInstanceId))) return S_OK;
    cchInstanceId = kIdentificationLength;
    if (FAILED(device->RetrieveDeviceInstanceId(instanceId.get(), &cchInstanceId))) return S_OK;
    instanceId[kIdentificationLength - 1] = 0;

    DeviceInfoList list;
    list.handle = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (list.handle == INVALID_HANDLE_VALUE) return S_OK;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof(info);
    if (SetupDiOpenDeviceInfoW(list.handle, instanceId.get(), nullptr, 0, &info) != TRUE) return S_OK;

    DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
    DWORD cbRequired = 0;
    if (!SetupDiGetDevicePropertyW(list.handle, &info, &DEVPKEY_Device_DeviceDesc, &type,
                                   reinterpret_cast<PBYTE>(description.get()), kIdentificationLength * sizeof(WCHAR),
                                   &cbRequired, 0)) {
        hr = LastErrorResult();
        TRACE_ERROR(14, hr);
        return hr;
    }
    // A description without its terminator is cut at the buffer's end.
    description[kIdentificationLength - 1] = 0;
    if (description[0] != 0) hr = pManager->SetDeviceDescription(description.get());
    return hr;
}

HRESULT CThermalDevice::OnReleaseHardware(IWDFDevice* pWdfDevice)
{
    TRACE_INFO(20);
    BeginTeardown();

    HRESULT hr = S_OK;
    ComPtr<CSensorManager> manager;
    {
        CCriticalSectionLock lock(&m_csLock);
        manager = std::move(m_pSensorManager);
    }
    if (manager) {
        hr = manager->Stop(WdfPowerDeviceMaximum);
        manager->Uninitialize();
        manager.Reset();
    }

    ComPtr<IWDFDevice> stored;
    {
        CCriticalSectionLock lock(&m_csLock);
        if (pWdfDevice != nullptr && m_pWdfDevice.Get() == pWdfDevice) stored = std::move(m_pWdfDevice);
    }
    stored.Reset();

    if (g_TestMode.load(std::memory_order_relaxed) == 0) CloseProbeChannels();
    TRACE_INFO(21, hr);
    return hr;
}

// ---- Power. ----

HRESULT CThermalDevice::OnD0Entry(IWDFDevice*, WDF_POWER_DEVICE_STATE previousState)
{
    TRACE_INFO(30, static_cast<ULONG>(previousState));
    CDeviceCallbackScope busy(this, kCallbackPower);
    if (FAILED(busy.Status())) return busy.Status();
    HRESULT hr = S_OK;
    if (ComPtr<CSensorManager> manager = GetSensorManager()) {
        hr = manager->Start(previousState);
        if (FAILED(hr)) TRACE_ERROR(31, hr);
    }
    return hr;
}

HRESULT CThermalDevice::OnD0Exit(IWDFDevice*, WDF_POWER_DEVICE_STATE newState)
{
    TRACE_INFO(32, static_cast<ULONG>(newState));
    CDeviceCallbackScope busy(this, kCallbackPower);
    if (FAILED(busy.Status())) return busy.Status();
    ComPtr<CSensorManager> manager = GetSensorManager();
    return manager ? manager->Stop(newState) : S_OK;
}

void CThermalDevice::OnSurpriseRemoval(IWDFDevice*)
{
    BeginTeardown();
}

HRESULT CThermalDevice::OnQueryRemove(IWDFDevice*)
{
    return S_OK;
}

HRESULT CThermalDevice::OnQueryStop(IWDFDevice*)
{
    return S_OK;
}

// ---- Self-managed I/O. ----

HRESULT CThermalDevice::OnSelfManagedIoInit(IWDFDevice*)
{
    CDeviceCallbackScope busy(this, kCallbackSelfManagedIo);
    if (FAILED(busy.Status())) return busy.Status();
    if (ComPtr<CSensorManager> manager = GetSensorManager()) manager->SetIoActive(true);
    return S_OK;
}

HRESULT CThermalDevice::OnSelfManagedIoRestart(IWDFDevice* pWdfDevice)
{
    return OnSelfManagedIoInit(pWdfDevice);
}

HRESULT CThermalDevice::OnSelfManagedIoSuspend(IWDFDevice*)
{
    CDeviceCallbackScope busy(this, kCallbackSelfManagedIo);
    if (FAILED(busy.Status())) return busy.Status();
    if (ComPtr<CSensorManager> manager = GetSensorManager()) manager->SetIoActive(false);
    // Empty the queue of waiting requests, then let it accept requests again.
    if (ComPtr<IWDFIoQueue> queue = GetDefaultQueue()) {
        queue->PurgeSynchronously();
        queue->Start();
    }
    return S_OK;
}

void CThermalDevice::OnSelfManagedIoFlush(IWDFDevice*)
{
    CDeviceCallbackScope busy(this, kCallbackSelfManagedIo);
    if (FAILED(busy.Status())) return;
    if (ComPtr<IWDFIoQueue> queue = GetDefaultQueue()) queue->PurgeSynchronously();
}

void CThermalDevice::OnSelfManagedIoCleanup(IWDFDevice*) {}

HRESULT CThermalDevice::OnSelfManagedIoStop(IWDFDevice*)
{
    return S_OK;
}

// ---- Files. ----

void CThermalDevice::OnCleanupFile(IWDFFile* pWdfFileObject)
{
    CDeviceCallbackScope busy(this, kCallbackCleanupFile);
    if (FAILED(busy.Status())) return;
    if (ComPtr<CSensorManager> manager = GetSensorManager()) manager->CleanupFile(pWdfFileObject);
}
