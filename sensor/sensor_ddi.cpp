#include "sensor/sensor_ddi.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <string>

#include "acquisition/thermal_acquisition.h"
#include "base/critical_section_lock.h"
#include "base/last_error_result.h"
#include "base/prop_variant.h"
#include "base/trace.h"
#include "base/wide_string.h"
#include "platform/com/runtime.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/time.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "sensor/radio_state_ioctl.h"
#include "sensor/sensor_manager.h"
#include "sensor/thermal_sensor.h"

TRACE_COMPONENT("{734FA5AC-C6B2-4DD9-BBDB-2FE6B1317734}");

using platform::ComPtr;

namespace {

constexpr WCHAR kManufacturer[] = u"QAR Corporation";
constexpr WCHAR kModel[] = u"Varmel Device";
constexpr const WCHAR* kSerialNumber = THERMAL_SENSOR_BASE_ID.data();
constexpr const WCHAR* kBaseId = THERMAL_SENSOR_BASE_ID.data();

// The identity buffers take at most this many units, terminator included.
constexpr std::size_t kIdentityCopyLength = 252;

// The object ID of the device object.
constexpr WCHAR kDeviceObjectId[] = u"DEVICE";
// A disabled flag with which a sensor cannot be resolved.
constexpr LONG kSensorUnusable = -1;
constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

// A data-field read without periodic reports takes up to this many readings, each followed by a
// wait of this many milliseconds.
constexpr int kFreshReadingAttempts = 5;
constexpr ULONGLONG kFreshReadingSettleMs = 15;

// The portable-device object keys that head every supported-property list.
constexpr PROPERTYKEY kObjectKeys[] = {
    WPD_OBJECT_ID,     WPD_OBJECT_PERSISTENT_UNIQUE_ID, WPD_OBJECT_PARENT_ID,  WPD_OBJECT_NAME,
    WPD_OBJECT_FORMAT, WPD_OBJECT_CONTENT_TYPE,         WPD_OBJECT_CAN_DELETE,
};

// The keys that the device object adds.
constexpr PROPERTYKEY kDeviceKeys[] = {
    WPD_DEVICE_FIRMWARE_VERSION,
    WPD_DEVICE_POWER_LEVEL,
    WPD_DEVICE_POWER_SOURCE,
    WPD_DEVICE_PROTOCOL,
    WPD_DEVICE_MODEL,
    WPD_DEVICE_SERIAL_NUMBER,
    WPD_DEVICE_SUPPORTS_NON_CONSUMABLE,
    WPD_DEVICE_MANUFACTURER,
    WPD_DEVICE_FRIENDLY_NAME,
    WPD_DEVICE_TYPE,
    WPD_FUNCTIONAL_OBJECT_CATEGORY,
};

constexpr GUID kSupportedEvents[] = {SENSOR_EVENT_DATA_UPDATED, SENSOR_EVENT_STATE_CHANGED};

// The device's gate, for the busy bit of the sensor-driver callbacks; null without a manager.
IDeviceCallbackGate* GateOf(CSensorManager* pManager)
{
    return pManager != nullptr ? pManager->GetDeviceCallbackGate() : nullptr;
}

// Runs a callback's body under the busy bit: refused during the device's teardown, and ended with
// E_OUTOFMEMORY when an allocation fails inside it (the guards it holds are released on the way).
template <class Body>
HRESULT RunCallback(CSensorManager* pManager, Body&& body)
{
    try {
        CDeviceCallbackScope busy(GateOf(pManager), kCallbackSensorDriver);
        if (FAILED(busy.Status())) {
            TRACE_WARNING(20, busy.Status());
            return busy.Status();
        }
        return body();
    } catch (const std::bad_alloc&) {
        TRACE_ERROR(21);
        return E_OUTOFMEMORY;
    }
}

template <class Collection>
HRESULT CreateCollection(REFCLSID clsid, ComPtr<Collection>* pCollection)
{
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Collection),
                            reinterpret_cast<void**>(pCollection->GetAddressOf()));
}

