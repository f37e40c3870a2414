#include "sensor/sensor_ddi.h"

#include <new>

#include "acquisition/thermal_acquisition.h"
#include "driver/trace.h"
#include "platform/kernel/last_error.h"
#include "platform/win32_error.h"
#include "sensor/sensor_manager.h"
#include "sensor/thermal_sensor.h"
#include "sensor/wide_string.h"

TRACE_COMPONENT("{734FA5AC-C6B2-4DD9-BBDB-2FE6B1317734}");

namespace {

constexpr WCHAR kManufacturer[] = u"QAR Corporation";
constexpr WCHAR kModel[] = u"Varmel Device";
constexpr WCHAR kSerialNumber[] = u"57E940BB-A3ED-491B-9722-A605392668E4";
constexpr WCHAR kBaseId[] = u"57E940BB-A3ED-491B-9722-A605392668E4";

// The identity buffers take at most this many units, terminator included.
constexpr std::size_t kIdentityCopyLength = 252;

}  // namespace

HRESULT CSensorDdi::CreateInstance(CSensorDdi** ppSensorDdi)
{
    if (ppSensorDdi == nullptr) return E_POINTER;
    *ppSensorDdi = nullptr;
    CSensorDdi* sensorDdi = new (std::nothrow) CSensorDdi;
    if (sensorDdi == nullptr) return E_OUTOFMEMORY;
    sensorDdi->AddRef();
    const HRESULT hr = sensorDdi->InitializeLock();
    if (FAILED(hr)) {
        sensorDdi->Release();
        return hr;
    }
    *ppSensorDdi = sensorDdi;
    return S_OK;
}

CSensorDdi::CSensorDdi() : m_pCollector(GetThermalAcquisition()) {}

CSensorDdi::~CSensorDdi()
{
    if (m_fLockInitialized) DeleteCriticalSection(&m_csConnection);
}

HRESULT CSensorDdi::InitializeLock()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csConnection, 0)) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    m_fLockInitialized = 1;
    return S_OK;
}

HRESULT CSensorDdi::GetSensorIdentity(LONG* plCountSelector, PWSTR pwszManufacturer, PWSTR pwszModel,
                                      PWSTR pwszSerialNumber, PWSTR pwszBaseId, std::size_t cchBuffer)
{
    if (plCountSelector == nullptr || pwszManufacturer == nullptr || pwszModel == nullptr ||
        pwszSerialNumber == nullptr || pwszBaseId == nullptr) {
        return E_POINTER;
    }
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;
    *plCountSelector = kSensorCountFromDisabledMap;
    RETURN_IF_FAILED(manager->SetSensorDisabled(0, false));
    if (manager->GetSensorDisabledCount() != 1) return E_UNEXPECTED;

    const std::size_t cch = cchBuffer < kIdentityCopyLength ? cchBuffer : kIdentityCopyLength;
    RETURN_IF_FAILED(CopyBounded(pwszSerialNumber, cch, kSerialNumber));
    RETURN_IF_FAILED(CopyBounded(pwszBaseId, cch, kBaseId));
    RETURN_IF_FAILED(CopyBounded(pwszManufacturer, cch, kManufacturer));
    return CopyBounded(pwszModel, cch, kModel);
}

HRESULT CSensorDdi::StartCollector()
{
    const int init = m_pCollector->InitAcquisition();
    const int start = m_pCollector->StartThreads();
    TRACE_INFO(10, init, start);
    return S_OK;
}

HRESULT CSensorDdi::StopCollector()
{
    const int deinit = m_pCollector->DeinitAcquisition();
    const int stop = m_pCollector->StopThreads();
    TRACE_INFO(11, deinit, stop);
    return S_OK;
}

bool CSensorDdi::IsCollectorStarted() const
{
    return m_pCollector->IsStarted() != 0;
}

void CSensorDdi::SetSensor(CThermalSensor* pSensor)
{
    m_pCollector->SetSensor(pSensor);
    m_pHandedSensor = pSensor;
}

void CSensorDdi::TakeBackSensor(CThermalSensor* pSensor)
{
    if (pSensor == nullptr || pSensor != m_pHandedSensor) return;
    m_pCollector->SetSensor(nullptr);
    m_pHandedSensor = nullptr;
    TRACE_INFO(12);
}

HRESULT CSensorDdi::RefreshSensor(PCWSTR pwszSensorId)
{
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;
    CThermalSensor* sensor = nullptr;
    RETURN_IF_FAILED(manager->FindSensorById(pwszSensorId, &sensor));
    return sensor->RefreshDerivedProperties();
}

HRESULT CSensorDdi::OnGetRadioState(IWDFIoRequest*, ULONG)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnSetRadioState(IWDFIoRequest*, ULONG)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetSupportedSensorObjects(IPortableDeviceValuesCollection**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetSupportedProperties(LPWSTR, IPortableDeviceKeyCollection**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetSupportedDataFields(LPWSTR, IPortableDeviceKeyCollection**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetSupportedEvents(LPWSTR, GUID**, ULONG*)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetProperties(IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnGetDataFields(IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnSetProperties(IWDFFile*, LPWSTR, IPortableDeviceValues*, IPortableDeviceValues**)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnClientConnect(IWDFFile*, LPWSTR)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnClientDisconnect(IWDFFile*, LPWSTR)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnClientSubscribeToEvents(IWDFFile*, LPWSTR)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnClientUnsubscribeFromEvents(IWDFFile*, LPWSTR)
{
    return E_NOTIMPL;
}

HRESULT CSensorDdi::OnProcessWpdMessage(IUnknown*, IUnknown*)
{
    return E_NOTIMPL;
}
