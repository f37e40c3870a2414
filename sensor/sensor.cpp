#include "sensor/sensor.h"

#include <cfloat>
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
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "sensor/sensor_manager.h"

TRACE_COMPONENT("{3C23BFE4-EE49-48A5-86E7-17D4F7F02231}");

using platform::ComPtr;

namespace {

// The largest finite float: a sensitivity slot that nothing has set yet.
constexpr float kSensitivityNotSet = FLT_MAX;

template <class T>
HRESULT CreateCollection(REFCLSID clsid, ComPtr<T>* out)
{
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, platform::iid_of<T>,
                            reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
}

}  // namespace

CSensor::CSensor()
{
    for (auto& slot : m_rgfSensitivity) slot.store(kSensitivityNotSet);
}

CSensor::~CSensor()
{
    // Whatever a failed initialisation or a missing tear-down left behind.
    CloseIdleTimer();
    if (m_fLocksInitialized) {
        ReleaseStores();
        {
            CCriticalSectionLock lock(&m_csData);
            m_clientSettings.clear();
            m_subscriptions.clear();
            m_cConnectedClients.store(0);
        }
        DeleteCriticalSection(&m_csTimer);
        DeleteCriticalSection(&m_csRadio);
        DeleteCriticalSection(&m_csData);
    }
    m_pWdfDevice2.Reset();
}

bool CSensor::InitializeLocks()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csData, 0)) return false;
    if (!InitializeCriticalSectionAndSpinCount(&m_csRadio, 0)) {
        DeleteCriticalSection(&m_csData);
        return false;
    }
    if (!InitializeCriticalSectionAndSpinCount(&m_csTimer, 0)) {
        DeleteCriticalSection(&m_csRadio);
        DeleteCriticalSection(&m_csData);
        return false;
    }
    m_fLocksInitialized = true;
    return true;
}

HRESULT CSensor::Initialize(ULONG ulFirstValue, ULONG ulSensorIndex, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                            PCWSTR pwszSerialNumber, PCWSTR pwszSensorId, IUnknown* pDeviceObject)
{
    if (IsInitialized()) {
        TRACE_ERROR(10);
        return E_UNEXPECTED;
    }
    if (pDeviceObject == nullptr) return E_POINTER;
    ComPtr<IWDFDevice2> device;
    HRESULT hr = pDeviceObject->QueryInterface(__uuidof(IWDFDevice2), reinterpret_cast<void**>(device.GetAddressOf()));
    if (FAILED(hr)) {
        TRACE_ERROR(11, hr);
        return hr;
    }
    m_pWdfDevice2 = device;

    {
        // A sensor without one of its stores cannot hold its defaults: the first failed creation
        // fails the initialisation.
        CCriticalSectionLock lock(&m_csData);
        if (!m_pSupportedPropertyKeys)
            hr = CreateCollection(CLSID_PortableDeviceKeyCollection, &m_pSupportedPropertyKeys);
        if (SUCCEEDED(hr) && !m_pPropertyValues) hr = CreateCollection(CLSID_PortableDeviceValues, &m_pPropertyValues);
        if (SUCCEEDED(hr) && !m_pSupportedDataFieldKeys) {
            hr = CreateCollection(CLSID_PortableDeviceKeyCollection, &m_pSupportedDataFieldKeys);
        }
        if (SUCCEEDED(hr) && !m_pDataFieldValues)
            hr = CreateCollection(CLSID_PortableDeviceValues, &m_pDataFieldValues);
        if (SUCCEEDED(hr) && !m_pSettablePropertyKeys) {
            hr = CreateCollection(CLSID_PortableDeviceKeyCollection, &m_pSettablePropertyKeys);
        }
    }
    if (FAILED(hr)) {
        TRACE_ERROR(12, hr);
        return hr;
    }

    m_ulSensorIndex = ulSensorIndex;
    m_ulFirstValue = ulFirstValue;

    const HRESULT copies[] = {
        CopyBounded(m_wszManufacturer, kIdentityLength, pwszManufacturer),
        CopyBounded(m_wszModel, kIdentityLength, pwszModel),
        CopyBounded(m_wszSerialNumber, kIdentityLength, pwszSerialNumber),
        CopyBounded(m_wszSensorId, kIdentityLength, pwszSensorId),
    };
    for (const HRESULT copy : copies) {
        if (FAILED(copy)) {
            TRACE_ERROR(13, copy);
            return copy;
        }
    }

    m_ulCurrentReportInterval.store(kReportIntervalNotComputed);
    for (auto& slot : m_rgfSensitivity) slot.store(kSensitivityNotSet);
    SetInitialized(true);

    if (m_pThreadPool == nullptr) {
        HRESULT hrPool = S_OK;
        PTP_POOL pool = CreateThreadpool(nullptr);
        if (pool == nullptr) {
            hrPool = LastErrorResult();
        } else {
            SetThreadpoolThreadMaximum(pool, 1);
            if (!SetThreadpoolThreadMinimum(pool, 1)) {
                hrPool = LastErrorResult();
                CloseThreadpool(pool);
                pool = nullptr;
            }
        }
        if (pool == nullptr) {
            TRACE_ERROR(14, hrPool);
            return hrPool;
        }
        m_pThreadPool = pool;
        InitializeThreadpoolEnvironment(&m_callbackEnviron);
        SetThreadpoolCallbackPool(&m_callbackEnviron, m_pThreadPool);
    }

    CCriticalSectionLock timerLock(&m_csTimer);
    if (m_pIdleTimer == nullptr) {
        m_pIdleTimer = CreateThreadpoolTimer(OnIdleTimer, static_cast<CSensor*>(this), &m_callbackEnviron);
        if (m_pIdleTimer == nullptr) {
            hr = LastErrorResult();
            TRACE_ERROR(15, hr);
            return hr;
        }
    }
    return S_OK;
}