HRESULT AppendKeys(IPortableDeviceKeyCollection* pFrom, IPortableDeviceKeyCollection* pTo)
{
    DWORD count = 0;
    RETURN_IF_FAILED(pFrom->GetCount(&count));
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        RETURN_IF_FAILED(pFrom->GetAt(i, &key));
        RETURN_IF_FAILED(pTo->Add(key));
    }
    return S_OK;
}

bool ContainsKey(IPortableDeviceKeyCollection* pKeys, REFPROPERTYKEY key)
{
    DWORD count = 0;
    if (FAILED(pKeys->GetCount(&count))) return false;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY listed{};
        if (SUCCEEDED(pKeys->GetAt(i, &listed)) && listed == key) return true;
    }
    return false;
}

// The client's file serves only as the key of the client's records.
ULONGLONG ClientKey(IWDFFile* pClientFile)
{
    return static_cast<ULONGLONG>(reinterpret_cast<std::uintptr_t>(pClientFile));
}

// A subscription change that failed for another reason than memory is answered E_UNEXPECTED.
HRESULT ClientOperationResult(HRESULT hr)
{
    return FAILED(hr) && hr != E_OUTOFMEMORY ? E_UNEXPECTED : hr;
}

}  // namespace

HRESULT CSensorDdi::CreateInstance(CThermalAcquisition* pCollector, CSensorDdi** ppSensorDdi)
{
    if (ppSensorDdi == nullptr) return E_POINTER;
    *ppSensorDdi = nullptr;
    if (pCollector == nullptr) return E_POINTER;
    CSensorDdi* sensorDdi = new (std::nothrow) CSensorDdi(pCollector);
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

CSensorDdi::CSensorDdi(CThermalAcquisition* pCollector) : m_pCollector(pCollector) {}

CSensorDdi::~CSensorDdi()
{
    if (m_fLockInitialized) DeleteCriticalSection(&m_csConnection);
}

HRESULT CSensorDdi::InitializeLock()
{
    if (!InitializeCriticalSectionAndSpinCount(&m_csConnection, 0)) {
        return LastErrorResult();
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

HRESULT CSensorDdi::RefreshSensor(PCWSTR pwszSensorId, HRESULT* phrRadioStep)
{
    if (phrRadioStep != nullptr) *phrRadioStep = S_OK;
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;
    CThermalSensor* sensor = nullptr;
    RETURN_IF_FAILED(manager->FindSensorById(pwszSensorId, &sensor));
    return sensor->RefreshDerivedProperties(phrRadioStep);
}

namespace {

// The sensor that the radio-state codes act on: the last listed sensor whose first value is 0.
// Null when there is none, or when an entry of the list is missing.
CThermalSensor* FindRadioSensor(CSensorManager* manager)
{
    CThermalSensor* found = nullptr;
    const std::size_t count = manager->GetListedSensorCount();
    for (std::size_t position = 0; position < count; ++position) {
        CThermalSensor* sensor = manager->GetSensor(position);
        if (sensor == nullptr) return nullptr;
        if (sensor->GetFirstValue() == 0) found = sensor;
    }
    return found;
}

}  // namespace

HRESULT CSensorDdi::OnGetRadioState(IWDFIoRequest* pRequest, ULONG ulSelector)
{
    if (pRequest == nullptr) return E_POINTER;
    if (ulSelector != kRadioSelectorState && ulSelector != kRadioSelectorPrevious) return E_INVALIDARG;
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;

    CDeviceCallbackScope busy(manager->GetDeviceCallbackGate(), kCallbackSensorDriver);
    if (FAILED(busy.Status())) return busy.Status();
    CThermalSensor* sensor = FindRadioSensor(manager);
    if (sensor == nullptr) {
        TRACE_ERROR(40);
        return E_UNEXPECTED;
    }
    platform::ComPtr<IWDFMemory> output;
    pRequest->GetOutputMemory(output.GetAddressOf());
    SIZE_T size = 0;
    void* buffer = output ? output->GetDataBuffer(&size) : nullptr;
    // A buffer of another size is left as it is.
    if (buffer != nullptr && size == sizeof(ULONG)) {
        const ULONG value =
            ulSelector == kRadioSelectorState ? sensor->GetAppliedRadioState() : sensor->GetPreviousRadioState();
        std::memcpy(buffer, &value, sizeof(value));
        TRACE_INFO(41, ulSelector, value);
    } else {
        TRACE_WARNING(42, ulSelector, static_cast<ULONGLONG>(size));
    }
    return S_OK;
}

HRESULT CSensorDdi::OnSetRadioState(IWDFIoRequest* pRequest, ULONG ulSelector)
{
    if (pRequest == nullptr) return E_POINTER;
    if (ulSelector != kRadioSelectorState && ulSelector != kRadioSelectorPrevious) return E_INVALIDARG;
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;

    CDeviceCallbackScope busy(manager->GetDeviceCallbackGate(), kCallbackSensorDriver);
    if (FAILED(busy.Status())) return busy.Status();
    CThermalSensor* sensor = FindRadioSensor(manager);
    platform::ComPtr<IWDFMemory> input;
    pRequest->GetInputMemory(input.GetAddressOf());
    SIZE_T size = 0;
    const void* buffer = input ? input->GetDataBuffer(&size) : nullptr;
    LONG value = 0;
    if (buffer != nullptr && size == sizeof(value)) std::memcpy(&value, buffer, sizeof(value));
    if (sensor == nullptr) {
        TRACE_ERROR(40);
        return E_UNEXPECTED;
    }
    if (buffer == nullptr || size != sizeof(value) || value < 0 || value > kMaxRadioState) {
        // A negative value is no radio state either.
        TRACE_ERROR(43, ulSelector, static_cast<ULONGLONG>(size), value);
        return E_INVALIDARG;
    }
    if (ulSelector == kRadioSelectorState) {
        sensor->SetRequestedRadioState(static_cast<ULONG>(value));
    } else {
        sensor->SetPreviousRadioState(static_cast<ULONG>(value));
    }
    TRACE_INFO(44, ulSelector, value);
    HRESULT hrRadioStep = S_OK;
    const HRESULT hr = RefreshSensor(sensor->GetSensorIdText(), &hrRadioStep);
    return SUCCEEDED(hr) ? hrRadioStep : hr;
}

// ---- Sensor resolution. ----

HRESULT CSensorDdi::ResolveSensor(PCWSTR pwszObjectId, CThermalSensor** ppSensor, LONG* plDisabled)
{
    if (ppSensor == nullptr || plDisabled == nullptr) return E_POINTER;
    *ppSensor = nullptr;
    *plDisabled = 0;
    CSensorManager* manager = m_pManager.load();
    if (manager == nullptr) return E_UNEXPECTED;
    ULONG index = 0;
    RETURN_IF_FAILED(manager->LookUpSensorId(pwszObjectId, &index, plDisabled));
    if (*plDisabled == kSensorUnusable) return E_UNEXPECTED;
    *ppSensor = manager->GetSensorByIndex(index);
    return *ppSensor != nullptr ? S_OK : E_UNEXPECTED;
}

// ---- The sensor-driver callbacks. ----

HRESULT CSensorDdi::OnGetSupportedSensorObjects(IPortableDeviceValuesCollection** ppSensorObjectCollection)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (ppSensorObjectCollection == nullptr) return E_POINTER;
        *ppSensorObjectCollection = nullptr;
        ComPtr<IPortableDeviceValuesCollection> objects;
        RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceValuesCollection, &objects));
        objects.CopyTo(ppSensorObjectCollection);
        CSensorManager* manager = m_pManager.load();
        if (manager == nullptr) return E_UNEXPECTED;

        // Every sensor with all its properties; the first step that does not give exactly S_OK ends
        // the list, so a sensor whose properties could not all be read is left out.
        HRESULT hr = S_OK;
        for (std::u16string& id : manager->CopySensorIds()) {
            ComPtr<IPortableDeviceKeyCollection> keys;
            ComPtr<IPortableDeviceValues> values;
            hr = GetSupportedPropertiesOf(id.c_str(), keys.GetAddressOf());
            if (hr == S_OK) hr = GetPropertiesOf(id.c_str(), keys.Get(), values.GetAddressOf());
            if (hr == S_OK) hr = objects->Add(values.Get());
            if (hr != S_OK) {
                TRACE_WARNING(22, hr);
                break;
            }
        }
        return hr;
    });
}

