#include "sensor/thermal_sensor.h"

#include <cmath>
#include <new>

#include "acquisition/thermal_acquisition.h"
#include "base/critical_section_lock.h"
#include "base/last_error_result.h"
#include "base/prop_variant.h"
#include "base/trace.h"
#include "base/wide_string.h"
#include "platform/com/runtime.h"
#include "platform/kernel/last_error.h"
#include "platform/kernel/time.h"
#include "platform/sensorcx/sensors.h"
#include "platform/win32_error.h"
#include "platform/wpd/portable_device_keys.h"
#include "sensor/sensor_manager.h"

TRACE_COMPONENT("{8CEE1236-1E54-4A70-82E3-E22833E54257}");

using platform::ComPtr;

namespace {

constexpr GUID kPersistentUniqueId = platform::MakeGuid("{7721DDEC-EEA7-41B7-A89C-C716A17F713A}");
constexpr char kTraceName[] = "Temperature";
constexpr WCHAR kObjectName[] = u"Temperature";
constexpr WCHAR kDescription[] = u"Temperature Sensor";
constexpr WCHAR kDeviceObjectId[] = u"DEVICE";
constexpr WCHAR kFriendlyNameSeparator[] = u": ";

constexpr ULONG kDefaultReportIntervalMs = 1000;
constexpr ULONG kMinReportIntervalMs = 100;
constexpr float kDefaultChangeSensitivity = 5.0f;

// The supported properties, in the order they are listed.
constexpr PROPERTYKEY kSupportedProperties[] = {
    SENSOR_PROPERTY_TYPE,
    SENSOR_PROPERTY_STATE,
    SENSOR_PROPERTY_MIN_REPORT_INTERVAL,
    SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL,
    SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID,
    SENSOR_PROPERTY_MANUFACTURER,
    SENSOR_PROPERTY_MODEL,
    SENSOR_PROPERTY_SERIAL_NUMBER,
    SENSOR_PROPERTY_FRIENDLY_NAME,
    SENSOR_PROPERTY_DESCRIPTION,
    SENSOR_PROPERTY_CONNECTION_TYPE,
    SENSOR_PROPERTY_CHANGE_SENSITIVITY,
    SENSOR_PROPERTY_RADIO_STATE,
    SENSOR_PROPERTY_RADIO_STATE_PREVIOUS,
    WPD_FUNCTIONAL_OBJECT_CATEGORY,
};

constexpr PROPERTYKEY kDataFields[] = {
    SENSOR_DATA_TYPE_TIMESTAMP,
    SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS,
};

bool IsNullKey(REFPROPERTYKEY key)
{
    return key.fmtid == GUID_NULL && key.pid == 0;
}

// The answer of the portable-device object table for a key; false when the key is not one of them.
bool AnswerObjectKey(REFPROPERTYKEY key, PCWSTR pwszSensorId, IPortableDeviceValues* pValues, HRESULT* phr)
{
    if (key == WPD_OBJECT_ID || key == WPD_OBJECT_PERSISTENT_UNIQUE_ID) {
        *phr = pValues->SetStringValue(key, pwszSensorId);
    } else if (key == WPD_OBJECT_PARENT_ID) {
        *phr = pValues->SetStringValue(key, kDeviceObjectId);
    } else if (key == WPD_OBJECT_NAME) {
        *phr = pValues->SetStringValue(key, kObjectName);
    } else if (key == WPD_OBJECT_FORMAT) {
        *phr = pValues->SetGuidValue(key, WPD_OBJECT_FORMAT_UNSPECIFIED);
    } else if (key == WPD_OBJECT_CONTENT_TYPE) {
        *phr = pValues->SetGuidValue(key, WPD_CONTENT_TYPE_FUNCTIONAL_OBJECT);
    } else if (key == WPD_OBJECT_CAN_DELETE) {
        *phr = pValues->SetBoolValue(key, FALSE);
    } else if (key == WPD_FUNCTIONAL_OBJECT_CATEGORY) {
        *phr = pValues->SetGuidValue(key, SENSOR_CATEGORY_ENVIRONMENTAL);
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<CThermalSensor> CThermalSensor::Create()
{
    std::unique_ptr<CThermalSensor> sensor(new (std::nothrow) CThermalSensor);
    if (sensor && !sensor->InitializeLocks()) sensor.reset();
    return sensor;
}

HRESULT CThermalSensor::Initialize(ULONG ulFirstValue, ULONG ulSensorIndex, PCWSTR pwszManufacturer, PCWSTR pwszModel,
                                   PCWSTR pwszSerialNumber, PCWSTR pwszSensorId, IUnknown* pHostDevice,
                                   CSensorManager* pManager)
{
    HRESULT hr = E_UNEXPECTED;
    if (!IsInitialized()) {
        hr = CSensor::Initialize(ulFirstValue, ulSensorIndex, pwszManufacturer, pwszModel, pwszSerialNumber,
                                 pwszSensorId, pHostDevice);
        // Not initialised for the sensor's users until the defaults are in place.
        if (SUCCEEDED(hr)) SetInitialized(false);
    }
    SetTraceName(kTraceName);
    SetManager(pManager);
    if (FAILED(hr)) {
        TRACE_ERROR(10, hr);
        return hr;
    }

    hr = SetDefaultValues();
    if (FAILED(hr)) {
        TRACE_ERROR(10, hr);
        return hr;
    }
    SetInitialized(true);
    return S_OK;
}

HRESULT CThermalSensor::SetDefaultValues()
{
    CCriticalSectionLock lock(&m_csData);
    RETURN_IF_FAILED(ListKeys());

    SetDefaultWorkingValues(kDefaultReportIntervalMs, kMinReportIntervalMs, kDefaultChangeSensitivity);
    SetDefaultProperties();

    ComPtr<IWDFNamedPropertyStore> store;
    WDF_PROPERTY_STORE_DISPOSITION disposition = OpenedExistingStore;
    HRESULT hr = GetHostDevice()->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing,
                                                              store.GetAddressOf(), &disposition);
    if (SUCCEEDED(hr) && !store) hr = E_POINTER;
    if (FAILED(hr)) {
        TRACE_ERROR(11, hr);
        return hr;
    }

    hr = LoadRadioState(store.Get());
    if (SUCCEEDED(hr)) {
        PROPVARIANT interval;
        InitPropVariantFromUInt32(kDefaultReportIntervalMs, &interval);
        hr = SetProperty(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &interval);
    }
    if (SUCCEEDED(hr)) hr = SetChangeSensitivityDefault();
    if (SUCCEEDED(hr)) hr = SetTimestamp();
    if (SUCCEEDED(hr)) {
        PROPVARIANT temperature;
        InitPropVariantFromFloat(static_cast<float>(kNoReading), &temperature);
        hr = SetDataField(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &temperature);
    }
    return hr;
}

HRESULT CThermalSensor::ListKeys()
{
    // Called with the data lock held, after CSensor::Initialize made every store.
    const PROPVARIANT empty{};
    for (const PROPERTYKEY& key : kSupportedProperties) {
        RETURN_IF_FAILED(PropertyValuesLocked()->SetValue(key, &empty));
        RETURN_IF_FAILED(SupportedPropertyKeysLocked()->Add(key));
    }
    RETURN_IF_FAILED(PropertyValuesLocked()->SetValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, &empty));
    RETURN_IF_FAILED(SettablePropertyKeysLocked()->Add(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL));
    for (const PROPERTYKEY& key : kDataFields) {
        RETURN_IF_FAILED(DataFieldValuesLocked()->SetValue(key, &empty));
        RETURN_IF_FAILED(SupportedDataFieldKeysLocked()->Add(key));
    }
    return S_OK;
}

void CThermalSensor::SetDefaultProperties()
{
    IPortableDeviceValues* properties = PropertyValuesLocked();
    CSensorManager* manager = GetManager();
    if (properties == nullptr || DataFieldValuesLocked() == nullptr || manager == nullptr) return;

    WCHAR friendlyName[kIdentityLength] = {};
    CopyBounded(friendlyName, kIdentityLength, manager->GetDeviceDescription());
    if (manager->GetSensorCount() >= 2) {
        AppendBounded(friendlyName, kIdentityLength, kFriendlyNameSeparator);
        AppendBounded(friendlyName, kIdentityLength, kObjectName);
    }

    // In this order, up to the first failure; a failure here is traced only.
    HRESULT hr = properties->SetGuidValue(WPD_FUNCTIONAL_OBJECT_CATEGORY, SENSOR_CATEGORY_ENVIRONMENTAL);
    if (SUCCEEDED(hr)) hr = properties->SetGuidValue(SENSOR_PROPERTY_TYPE, SENSOR_TYPE_ENVIRONMENTAL_TEMPERATURE);
    if (SUCCEEDED(hr)) hr = properties->SetUnsignedIntegerValue(SENSOR_PROPERTY_STATE, SENSOR_STATE_READY);
    if (SUCCEEDED(hr))
        hr = properties->SetUnsignedIntegerValue(SENSOR_PROPERTY_MIN_REPORT_INTERVAL, kMinReportIntervalMs);
    if (SUCCEEDED(hr)) hr = properties->SetStringValue(SENSOR_PROPERTY_MANUFACTURER, GetManufacturer());
    if (SUCCEEDED(hr)) hr = properties->SetStringValue(SENSOR_PROPERTY_MODEL, GetModel());
    if (SUCCEEDED(hr)) hr = properties->SetStringValue(SENSOR_PROPERTY_SERIAL_NUMBER, GetSerialNumber());
    if (SUCCEEDED(hr)) hr = properties->SetStringValue(SENSOR_PROPERTY_FRIENDLY_NAME, friendlyName);
    if (SUCCEEDED(hr)) hr = properties->SetStringValue(SENSOR_PROPERTY_DESCRIPTION, kDescription);
    if (SUCCEEDED(hr)) {
        hr = properties->SetUnsignedIntegerValue(SENSOR_PROPERTY_CONNECTION_TYPE, SENSOR_CONNECTION_TYPE_PC_INTEGRATED);
    }
    if (SUCCEEDED(hr)) hr = properties->SetUnsignedIntegerValue(SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY, 0);
    if (FAILED(hr)) TRACE_ERROR(12, hr);
}

HRESULT CThermalSensor::LoadRadioState(IWDFNamedPropertyStore* pStore)
{
    ULONG applied = GetAppliedRadioState();
    ULONG requested = GetRequestedRadioState();
    ULONG previous = GetPreviousRadioState();
    PROPVARIANT value;

    // A value that is missing (or of another type) is written from the sensor's own.
    HRESULT hr = S_OK;
    {
        CPropVariant stored;
        hr = pStore->GetNamedValue(kRadioStateValueName, &stored);
        if (SUCCEEDED(hr) && stored.Type() == VT_UI4) {
            applied = requested = stored->ulVal;
        } else if (SUCCEEDED(hr) || hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) {
            InitPropVariantFromUInt32(applied, &value);
            hr = pStore->SetNamedValue(kRadioStateValueName, &value);
        }
    }
    if (SUCCEEDED(hr)) {
        CPropVariant stored;
        hr = pStore->GetNamedValue(kPreviousRadioStateValueName, &stored);
        if (SUCCEEDED(hr) && stored.Type() == VT_UI4) {
            previous = stored->ulVal;
        } else if (SUCCEEDED(hr) || hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) {
            InitPropVariantFromUInt32(previous, &value);
            hr = pStore->SetNamedValue(kPreviousRadioStateValueName, &value);
        }
    }
    SetLoadedRadioStates(applied, requested, previous);
    if (SUCCEEDED(hr)) {
        InitPropVariantFromUInt32(applied, &value);
        hr = SetProperty(SENSOR_PROPERTY_RADIO_STATE, &value);
    }
    if (SUCCEEDED(hr)) {
        InitPropVariantFromUInt32(previous, &value);
        hr = SetProperty(SENSOR_PROPERTY_RADIO_STATE_PREVIOUS, &value);
    }
    if (FAILED(hr)) TRACE_ERROR(13, hr);
    return hr;
}

HRESULT CThermalSensor::SetChangeSensitivityDefault()
{
    // Empty: none of the sensor's data fields takes a sensitivity of its own yet.
    DWORD count = 0;
    RETURN_IF_FAILED(SupportedPropertyKeysLocked()->GetCount(&count));
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        RETURN_IF_FAILED(SupportedPropertyKeysLocked()->GetAt(i, &key));
        if (key != SENSOR_PROPERTY_CHANGE_SENSITIVITY) continue;
        ComPtr<IPortableDeviceValues> sensitivities;
        RETURN_IF_FAILED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IPortableDeviceValues,
                                          reinterpret_cast<void**>(sensitivities.GetAddressOf())));
        RETURN_IF_FAILED(PropertyValuesLocked()->SetIPortableDeviceValuesValue(key, sensitivities.Get()));
    }
    return S_OK;
}