HRESULT CSensor::Uninitialize()
{
    if (!IsInitialized()) return E_UNEXPECTED;
    CloseIdleTimer();
    const HRESULT hr = ReleaseStores();
    {
        CCriticalSectionLock lock(&m_csData);
        m_clientSettings.clear();
        m_subscriptions.clear();
        m_cConnectedClients.store(0);
    }
    SetInitialized(false);
    TRACE_INFO(16, hr);
    return hr;
}

void CSensor::CloseIdleTimer()
{
    if (!m_fLocksInitialized) return;
    PTP_TIMER timer = nullptr;
    {
        CCriticalSectionLock lock(&m_csTimer);
        timer = std::exchange(m_pIdleTimer, nullptr);
    }
    // Outside the timer lock: a callback that runs now takes it.
    if (timer != nullptr) {
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        CloseThreadpoolTimer(timer);
    }
    if (m_pThreadPool != nullptr) {
        CloseThreadpool(std::exchange(m_pThreadPool, nullptr));
        DestroyThreadpoolEnvironment(&m_callbackEnviron);
    }
}

HRESULT CSensor::ReleaseStores()
{
    CCriticalSectionLock lock(&m_csData);
    HRESULT hr = S_OK;
    IPortableDeviceKeyCollection* const keyLists[] = {m_pSupportedPropertyKeys.Get(), m_pSettablePropertyKeys.Get(),
                                                      m_pSupportedDataFieldKeys.Get()};
    for (IPortableDeviceKeyCollection* keys : keyLists) {
        if (SUCCEEDED(hr) && keys != nullptr) hr = keys->Clear();
    }
    IPortableDeviceValues* const valueStores[] = {m_pPropertyValues.Get(), m_pDataFieldValues.Get()};
    for (IPortableDeviceValues* values : valueStores) {
        if (SUCCEEDED(hr) && values != nullptr) hr = values->Clear();
    }
    m_pSupportedPropertyKeys.Reset();
    m_pSettablePropertyKeys.Reset();
    m_pSupportedDataFieldKeys.Reset();
    m_pPropertyValues.Reset();
    m_pDataFieldValues.Reset();
    return hr;
}

HRESULT CSensor::GetProperty(REFPROPERTYKEY key, PROPVARIANT* pValue)
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pPropertyValues) return E_UNEXPECTED;
    return m_pPropertyValues->GetValue(key, pValue);
}

HRESULT CSensor::GetDataField(REFPROPERTYKEY key, PROPVARIANT* pValue)
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pDataFieldValues) return E_UNEXPECTED;
    return m_pDataFieldValues->GetValue(key, pValue);
}