HRESULT CSensorDdi::OnGetSupportedProperties(LPWSTR pwszObjectID, IPortableDeviceKeyCollection** ppSupportedProperties)
{
    return RunCallback(m_pManager.load(),
                       [&] { return GetSupportedPropertiesOf(pwszObjectID, ppSupportedProperties); });
}

HRESULT CSensorDdi::GetSupportedPropertiesOf(PCWSTR pwszObjectId, IPortableDeviceKeyCollection** ppKeys)
{
    if (ppKeys == nullptr) return E_POINTER;
    *ppKeys = nullptr;
    ComPtr<IPortableDeviceKeyCollection> keys;
    RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceKeyCollection, &keys));
    keys.CopyTo(ppKeys);

    for (const PROPERTYKEY& key : kObjectKeys) RETURN_IF_FAILED(keys->Add(key));
    if (EqualsIgnoreCase(pwszObjectId, kDeviceObjectId)) {
        for (const PROPERTYKEY& key : kDeviceKeys) RETURN_IF_FAILED(keys->Add(key));
    }
    // The device object is no sensor: it keeps the keys added so far and gives E_UNEXPECTED.
    CThermalSensor* sensor = nullptr;
    LONG disabled = 0;
    const HRESULT hr = ResolveSensor(pwszObjectId, &sensor, &disabled);
    if (FAILED(hr)) {
        TRACE_INFO(23, hr);
        return E_UNEXPECTED;
    }
    ComPtr<IPortableDeviceKeyCollection> supported;
    RETURN_IF_FAILED(sensor->GetSupportedPropertyKeys(supported.GetAddressOf()));
    return AppendKeys(supported.Get(), keys.Get());
}

