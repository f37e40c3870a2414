#include "sensor/sensor_manager.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>

#include "base/critical_section_lock.h"
#include "base/last_error_result.h"
#include "base/prop_variant.h"
#include "base/trace.h"
#include "base/wide_string.h"
#include "platform/com/runtime.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/synch.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "sensor/radio_state_ioctl.h"
#include "sensor/thermal_sensor.h"

TRACE_COMPONENT("{6D0B5F90-3D55-428E-BD20-2FE02B0908B9}");

using platform::ComPtr;

namespace {

constexpr WCHAR kDefaultDeviceDescription[] = u"Varmel Device";

// Units of each work buffer of the creation pass, and of the index text appended to the base ID.
constexpr std::size_t kWorkBufferLength = 260;
constexpr std::size_t kIndexTextLength = 9;

// Tries to wake the event thread for its end before waiting for it.
constexpr int kStopSignalAttempts = 3;

// The six work buffers of the creation pass.
struct CreationBuffers {
    WCHAR manufacturer[kWorkBufferLength];
    WCHAR model[kWorkBufferLength];
    WCHAR serialNumber[kWorkBufferLength];
    WCHAR baseId[kWorkBufferLength];
    WCHAR sensorId[kWorkBufferLength];
    WCHAR indexText[kWorkBufferLength];
};

// A stored state as an unsigned 32-bit value; false for a type that holds none.
bool StateValue(const PROPVARIANT& value, ULONG* pState)
{
    switch (value.vt) {
        case VT_EMPTY:
            *pState = 0;
            return true;
        case VT_UI4:
            *pState = value.ulVal;
            return true;
        case VT_I4:
            *pState = static_cast<ULONG>(value.lVal);
            return true;
        case VT_UINT:
            *pState = value.uintVal;
            return true;
        case VT_INT:
            *pState = static_cast<ULONG>(value.intVal);
            return true;
        default:
            return false;
    }
}

// "-i" for a sensor index, in at most kIndexTextLength units with the terminator.
void FormatIndexText(ULONG index, PWSTR text)
{
    char narrow[kIndexTextLength] = {};
    std::snprintf(narrow, sizeof(narrow), "-%i", static_cast<int>(index));
    std::size_t i = 0;
    for (; narrow[i] != 0; ++i) text[i] = static_cast<WCHAR>(narrow[i]);
    text[i] = 0;
}

// Frees a BSTR on every way out.
class CBstr {
public:
    CBstr() = default;
    ~CBstr() { SysFreeString(m_bstr); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    BSTR* operator&() { return &m_bstr; }
    BSTR Get() const { return m_bstr; }

private:
    BSTR m_bstr = nullptr;
};

}  // namespace

HRESULT CSensorManager::CreateInstance(CThermalAcquisition* pCollector, CSensorManager** ppManager)
{
    if (ppManager == nullptr) return E_POINTER;
    *ppManager = nullptr;
    if (pCollector == nullptr) return E_POINTER;
    CSensorManager* manager = new (std::nothrow) CSensorManager(pCollector);
    if (manager == nullptr) return E_OUTOFMEMORY;
    manager->AddRef();
    const HRESULT hr = manager->InitializeLocks();
    if (FAILED(hr)) {
        manager->Release();
        return hr;
    }
    *ppManager = manager;
    return S_OK;
}

CSensorManager::CSensorManager(CThermalAcquisition* pCollector) : m_pCollector(pCollector)
{
    CopyBounded(m_szDeviceDescription, kDescriptionLength, kDefaultDeviceDescription);
}

CSensorManager::~CSensorManager()
{
    if (m_fObjectLockInitialized && m_fManagerLockInitialized) {
        if (m_hEventThread != nullptr || !m_sensors.empty() || !m_retiredSensors.empty() || m_pSensorDdi ||
            m_pClassExtension) {
            Uninitialize();
        }
        CloseNewDataEvent();
    }
    m_pDeviceObject.Reset();
    m_pWdfDevice.Reset();
    if (m_fManagerLockInitialized) DeleteCriticalSection(&m_csManager);
    if (m_fObjectLockInitialized) DeleteCriticalSection(&m_csObject);
}

HRESULT CSensorManager::InitializeLocks()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csObject, 0)) return LastErrorResult();
    m_fObjectLockInitialized = 1;
    if (!InitializeCriticalSectionAndSpinCount(&m_csManager, 0)) return E_OUTOFMEMORY;
    m_fManagerLockInitialized = 1;
    return S_OK;
}