HRESULT CSensor::SetProperty(REFPROPERTYKEY key, const PROPVARIANT* pValue)
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pPropertyValues) return E_POINTER;
    if (pValue == nullptr) return E_INVALIDARG;
    return m_pPropertyValues->SetValue(key, pValue);
}

HRESULT CSensor::SetDataField(REFPROPERTYKEY key, const PROPVARIANT* pValue)
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pDataFieldValues) return E_POINTER;
    if (pValue == nullptr) return E_INVALIDARG;
    return m_pDataFieldValues->SetValue(key, pValue);
}

HRESULT CSensor::CopyDataFieldValues(IPortableDeviceValues* pTarget)
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pDataFieldValues) return E_UNEXPECTED;
    if (pTarget == nullptr) return E_POINTER;
    DWORD count = 0;
    HRESULT hr = m_pDataFieldValues->GetCount(&count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
        PROPERTYKEY key{};
        CPropVariant value;
        hr = m_pDataFieldValues->GetAt(i, &key, &value);
        if (SUCCEEDED(hr)) hr = pTarget->SetValue(key, value.Get());
    }
    return hr;
}

HRESULT CSensor::GetKeyList(const ComPtr<IPortableDeviceKeyCollection>& list, IPortableDeviceKeyCollection** ppKeys)
{
    CCriticalSectionLock lock(&m_csData);
    if (!IsInitialized() || !list) return E_UNEXPECTED;
    if (ppKeys == nullptr) return E_INVALIDARG;
    return list.CopyTo(ppKeys);
}

HRESULT CSensor::GetSupportedPropertyKeys(IPortableDeviceKeyCollection** ppKeys)
{
    return GetKeyList(m_pSupportedPropertyKeys, ppKeys);
}

HRESULT CSensor::GetSettablePropertyKeys(IPortableDeviceKeyCollection** ppKeys)
{
    return GetKeyList(m_pSettablePropertyKeys, ppKeys);
}

HRESULT CSensor::GetSupportedDataFieldKeys(IPortableDeviceKeyCollection** ppKeys)
{
    return GetKeyList(m_pSupportedDataFieldKeys, ppKeys);
}

HRESULT CSensor::GetSensorId(BSTR* pbstrSensorId)
{
    if (pbstrSensorId == nullptr) return E_POINTER;
    *pbstrSensorId = nullptr;
    if (m_pManager == nullptr) return E_UNEXPECTED;
    return m_pManager->CopySensorId(m_ulSensorIndex, pbstrSensorId);
}

void CSensor::SetTraceName(const char* pszName)
{
    std::size_t i = 0;
    for (; pszName != nullptr && pszName[i] != 0 && i + 1 < sizeof(m_szTraceName); ++i) m_szTraceName[i] = pszName[i];
    m_szTraceName[i] = 0;
}

void CSensor::SetDefaultWorkingValues(ULONG ulReportInterval, ULONG ulMinReportInterval, float fltSensitivity)
{
    m_ulDefaultReportInterval.store(ulReportInterval);
    m_ulMinReportInterval.store(ulMinReportInterval);
    m_fltDefaultSensitivity.store(fltSensitivity);
}

void CSensor::SetLoadedRadioStates(ULONG ulApplied, ULONG ulRequested, ULONG ulPrevious)
{
    m_ulAppliedRadioState.store(ulApplied);
    m_ulRequestedRadioState.store(ulRequested);
    m_ulPreviousRadioState.store(ulPrevious);
}

float CSensor::GetSensitivity(std::size_t slot) const
{
    return slot < kSensitivitySlots ? m_rgfSensitivity[slot].load() : kSensitivityNotSet;
}

void CSensor::SetSensitivity(std::size_t slot, float value)
{
    if (slot < kSensitivitySlots) m_rgfSensitivity[slot].store(value);
}

void CSensor::SetReportingMode(LONG lPeriodic, LONG lMode)
{
    m_lPeriodic.store(lPeriodic);
    m_lReportingMode.store(lMode);
}