HRESULT CSensorDdi::OnGetSupportedDataFields(LPWSTR pwszObjectID, IPortableDeviceKeyCollection** ppSupportedDataFields)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (ppSupportedDataFields == nullptr) return E_POINTER;
        *ppSupportedDataFields = nullptr;
        ComPtr<IPortableDeviceKeyCollection> keys;
        RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceKeyCollection, &keys));
        keys.CopyTo(ppSupportedDataFields);
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_UNEXPECTED;
        ComPtr<IPortableDeviceKeyCollection> fields;
        RETURN_IF_FAILED(sensor->GetSupportedDataFieldKeys(fields.GetAddressOf()));
        return AppendKeys(fields.Get(), keys.Get());
    });
}

HRESULT CSensorDdi::OnGetSupportedEvents(LPWSTR pwszObjectID, GUID** ppSupportedEvents, ULONG* pulEventCount)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (ppSupportedEvents == nullptr || pulEventCount == nullptr) return E_POINTER;
        *ppSupportedEvents = nullptr;
        *pulEventCount = 0;
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        RETURN_IF_FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled));
        // The caller frees the array.
        auto* events = static_cast<GUID*>(CoTaskMemAlloc(std::size(kSupportedEvents) * sizeof(GUID)));
        if (events == nullptr) {
            TRACE_ERROR(24);
            return E_OUTOFMEMORY;
        }
        std::copy(std::begin(kSupportedEvents), std::end(kSupportedEvents), events);
        *ppSupportedEvents = events;
        *pulEventCount = static_cast<ULONG>(std::size(kSupportedEvents));
        return S_OK;
    });
}