HRESULT CSensorManager::Initialize(IWDFDevice* pHostDevice, IDeviceCallbackGate* pDeviceObject)
{
    if (IsInitialized()) return E_UNEXPECTED;
    m_pWdfDevice = ComPtr<IWDFDevice>(pHostDevice);
    m_ulSensorCount = 0;
    m_pDeviceObject = ComPtr<IDeviceCallbackGate>(pDeviceObject);
    m_lStopped = 0;
    return S_OK;
}

HRESULT CSensorManager::SetDeviceDescription(PCWSTR pwszDescription)
{
    return CopyBounded(m_szDeviceDescription, kDescriptionLength, pwszDescription);
}

ComPtr<ISensorClassExtension> CSensorManager::GetClassExtension()
{
    CCriticalSectionLock lock(&m_csObject);
    return m_pClassExtension;
}

ComPtr<CSensorDdi> CSensorManager::GetSensorDdi()
{
    CCriticalSectionLock lock(&m_csObject);
    return m_pSensorDdi;
}

HRESULT CSensorManager::StartCollector(CSensorDdi* pSensorDdi)
{
    std::lock_guard lock(m_collectorMutex);
    return pSensorDdi->StartCollector();
}

HRESULT CSensorManager::StopCollector(CSensorDdi* pSensorDdi)
{
    std::lock_guard lock(m_collectorMutex);
    return pSensorDdi->StopCollector();
}

void CSensorManager::StopCollectorWithoutClients()
{
    for (const auto& sensor : m_sensors) {
        if (sensor->GetConnectedClientCount() != 0) return;
    }
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    if (!sensorDdi) return;
    TRACE_INFO(38);
    StopCollector(sensorDdi.Get());
}

bool CSensorManager::HasSensorDriver()
{
    CCriticalSectionLock lock(&m_csObject);
    return static_cast<bool>(m_pSensorDdi);
}

CThermalAcquisition* CSensorManager::GetCollector()
{
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    return sensorDdi ? sensorDdi->GetCollector() : nullptr;
}

HRESULT CSensorManager::Start(WDF_POWER_DEVICE_STATE previousState)
{
    TRACE_INFO(10, static_cast<ULONG>(previousState));
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    if (!sensorDdi) {
        CSensorDdi* created = nullptr;
        if (SUCCEEDED(CSensorDdi::CreateInstance(m_pCollector, &created))) {
            sensorDdi.Attach(created);
            CCriticalSectionLock lock(&m_csObject);
            m_pSensorDdi = sensorDdi;
        }
    }
    if (!sensorDdi) {
        TRACE_ERROR(11);
        return E_UNEXPECTED;
    }

    // Back from a low-power state: acquisition starts first.
    HRESULT hr = S_OK;
    if (previousState != WdfPowerDeviceD3Final) hr = StartCollector(sensorDdi.Get());
    sensorDdi->SetSensorManager(this);
    if (FAILED(hr)) return hr;

    if (!IsInitialized()) {
        hr = CreateSensors();
        if (FAILED(hr)) {
            TRACE_ERROR(12, hr);
            return hr;
        }
    }

    for (const auto& sensor : m_sensors) SetSensorState(sensor.get(), SENSOR_STATE_NOT_AVAILABLE, nullptr);

    // One event thread and one event at a time: whatever a start without a stop, or a failed
    // start, left is ended first.
    EndEventThread();
    m_hNewDataEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (m_hNewDataEvent == nullptr) {
        hr = LastErrorResult();
        TRACE_ERROR(13, hr);
        return hr;
    }
    for (const auto& sensor : m_sensors) {
        sensor->SetNewDataEvent(m_hNewDataEvent);
        sensor->ClearDataReady();
    }

    hr = StartEventThread();
    if (SUCCEEDED(hr)) m_lStopped = 0;
    return hr;
}

