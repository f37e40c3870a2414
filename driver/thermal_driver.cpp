#include "driver/thermal_driver.h"

#include <new>

#include "base/last_error_result.h"
#include "base/trace.h"
#include "driver/thermal_device.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/last_error.h"
#include "platform/wdf/device.h"

TRACE_COMPONENT("{F818D1C9-AE4F-4B18-929A-B48F3ED19B17}");

using platform::ComPtr;

namespace {
// The driver's build stamp.
constexpr const char* kBuildDate = "June 19, 2012";
constexpr const char* kBuildTime = "03:17PM";
constexpr ULONG kIdleTimeoutMilliseconds = 100;
}  // namespace

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
        return LastErrorResult();
    }
    m_fLockInitialized = 1;
    return S_OK;
}

HRESULT CThermalDriver::OnInitialize(IWDFDriver*)
{
    return S_OK;
}

HRESULT CThermalDriver::OnDeviceAdd(IWDFDriver* pWdfDriver, IWDFDeviceInitialize* pWdfDeviceInit)
{
    TRACE_INFO(10, kBuildDate, kBuildTime);
    if (pWdfDriver == nullptr || pWdfDeviceInit == nullptr) return E_INVALIDARG;

    CThermalDevice* created = nullptr;
    HRESULT hr = CThermalDevice::CreateInstance(&created);
    if (FAILED(hr)) {
        TRACE_ERROR(11, hr);
        return hr;
    }
    ComPtr<CThermalDevice> device;
    device.Attach(created);

    // Callbacks may run at once on several threads; the driver sets the device's idle policy.
    pWdfDeviceInit->SetLockingConstraint(WdfLockingConstraintNone);
    pWdfDeviceInit->SetPowerPolicyOwnership(TRUE);

    ComPtr<IUnknown> unknown;
    hr = device.As(&unknown);
    ComPtr<IWDFDevice> hostDevice;
    if (SUCCEEDED(hr)) hr = pWdfDriver->CreateDevice(pWdfDeviceInit, unknown.Get(), hostDevice.GetAddressOf());

    ComPtr<IWDFDevice3> hostDevice3;
    if (SUCCEEDED(hr)) hr = hostDevice.As(&hostDevice3);
    if (SUCCEEDED(hr)) {
        WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings{};
        settings.Size = sizeof(settings);
        settings.IdleCaps = IdleCannotWakeFromS0;
        settings.DxState = PowerDeviceD3;
        settings.IdleTimeout = kIdleTimeoutMilliseconds;
        settings.UserControlOfIdleSettings = IdleAllowUserControl;
        settings.Enabled = WdfFalse;
        settings.PowerUpIdleDeviceOnSystemWake = WdfFalse;
        settings.IdleTimeoutType = SystemManagedIdleTimeout;
        hr = hostDevice3->AssignS0IdleSettingsEx(&settings);
    }
    if (FAILED(hr)) TRACE_ERROR(11, hr);
    // The local references go here; the host keeps the device object alive from now on.
    return hr;
}

void CThermalDriver::OnDeinitialize(IWDFDriver*) {}