HRESULT CSensorDdi::OnGetProperties(IWDFFile*, LPWSTR pwszObjectID, IPortableDeviceKeyCollection* pProperties,
                                    IPortableDeviceValues** ppPropertyValues)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (pwszObjectID == nullptr || pProperties == nullptr || ppPropertyValues == nullptr) return E_INVALIDARG;
        return GetPropertiesOf(pwszObjectID, pProperties, ppPropertyValues);
    });
}

HRESULT CSensorDdi::GetPropertiesOf(PCWSTR pwszObjectId, IPortableDeviceKeyCollection* pKeys,
                                    IPortableDeviceValues** ppValues)
{
    *ppValues = nullptr;
    ComPtr<IPortableDeviceValues> values;
    RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceValues, &values));
    values.CopyTo(ppValues);
    DWORD count = 0;
    RETURN_IF_FAILED(pKeys->GetCount(&count));

    CThermalSensor* sensor = nullptr;
    LONG disabled = 0;
    if (FAILED(ResolveSensor(pwszObjectId, &sensor, &disabled))) return E_UNEXPECTED;
    // A disabled sensor answers nothing.
    if (disabled != 0) return S_OK;
    return sensor->GetObjectProperties(pwszObjectId, pKeys, values.Get());
}

HRESULT CSensorDdi::OnGetDataFields(IWDFFile*, LPWSTR pwszObjectID, IPortableDeviceKeyCollection* pDataFields,
                                    IPortableDeviceValues** ppDataValues)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (pwszObjectID == nullptr || pDataFields == nullptr || ppDataValues == nullptr) return E_INVALIDARG;
        *ppDataValues = nullptr;
        ComPtr<IPortableDeviceValues> values;
        RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceValues, &values));
        values.CopyTo(ppDataValues);
        DWORD count = 0;
        RETURN_IF_FAILED(pDataFields->GetCount(&count));

        // An ID that no registered sensor has gets an empty answer.
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        const HRESULT hrResolve = ResolveSensor(pwszObjectID, &sensor, &disabled);
        if (hrResolve == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) return S_OK;
        if (FAILED(hrResolve)) return E_UNEXPECTED;

        // Without periodic reports, or before the first reading, the answer is a fresh reading.
        if (sensor->GetPeriodic() == 0 || sensor->GetDataReady() == 0) RETURN_IF_FAILED(TakeFreshReading(sensor));

        // Each key answers "not supported" unless the sensor has a value for it; a missing field
        // is not an error of the call.
        HRESULT hr = S_OK;
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            if (FAILED(pDataFields->GetAt(i, &key))) {
                TRACE_WARNING(25, i);
                continue;
            }
            if (FAILED(values->SetErrorValue(key, kNotSupported))) {
                TRACE_ERROR(26, i);
                return E_UNEXPECTED;
            }
            CPropVariant value;
            const HRESULT hrRead = sensor->GetDataField(key, &value);
            if (SUCCEEDED(hrRead)) {
                hr = values->SetValue(key, value.Get());
            } else {
                TRACE_INFO(27, i, hrRead);
            }
        }
        return hr;
    });
}

HRESULT CSensorDdi::TakeFreshReading(CThermalSensor* pSensor)
{
    // Each reading that was taken is given time to settle before the data-ready flag is looked at.
    int attempts = 0;
    do {
        const HRESULT hr = pSensor->UpdateDataFields();
        ++attempts;
        if (FAILED(hr)) {
            TRACE_ERROR(28, attempts, hr);
            continue;
        }
        const ULONGLONG returned = GetTickCount64();
        while (GetTickCount64() - returned < kFreshReadingSettleMs) {
        }
    } while (pSensor->GetDataReady() == 0 && attempts < kFreshReadingAttempts);
    if (pSensor->GetDataReady() == 0) {
        TRACE_ERROR(29, attempts);
        return E_UNEXPECTED;
    }
    return S_OK;
}