HRESULT CThermalSensor::SetTimestamp(FILETIME* pWritten)
{
    SYSTEMTIME now{};
    FILETIME fileTime{};
    GetSystemTime(&now);
    if (!SystemTimeToFileTime(&now, &fileTime)) {
        return LastErrorResult();
    }
    if (pWritten != nullptr) *pWritten = fileTime;
    return WriteTimestamp(fileTime);
}

HRESULT CThermalSensor::WriteTimestamp(const FILETIME& stamp)
{
    PROPVARIANT timestamp;
    RETURN_IF_FAILED(InitPropVariantFromFileTime(&stamp, &timestamp));
    return SetDataField(SENSOR_DATA_TYPE_TIMESTAMP, &timestamp);
}

HRESULT CThermalSensor::InitPersistentUniqueId(IUnknown*)
{
    CCriticalSectionLock lock(&m_csData);
    if (PropertyValuesLocked() == nullptr) return E_POINTER;
    return PropertyValuesLocked()->SetGuidValue(SENSOR_PROPERTY_PERSISTENT_UNIQUE_ID, kPersistentUniqueId);
}

HRESULT CThermalSensor::SetState(SensorState state, bool* pfStateChanged)
{
    bool fChanged = false;
    if (pfStateChanged != nullptr) *pfStateChanged = false;
    CSensorManager* manager = GetManager();
    if (manager == nullptr) return E_UNEXPECTED;
    const HRESULT hr = manager->SetSensorState(this, state, &fChanged);
    if (fChanged && state != SENSOR_STATE_READY) {
        const PROPVARIANT empty{};
        SetDataField(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &empty);
    }
    if (pfStateChanged != nullptr) *pfStateChanged = fChanged;
    return hr;
}