HRESULT CSensorManager::CreateSensors()
{
    std::unique_ptr<CreationBuffers> buffers(new (std::nothrow) CreationBuffers{});
    if (!buffers) {
        TRACE_ERROR(14);
        return E_UNEXPECTED;
    }
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    LONG countSelector = 0;
    HRESULT hr = sensorDdi->GetSensorIdentity(&countSelector, buffers->manufacturer, buffers->model,
                                              buffers->serialNumber, buffers->baseId, kWorkBufferLength);
    if (FAILED(hr)) {
        TRACE_ERROR(15, hr);
        return hr;
    }

    const ULONG count =
        countSelector == CSensorDdi::kSensorCountFromDisabledMap ? static_cast<ULONG>(GetSensorDisabledCount()) : 1;
    m_ulSensorCount = count;

    for (ULONG index = 0; index < count; ++index) {
        bool fDisabled = false;
        {
            CCriticalSectionLock lock(&m_csObject);
            const auto entry = m_sensorDisabled.find(index);
            fDisabled = entry != m_sensorDisabled.end() && entry->second;
        }
        if (fDisabled) {
            TRACE_INFO(16, index);
            continue;
        }
        hr = CreateSensor(index, hr, buffers->manufacturer, buffers->model, buffers->serialNumber, buffers->baseId);
    }

    if (SUCCEEDED(hr)) {
        hr = CreateClassExtension();
        if (SUCCEEDED(hr)) {
            TRACE_INFO(17);
            m_lInitialized.store(1);
        }
    }
    return hr;
}