void CSensor::SignalNewData()
{
    CCriticalSectionLock lock(&m_csData);
    if (m_subscriptions.empty()) return;
    m_lNewData = 1;
    if (m_hNewDataEvent != nullptr) SetEvent(m_hNewDataEvent);
}

bool CSensor::TakeNewDataFlag()
{
    CCriticalSectionLock lock(&m_csData);
    if (m_lNewData != 1) return false;
    m_lNewData = 0;
    return true;
}

void CSensor::SetNewDataEvent(HANDLE hNewDataEvent)
{
    CCriticalSectionLock lock(&m_csData);
    m_hNewDataEvent = hNewDataEvent;
}

std::size_t CSensor::GetSubscriberCount()
{
    CCriticalSectionLock lock(&m_csData);
    return m_subscriptions.size();
}

HRESULT CSensor::Subscribe(ULONGLONG clientKey)
{
    if (m_pManager == nullptr || !m_pManager->HasSensorDriver()) return E_UNEXPECTED;
    bool fOnlySubscriber = false;
    {
        CCriticalSectionLock lock(&m_csData);
        if (m_subscriptions.count(clientKey) != 0) {
            TRACE_ERROR(17, clientKey);
            return E_UNEXPECTED;
        }
        try {
            m_subscriptions.emplace(clientKey, 1);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        fOnlySubscriber = m_subscriptions.size() == 1;
    }
    // The refresh may post a state change: outside the data lock.
    if (!fOnlySubscriber) return S_OK;
    const LONG previousPeriodic = GetPeriodic();
    const LONG previousMode = GetReportingMode();
    SetReportingMode(1, 2);
    const HRESULT hr = RefreshDerivedProperties();
    if (FAILED(hr)) {
        TRACE_ERROR(18, hr);
        // The class extension records no subscription it was refused, so nothing would ever take
        // this one back.
        CCriticalSectionLock lock(&m_csData);
        m_subscriptions.erase(clientKey);
        if (m_subscriptions.empty()) SetReportingMode(previousPeriodic, previousMode);
    }
    return hr;
}

HRESULT CSensor::Unsubscribe(ULONGLONG clientKey)
{
    if (m_pManager == nullptr || !m_pManager->HasSensorDriver()) return E_UNEXPECTED;
    {
        CCriticalSectionLock lock(&m_csData);
        if (m_subscriptions.empty() || m_subscriptions.erase(clientKey) == 0) {
            TRACE_ERROR(19, clientKey);
            return E_UNEXPECTED;
        }
        if (!m_subscriptions.empty()) return S_OK;
    }
    SetReportingMode(0, 1);
    return RefreshDerivedProperties();
}

HRESULT CSensor::RefreshDerivedProperties(HRESULT* phrRadioStep)
{
    if (phrRadioStep != nullptr) *phrRadioStep = S_OK;
    const bool fIoActive = m_pManager != nullptr && m_pManager->IsIoActive();

    CPropVariant stored;
    HRESULT hr = GetProperty(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &stored);
    if (FAILED(hr)) return hr;
    const bool fStoredZero = stored.Type() == VT_UI4 && stored->ulVal == 0;
    const ULONG interval = fStoredZero ? GetDefaultReportInterval() : GetCurrentReportInterval();
    if (interval != kReportIntervalNotComputed && fIoActive) {
        PROPVARIANT value;
        InitPropVariantFromUInt32(interval, &value);
        hr = SetProperty(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &value);
        if (FAILED(hr)) return hr;
    }

    RefreshDesiredAccuracy(fIoActive);
    const HRESULT hrRadio = RefreshRadioState();
    if (phrRadioStep != nullptr) *phrRadioStep = hrRadio;
    RefreshChangeSensitivity(fIoActive);
    TraceReportingMode();
    return hr;
}

void CSensor::RefreshDesiredAccuracy(bool fIoActive)
{
    CPropVariant stored;
    if (FAILED(GetProperty(SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY, &stored))) return;
    const ULONG storedAccuracy = stored.Type() == VT_UI4 ? stored->ulVal : 0;
    ULONG accuracy = 0;
    if (storedAccuracy <= 1) {
        accuracy = GetDesiredAccuracy();
        if (accuracy > 1) return;
    }
    if (!fIoActive) return;
    PROPVARIANT value;
    InitPropVariantFromUInt32(accuracy, &value);
    SetProperty(SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY, &value);
}

HRESULT CSensor::RefreshRadioState()
{
    CCriticalSectionLock radio(&m_csRadio);
    PROPVARIANT value;
    const ULONG requested = GetRequestedRadioState();
    if (requested != GetAppliedRadioState()) {
        m_ulAppliedRadioState.store(requested);
        // Off: the connected clients' power reference is given back; on: taken again.
        if (requested == 1) {
            if (m_pManager != nullptr) m_pManager->SetSensorState(this, SENSOR_STATE_NOT_AVAILABLE, nullptr);
            UpdatePowerReference();
        } else if (requested == 0) {
            if (m_pManager != nullptr) m_pManager->SetSensorState(this, SENSOR_STATE_INITIALIZING, nullptr);
            UpdatePowerReference();
        } else {
            // An unknown state is not on: no reading is taken in it, so the device need not stay
            // powered either. The power reference follows the applied state as for 1, so that it is
            // given back once, here or at the last client's disconnect, never twice.
            UpdatePowerReference();
            TRACE_ERROR(20, requested);
            return E_UNEXPECTED;
        }
        InitPropVariantFromUInt32(requested, &value);
        HRESULT hr = SetProperty(SENSOR_PROPERTY_RADIO_STATE, &value);
        if (SUCCEEDED(hr)) hr = WriteDeviceStoreValue(kRadioStateValueName, requested);
        if (FAILED(hr)) {
            TRACE_ERROR(21, hr);
            return hr;
        }
    }

    const ULONG previous = GetPreviousRadioState();
    InitPropVariantFromUInt32(previous, &value);
    HRESULT hr = SetProperty(SENSOR_PROPERTY_RADIO_STATE_PREVIOUS, &value);
    if (SUCCEEDED(hr)) hr = WriteDeviceStoreValue(kPreviousRadioStateValueName, previous);
    if (FAILED(hr)) TRACE_ERROR(21, hr);
    return hr;
}

HRESULT CSensor::WriteDeviceStoreValue(PCWSTR pwszName, ULONG ulValue)
{
    if (!m_pWdfDevice2) return E_UNEXPECTED;
    ComPtr<IWDFNamedPropertyStore> store;
    WDF_PROPERTY_STORE_DISPOSITION disposition = OpenedExistingStore;
    RETURN_IF_FAILED(m_pWdfDevice2->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing,
                                                                store.GetAddressOf(), &disposition));
    if (!store) return E_POINTER;
    PROPVARIANT value;
    InitPropVariantFromUInt32(ulValue, &value);
    return store->SetNamedValue(pwszName, &value);
}