HRESULT CSensorDdi::OnSetProperties(IWDFFile* pClientFile, LPWSTR pwszObjectID, IPortableDeviceValues* pPropertiesToSet,
                                    IPortableDeviceValues** ppResults)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        if (pwszObjectID == nullptr || pPropertiesToSet == nullptr || ppResults == nullptr) return E_INVALIDARG;
        *ppResults = nullptr;
        ComPtr<IPortableDeviceValues> results;
        RETURN_IF_FAILED(CreateCollection(CLSID_PortableDeviceValues, &results));
        results.CopyTo(ppResults);
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_UNEXPECTED;
        DWORD count = 0;
        RETURN_IF_FAILED(pPropertiesToSet->GetCount(&count));
        ComPtr<IPortableDeviceKeyCollection> settable;
        RETURN_IF_FAILED(sensor->GetSettablePropertyKeys(settable.GetAddressOf()));

        // The written value is never stored as it is: the client's wish goes into its settings, and
        // the sensor's properties follow from all wishes through the refresh below.
        bool fKeyFailed = false;
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            CPropVariant value;
            HRESULT hr = pPropertiesToSet->GetAt(i, &key, &value);
            if (FAILED(hr)) return hr;
            if (!ContainsKey(settable.Get(), key)) {
                hr = results->SetErrorValue(key, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
                fKeyFailed = true;
            }
            if (key == SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL) {
                HRESULT hrKey = S_OK;
                hr = sensor->SetClientReportInterval(ClientKey(pClientFile), value.Get(), fKeyFailed, &hrKey);
                if (SUCCEEDED(hr) && FAILED(hrKey)) {
                    hr = results->SetErrorValue(key, hrKey);
                    fKeyFailed = true;
                }
            }
            value.Clear();
            if (FAILED(hr)) {
                TRACE_ERROR(30, i, hr);
                return hr;
            }
        }
        if (fKeyFailed) return S_FALSE;
        return sensor->RefreshDerivedProperties();
    });
}

HRESULT CSensorDdi::OnClientConnect(IWDFFile* pClientFile, LPWSTR pwszObjectID)
{
    CCriticalSectionLock connection(&m_csConnection);
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_UNEXPECTED;
        return sensor->Connect(ClientKey(pClientFile));
    });
}

HRESULT CSensorDdi::OnClientDisconnect(IWDFFile* pClientFile, LPWSTR pwszObjectID)
{
    CCriticalSectionLock connection(&m_csConnection);
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        // A disconnect that cannot even make a values set is refused before it changes anything.
        {
            ComPtr<IPortableDeviceValues> probe;
            if (FAILED(CreateCollection(CLSID_PortableDeviceValues, &probe))) return E_POINTER;
        }
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_POINTER;
        return sensor->Disconnect(ClientKey(pClientFile));
    });
}

HRESULT CSensorDdi::OnClientSubscribeToEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_UNEXPECTED;
        return ClientOperationResult(sensor->Subscribe(ClientKey(pClientFile)));
    });
}

HRESULT CSensorDdi::OnClientUnsubscribeFromEvents(IWDFFile* pClientFile, LPWSTR pwszObjectID)
{
    return RunCallback(m_pManager.load(), [&]() -> HRESULT {
        CThermalSensor* sensor = nullptr;
        LONG disabled = 0;
        if (FAILED(ResolveSensor(pwszObjectID, &sensor, &disabled))) return E_UNEXPECTED;
        return ClientOperationResult(sensor->Unsubscribe(ClientKey(pClientFile)));
    });
}

HRESULT CSensorDdi::OnProcessWpdMessage(IUnknown*, IUnknown*)
{
    // No portable-device message is served beyond the sensor protocol.
    return S_OK;
}