bool CThermalSensor::HasReading() const
{
    return !(std::fabs(GetLastReading() - kNoReading) < kNoReadingTolerance);
}

HRESULT CThermalSensor::UpdateDataFields()
{
    TRACE_VERBOSE(14);
    CSensorManager* manager = GetManager();
    if (manager == nullptr || !manager->IsIoActive()) {
        TRACE_WARNING(15);
        return S_OK;
    }
    if (GetRequestedRadioState() != 0) return S_OK;

    FILETIME stamp{};
    HRESULT hr = SetTimestamp(&stamp);
    if (FAILED(hr)) {
        TRACE_ERROR(16, hr);
        SetState(SENSOR_STATE_NOT_AVAILABLE, nullptr);
        return hr;
    }

    CThermalAcquisition* collector = manager->GetCollector();
    const double reading = collector != nullptr ? collector->GetLatestTemperature() : kNoReading;
    SetLastReading(reading);
    const bool fValid = !(std::fabs(reading - kNoReading) < kNoReadingTolerance);
    PROPVARIANT temperature{};
    if (fValid) InitPropVariantFromFloat(static_cast<float>(reading), &temperature);
    hr = SetDataField(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &temperature);
    if (SUCCEEDED(hr)) SetDataReady();

    bool fStateChanged = false;
    SetState(fValid ? SENSOR_STATE_READY : SENSOR_STATE_NOT_AVAILABLE, &fStateChanged);
    // The change to not available empties the data fields; a no-reading keeps its fresh timestamp,
    // so that its event tells clients when the sensor had nothing to report.
    if (fStateChanged && !fValid) WriteTimestamp(stamp);
    TRACE_VERBOSE(17, hr);
    return hr;
}

HRESULT CThermalSensor::GetObjectProperties(PCWSTR pwszObjectId, IPortableDeviceKeyCollection* pKeys,
                                            IPortableDeviceValues* pValues)
{
    if (pwszObjectId == nullptr || pKeys == nullptr || pValues == nullptr) {
        TRACE_ERROR(18);
        return E_INVALIDARG;
    }
    {
        CCriticalSectionLock lock(&m_csData);
        if (PropertyValuesLocked() == nullptr || DataFieldValuesLocked() == nullptr) return E_POINTER;
    }
    DWORD count = 0;
    HRESULT hr = pKeys->GetCount(&count);
    if (FAILED(hr)) return hr;

    bool fKeyFailed = false;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        if (FAILED(pKeys->GetAt(i, &key)) || IsNullKey(key)) continue;
        if (AnswerObjectKey(key, GetSensorIdText(), pValues, &hr)) continue;
        CPropVariant value;
        const HRESULT hrRead = GetProperty(key, &value);
        if (SUCCEEDED(hrRead)) {
            hr = pValues->SetValue(key, value.Get());
        } else {
            hr = pValues->SetErrorValue(key, hrRead);
            fKeyFailed = true;
        }
    }
    return fKeyFailed ? S_FALSE : hr;
}