HRESULT CSensorManager::CreateSensor(ULONG ulIndex, HRESULT hrStatus, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                                     PCWSTR pwszSerialNumber, PCWSTR pwszBaseId)
{
    // A sensor listed by an earlier, failed pass stays as it is.
    for (const auto& listed : m_sensors) {
        if (listed->GetSensorIndex() == ulIndex) return hrStatus;
    }

    WCHAR sensorId[kWorkBufferLength] = {};
    WCHAR indexText[kIndexTextLength] = {};
    CopyBounded(sensorId, CSensor::kIdentityLength, pwszBaseId);
    FormatIndexText(ulIndex, indexText);
    AppendBounded(sensorId, CSensor::kIdentityLength, indexText);
    try {
        CCriticalSectionLock lock(&m_csObject);
        m_sensorIds[ulIndex] = sensorId;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    std::unique_ptr<CThermalSensor> sensor = CThermalSensor::Create();
    if (!sensor) {
        TRACE_ERROR(18, ulIndex);
        return hrStatus;
    }
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    HRESULT hr = sensor->Initialize(0, ulIndex, pwszManufacturer, pwszModel, pwszSerialNumber, sensorId,
                                    m_pWdfDevice.Get(), this);
    sensorDdi->SetSensor(sensor.get());
    if (SUCCEEDED(hr)) {
        TRACE_INFO(19, ulIndex);
        hr = sensor->InitPersistentUniqueId(m_pWdfDevice.Get());
    }
    if (SUCCEEDED(hr)) {
        try {
            m_sensors.push_back(std::move(sensor));
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    if (FAILED(hr)) {
        TRACE_ERROR(20, ulIndex, hr);
        sensorDdi->TakeBackSensor(sensor.get());
        RetireSensor(std::move(sensor));
        return hr;
    }
    return sensorDdi->RefreshSensor(sensorId);
}

void CSensorManager::RetireSensor(std::unique_ptr<CThermalSensor> pSensor)
{
    try {
        m_retiredSensors.push_back(std::move(pSensor));
        return;
    } catch (const std::bad_alloc&) {
    }
    // No room to keep it: free it once no delivery can be under way, else leave it allocated.
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    if (sensorDdi && !StopDeliveries(sensorDdi.Get())) {
        pSensor.release();
        return;
    }
    pSensor->Uninitialize();
}

bool CSensorManager::StopDeliveries(CSensorDdi* pSensorDdi)
{
    if (pSensorDdi->IsCollectorStarted()) {
        TRACE_WARNING(29);
        StopCollector(pSensorDdi);
    }
    if (!pSensorDdi->IsCollectorStarted()) return true;
    // A reporter that could not be stopped may be inside a delivery: what it delivers to is left
    // allocated rather than freed under it.
    TRACE_ERROR(39);
    return false;
}

HRESULT CSensorManager::CreateClassExtension()
{
    {
        CCriticalSectionLock lock(&m_csObject);
        if (m_pClassExtension) return E_UNEXPECTED;
    }
    ComPtr<ISensorClassExtension> classExtension;
    HRESULT hr =
        CoCreateInstance(CLSID_SensorClassExtension, nullptr, CLSCTX_INPROC_SERVER, __uuidof(ISensorClassExtension),
                         reinterpret_cast<void**>(classExtension.GetAddressOf()));
    if (hr == REGDB_E_CLASSNOTREG) {
        TRACE_ERROR(21, hr);
        return E_UNEXPECTED;
    }
    if (FAILED(hr)) return hr;
    {
        CCriticalSectionLock lock(&m_csObject);
        m_pClassExtension = classExtension;
    }

    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    ComPtr<IUnknown> sensorDriverUnknown;
    hr = sensorDdi->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(sensorDriverUnknown.GetAddressOf()));
    if (SUCCEEDED(hr) && !m_pWdfDevice) hr = E_POINTER;
    if (SUCCEEDED(hr)) hr = classExtension->Initialize(m_pWdfDevice.Get(), sensorDriverUnknown.Get());
    if (SUCCEEDED(hr)) {
        hr = m_pWdfDevice->CreateDeviceInterface(&GUID_DEVINTERFACE_SENSOR, nullptr);
        TRACE_INFO(22, hr);
    }
    if (SUCCEEDED(hr)) hr = m_pWdfDevice->AssignDeviceInterfaceState(&GUID_DEVINTERFACE_SENSOR, nullptr, TRUE);
    return hr;
}

HRESULT CSensorManager::StartEventThread()
{
    {
        CCriticalSectionLock lock(&m_csManager);
        m_lThreadRun.store(1);
    }
    m_hEventThread = CreateThread(nullptr, 0, EventThreadProc, this, 0, nullptr);
    if (m_hEventThread == nullptr) {
        const HRESULT hr = LastErrorResult();
        TRACE_ERROR(23, hr);
        CCriticalSectionLock lock(&m_csManager);
        m_lThreadRun.store(0);
        return hr;
    }
    TRACE_INFO(24);
    m_lInitialized.store(1);
    return S_OK;
}

HRESULT CSensorManager::Stop(WDF_POWER_DEVICE_STATE targetState)
{
    CCriticalSectionLock lock(&m_csManager);
    TRACE_INFO(25, static_cast<ULONG>(targetState));
    if (m_lStopped != 0) return S_OK;

    HRESULT hr = S_OK;
    if (targetState != WdfPowerDeviceD2) {
        for (const auto& sensor : m_sensors) SetSensorState(sensor.get(), SENSOR_STATE_NOT_AVAILABLE, nullptr);
    }
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    if (sensorDdi) hr = StopCollector(sensorDdi.Get());
    EndEventThread();
    m_lStopped = 1;
    return hr;
}

void CSensorManager::EndEventThread()
{
    if (m_hEventThread != nullptr) {
        {
            CCriticalSectionLock lock(&m_csManager);
            m_lThreadRun.store(0);
        }
        // The thread sleeps until the event is set; it looks at the flag only when it wakes.
        for (int attempt = 0; attempt < kStopSignalAttempts; ++attempt) {
            if (SetEvent(m_hNewDataEvent)) break;
            TRACE_ERROR(26, GetLastError());
        }
        WaitForSingleObject(m_hEventThread, INFINITE);
        CloseHandle(m_hEventThread);
        m_hEventThread = nullptr;
    }
    CloseNewDataEvent();
}

void CSensorManager::CloseNewDataEvent()
{
    if (m_hNewDataEvent == nullptr) return;
    // A sensor must not signal a closed handle.
    for (const auto& sensor : m_sensors) sensor->SetNewDataEvent(nullptr);
    for (const auto& sensor : m_retiredSensors) sensor->SetNewDataEvent(nullptr);
    CloseHandle(m_hNewDataEvent);
    m_hNewDataEvent = nullptr;
}

void CSensorManager::Uninitialize()
{
    TRACE_INFO(27);
    if (m_hEventThread != nullptr) TRACE_WARNING(28);
    EndEventThread();

    // Unbound first, so that no sensor-driver callback can reach a sensor being freed.
    ComPtr<ISensorClassExtension> classExtension;
    {
        CCriticalSectionLock lock(&m_csObject);
        classExtension = std::move(m_pClassExtension);
    }
    if (classExtension) classExtension->Uninitialize();
    classExtension.Reset();

    FreeSensors();
    {
        CCriticalSectionLock lock(&m_csObject);
        m_sensorIds.clear();
        m_sensorDisabled.clear();
    }

    ComPtr<CSensorDdi> sensorDdi;
    {
        CCriticalSectionLock lock(&m_csObject);
        sensorDdi = std::move(m_pSensorDdi);
    }
    if (sensorDdi) sensorDdi->SetSensorManager(nullptr);
    sensorDdi.Reset();
    m_lInitialized.store(0);
}

void CSensorManager::FreeSensors()
{
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    bool fFree = true;
    if (sensorDdi) {
        // A running reporter may be inside a delivery to a sensor: acquisition ends first.
        if (!m_sensors.empty() || !m_retiredSensors.empty()) fFree = StopDeliveries(sensorDdi.Get());
        for (const auto& sensor : m_sensors) sensorDdi->TakeBackSensor(sensor.get());
        for (const auto& sensor : m_retiredSensors) sensorDdi->TakeBackSensor(sensor.get());
    }
    for (std::vector<std::unique_ptr<CThermalSensor>>* list : {&m_sensors, &m_retiredSensors}) {
        for (std::unique_ptr<CThermalSensor>& sensor : *list) {
            if (fFree) {
                sensor->Uninitialize();
            } else {
                sensor.release();  // a delivery may still reach it
            }
        }
        list->clear();
    }
}

HRESULT CSensorManager::SetSensorState(CSensor* pSensor, SensorState state, bool* pfStateChanged)
{
    if (pfStateChanged != nullptr) *pfStateChanged = false;
    if (pSensor == nullptr) {
        TRACE_ERROR(30);
        return E_UNEXPECTED;
    }
    CBstr sensorId;
    if (FAILED(pSensor->GetSensorId(&sensorId)) || sensorId.Get() == nullptr) {
        TRACE_ERROR(31, pSensor->GetTraceName());
        return E_UNEXPECTED;
    }

    {
        CPropVariant current;
        ULONG currentState = 0;
        if (SUCCEEDED(pSensor->GetProperty(SENSOR_PROPERTY_STATE, &current)) && StateValue(*current, &currentState) &&
            currentState == static_cast<ULONG>(state)) {
            return S_OK;
        }
    }

    PROPVARIANT value;
    InitPropVariantFromUInt32(state, &value);
    HRESULT hr = pSensor->SetProperty(SENSOR_PROPERTY_STATE, &value);
    if (pfStateChanged != nullptr) *pfStateChanged = true;
    TRACE_INFO(32, pSensor->GetTraceName(), static_cast<ULONG>(state));

    HRESULT hrPost = E_FAIL;
    if (SUCCEEDED(hr)) {
        ComPtr<ISensorClassExtension> classExtension = GetClassExtension();
        if (classExtension) {
            hrPost = classExtension->PostStateChange(sensorId.Get(), state);
            if (FAILED(hrPost)) hr = hrPost;
        }
    }

    // A sensor that is not ready reports no timestamp and no temperature.
    if (SUCCEEDED(hrPost) && state != SENSOR_STATE_READY) {
        ComPtr<IPortableDeviceKeyCollection> fields;
        DWORD count = 0;
        if (SUCCEEDED(pSensor->GetSupportedDataFieldKeys(fields.GetAddressOf())) &&
            SUCCEEDED(fields->GetCount(&count))) {
            const PROPVARIANT empty{};
            for (DWORD i = 0; i < count; ++i) {
                PROPERTYKEY key{};
                if (FAILED(fields->GetAt(i, &key))) break;
                pSensor->SetDataField(key, &empty);
            }
        }
    }
    return hr;
}

HRESULT CSensorManager::PostDataEvent(LPWSTR pwszSensorId, IPortableDeviceValues* pEventValues)
{
    ComPtr<IPortableDeviceValuesCollection> events;
    HRESULT hr = CoCreateInstance(CLSID_PortableDeviceValuesCollection, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IPortableDeviceValuesCollection, reinterpret_cast<void**>(events.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = events->Add(pEventValues);
    if (SUCCEEDED(hr)) {
        ComPtr<ISensorClassExtension> classExtension = GetClassExtension();
        if (classExtension) hr = classExtension->PostEvent(pwszSensorId, events.Get());
    }
    return hr;
}

HRESULT CSensorManager::ProcessIoControl(IWDFIoRequest* pRequest)
{
    if (pRequest == nullptr) return E_POINTER;
    ComPtr<ISensorClassExtension> classExtension = GetClassExtension();
    if (!classExtension) {
        TRACE_WARNING(33);
        pRequest->CompleteWithInformation(HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED), 0);
        return S_OK;
    }
    return classExtension->ProcessIoControl(pRequest);
}

HRESULT CSensorManager::ProcessPrivateIoControl(IWDFIoRequest* pRequest, ULONG ulControlCode)
{
    ComPtr<CSensorDdi> sensorDdi = GetSensorDdi();
    if (!sensorDdi) return S_OK;
    switch (ulControlCode) {
        case IOCTL_GET_RADIO_STATE:
            return sensorDdi->OnGetRadioState(pRequest, kRadioSelectorState);
        case IOCTL_GET_PREVIOUS_RADIO_STATE:
            return sensorDdi->OnGetRadioState(pRequest, kRadioSelectorPrevious);
        case IOCTL_SET_RADIO_STATE:
            return sensorDdi->OnSetRadioState(pRequest, kRadioSelectorState);
        case IOCTL_SET_PREVIOUS_RADIO_STATE:
            return sensorDdi->OnSetRadioState(pRequest, kRadioSelectorPrevious);
        default:
            return S_OK;
    }
}

void CSensorManager::CleanupFile(IWDFFile* pFile)
{
    ComPtr<ISensorClassExtension> classExtension = GetClassExtension();
    if (classExtension) classExtension->CleanupFile(pFile);
}

CThermalSensor* CSensorManager::GetSensor(std::size_t position) const
{
    return position < m_sensors.size() ? m_sensors[position].get() : nullptr;
}

HRESULT CSensorManager::CopySensorId(ULONG ulSensorIndex, BSTR* pbstrSensorId)
{
    if (pbstrSensorId == nullptr) return E_POINTER;
    *pbstrSensorId = nullptr;
    CCriticalSectionLock lock(&m_csObject);
    const auto entry = m_sensorIds.find(ulSensorIndex);
    if (entry == m_sensorIds.end()) return E_UNEXPECTED;
    const std::u16string& id = entry->second;
    *pbstrSensorId =
        SysAllocStringByteLen(reinterpret_cast<LPCSTR>(id.data()), static_cast<UINT>(id.size() * sizeof(WCHAR)));
    return *pbstrSensorId != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSensorManager::FindSensorById(PCWSTR pwszSensorId, CThermalSensor** ppSensor)
{
    if (ppSensor == nullptr) return E_POINTER;
    *ppSensor = nullptr;
    if (m_sensors.empty()) return E_UNEXPECTED;
    if (pwszSensorId == nullptr) return E_INVALIDARG;
    CCriticalSectionLock lock(&m_csObject);
    for (const auto& sensor : m_sensors) {
        const auto entry = m_sensorIds.find(sensor->GetSensorIndex());
        if (entry != m_sensorIds.end() && EqualsIgnoreCase(entry->second.c_str(), pwszSensorId)) {
            *ppSensor = sensor.get();
            return S_OK;
        }
    }
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

HRESULT CSensorManager::LookUpSensorId(PCWSTR pwszSensorId, ULONG* pulSensorIndex, LONG* plDisabled)
{
    if (pulSensorIndex == nullptr || plDisabled == nullptr) return E_POINTER;
    *pulSensorIndex = 0;
    *plDisabled = 0;
    CCriticalSectionLock lock(&m_csObject);
    if (m_sensorIds.empty() || m_sensorDisabled.empty()) return E_UNEXPECTED;
    // The maps are paired by index: the flag of an ID is the one registered under its index.
    bool fFound = false;
    for (const auto& [index, id] : m_sensorIds) {
        if ((fFound && index >= *pulSensorIndex) || !EqualsIgnoreCase(id.c_str(), pwszSensorId)) continue;
        *pulSensorIndex = index;
        fFound = true;
    }
    if (!fFound) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const auto flag = m_sensorDisabled.find(*pulSensorIndex);
    if (flag == m_sensorDisabled.end()) return E_UNEXPECTED;
    *plDisabled = static_cast<LONG>(flag->second);
    return S_OK;
}

CThermalSensor* CSensorManager::GetSensorByIndex(ULONG ulSensorIndex) const
{
    for (const auto& sensor : m_sensors) {
        if (sensor->GetSensorIndex() == ulSensorIndex) return sensor.get();
    }
    return nullptr;
}

std::vector<std::u16string> CSensorManager::CopySensorIds()
{
    std::vector<std::pair<ULONG, std::u16string>> entries;
    {
        CCriticalSectionLock lock(&m_csObject);
        entries.assign(m_sensorIds.begin(), m_sensorIds.end());
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::u16string> ids;
    ids.reserve(entries.size());
    for (auto& entry : entries) ids.push_back(std::move(entry.second));
    return ids;
}

HRESULT CSensorManager::SetSensorDisabled(ULONG ulSensorIndex, bool fDisabled)
{
    try {
        CCriticalSectionLock lock(&m_csObject);
        m_sensorDisabled[ulSensorIndex] = fDisabled;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

std::size_t CSensorManager::GetSensorDisabledCount()
{
    CCriticalSectionLock lock(&m_csObject);
    return m_sensorDisabled.size();
}

DWORD WINAPI CSensorManager::EventThreadProc(LPVOID pParameter)
{
    auto* manager = static_cast<CSensorManager*>(pParameter);
    if (manager == nullptr) return 0;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        TRACE_ERROR(34, hr);
        return 0;
    }
    // One values set serves every pass of the thread.
    ComPtr<IPortableDeviceValues> eventValues;
    hr = CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                          reinterpret_cast<void**>(eventValues.GetAddressOf()));
    if (FAILED(hr)) {
        TRACE_ERROR(35, hr);
        CoUninitialize();
        return 0;
    }
    while (manager->m_lThreadRun.load() != 0 &&
           WaitForSingleObject(manager->m_hNewDataEvent, INFINITE) == WAIT_OBJECT_0) {
        // The wake that ends the thread publishes nothing.
        if (manager->m_lThreadRun.load() == 0) break;
        manager->PublishNewData(eventValues.Get());
    }
    eventValues.Reset();
    CoUninitialize();
    return 0;
}

void CSensorManager::PublishNewData(IPortableDeviceValues* pEventValues)
{
    CDeviceCallbackScope busy(GetDeviceCallbackGate(), kCallbackEventPass);
    if (SUCCEEDED(busy.Status())) {
        HRESULT hr = pEventValues->Clear();
        if (SUCCEEDED(hr)) hr = pEventValues->SetGuidValue(SENSOR_EVENT_PARAMETER_EVENT_ID, SENSOR_EVENT_DATA_UPDATED);
        if (SUCCEEDED(hr)) {
            // After a failed step, later sensors with new data get no event in this pass (their flag
            // is still taken); later sensors without new data still get their state change.
            bool fPassFailed = false;
            for (const auto& sensor : m_sensors) {
                if (!sensor->TakeNewDataFlag()) {
                    if (FAILED(SetSensorState(sensor.get(), SENSOR_STATE_NOT_AVAILABLE, nullptr))) fPassFailed = true;
                    continue;
                }
                if (fPassFailed) continue;
                CBstr sensorId;
                hr = sensor->CopyDataFieldValues(pEventValues);
                if (SUCCEEDED(hr)) hr = sensor->GetSensorId(&sensorId);
                if (FAILED(hr)) {
                    fPassFailed = true;
                    continue;
                }
                const HRESULT hrPost = PostDataEvent(sensorId.Get(), pEventValues);
                if (FAILED(hrPost)) TRACE_ERROR(36, hrPost);
                // Only a published reading may let the device idle until the next one. The reporter
                // also posts no reading when it starts and when it ends; idling on those would stop
                // acquisition before it took a reading, again after every wake.
                if (sensor->HasReading()) sensor->ScheduleIdle();
            }
        }
    } else {
        TRACE_VERBOSE(37);
    }
}