void CSensor::RefreshChangeSensitivity(bool fIoActive)
{
    CPropVariant stored;
    if (FAILED(GetProperty(SENSOR_PROPERTY_CHANGE_SENSITIVITY, &stored))) return;
    if (stored.Type() != VT_UNKNOWN || stored->punkVal == nullptr) return;
    ComPtr<IPortableDeviceValues> sensitivities;
    if (FAILED(stored->punkVal->QueryInterface(IID_IPortableDeviceValues,
                                               reinterpret_cast<void**>(sensitivities.GetAddressOf())))) {
        return;
    }
    ComPtr<IPortableDeviceKeyCollection> fields;
    DWORD count = 0;
    if (SUCCEEDED(GetSupportedDataFieldKeys(fields.GetAddressOf())) && SUCCEEDED(fields->GetCount(&count))) {
        for (DWORD i = 1; i < count && i < kSensitivitySlots; ++i) {
            PROPERTYKEY key{};
            if (FAILED(fields->GetAt(i, &key))) continue;
            if (fIoActive) sensitivities->SetFloatValue(key, GetSensitivity(i));
        }
    }
    CCriticalSectionLock lock(&m_csData);
    if (m_pPropertyValues)
        m_pPropertyValues->SetIPortableDeviceValuesValue(SENSOR_PROPERTY_CHANGE_SENSITIVITY, sensitivities.Get());
}

HRESULT CSensor::TraceReportingMode() const
{
    const LONG mode = GetReportingMode();
    if (mode < 0 || mode > 2) {
        TRACE_ERROR(23, mode);
        return E_UNEXPECTED;
    }
    TRACE_VERBOSE(22, mode);
    return S_OK;
}

void CSensor::ScheduleIdle()
{
    // An interval not yet computed is no wish for long reports.
    const ULONG interval = GetCurrentReportInterval();
    if (interval != kReportIntervalNotComputed && interval >= kIdleReportIntervalMs) {
        ArmIdleTimer();
    } else {
        CancelIdleTimer();
    }
}

void CSensor::AssignIdleSettings(DEVICE_POWER_STATE dxState)
{
    if (!m_pWdfDevice2) return;
    ComPtr<IWDFDevice3> device3;
    if (FAILED(m_pWdfDevice2.As(&device3))) return;
    WUDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings{};
    settings.Size = sizeof(settings);
    settings.IdleCaps = IdleCannotWakeFromS0;
    settings.DxState = dxState;
    settings.IdleTimeout = 100;
    settings.UserControlOfIdleSettings = IdleAllowUserControl;
    settings.Enabled = WdfFalse;
    settings.PowerUpIdleDeviceOnSystemWake = WdfFalse;
    settings.IdleTimeoutType = SystemManagedIdleTimeout;
    device3->AssignS0IdleSettingsEx(&settings);
}

void CSensor::ArmIdleTimer()
{
    CCriticalSectionLock lock(&m_csTimer);
    // Without a timer nothing would bring the device back: leave the settings as they are.
    if (m_pIdleTimer == nullptr || IsThreadpoolTimerSet(m_pIdleTimer)) return;
    m_fIdleMode = 1;
    AssignIdleSettings(PowerDeviceD2);
    // The clients' power reference is given back until the timer fires.
    UpdatePowerReferenceLocked();

    const ULONG dueMs = GetCurrentReportInterval() - kIdleWakeLeadMs;
    const LONGLONG relativeDue = -static_cast<LONGLONG>(dueMs) * 10000;
    const auto bits = static_cast<ULONGLONG>(relativeDue);
    FILETIME due{static_cast<DWORD>(bits & 0xFFFFFFFFu), static_cast<DWORD>(bits >> 32)};
    SetThreadpoolTimer(m_pIdleTimer, &due, 0, kIdleTimerWindowMs);
    TRACE_VERBOSE(24, dueMs);
}

void CSensor::LeaveIdle()
{
    AssignIdleSettings(PowerDeviceD3);
    m_fIdleMode = 0;
    // Taken again for the clients still connected; a client that left meanwhile needs none.
    UpdatePowerReferenceLocked();
    TRACE_VERBOSE(25);
}

void CSensor::UpdatePowerReference()
{
    CCriticalSectionLock lock(&m_csTimer);
    UpdatePowerReferenceLocked();
}

void CSensor::UpdatePowerReferenceLocked()
{
    const bool fNeeded = GetConnectedClientCount() != 0 && GetAppliedRadioState() == 0 && m_fIdleMode == 0;
    if (fNeeded == m_fHoldsPowerReference || !m_pWdfDevice2) return;
    m_fHoldsPowerReference = fNeeded;
    if (fNeeded) {
        m_pWdfDevice2->StopIdle(FALSE);
    } else {
        m_pWdfDevice2->ResumeIdle();
    }
}

bool CSensor::HoldsPowerReference()
{
    CCriticalSectionLock lock(&m_csTimer);
    return m_fHoldsPowerReference;
}

void CSensor::CancelIdleTimer()
{
    CCriticalSectionLock lock(&m_csTimer);
    if (m_pIdleTimer != nullptr) SetThreadpoolTimer(m_pIdleTimer, nullptr, 0, 0);
    if (m_fIdleMode == 1) LeaveIdle();
}

void CALLBACK CSensor::OnIdleTimer(PTP_CALLBACK_INSTANCE, PVOID pContext, PTP_TIMER)
{
    auto* sensor = static_cast<CSensor*>(pContext);
    if (sensor == nullptr) return;
    CCriticalSectionLock lock(&sensor->m_csTimer);
    sensor->LeaveIdle();
    if (sensor->m_pIdleTimer != nullptr) SetThreadpoolTimer(sensor->m_pIdleTimer, nullptr, 0, 0);
}
