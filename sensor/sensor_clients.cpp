// The sensor's clients: their connections, their wishes for the report interval, and the working
// values computed from those wishes.
#include <cfloat>
#include <new>

#include "acquisition/thermal_acquisition.h"
#include "base/critical_section_lock.h"
#include "base/trace.h"
#include "platform/win32_error.h"
#include "sensor/sensor.h"
#include "sensor/sensor_manager.h"

TRACE_COMPONENT("{DF080D4E-4FE9-4173-8818-C7232A5C1F8D}");

using platform::ComPtr;

namespace {

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// What a client asks for when it connects: no sensitivity, no interval, default accuracy.
ClientSettings NewClientSettings()
{
    ClientSettings settings{};
    for (float& slot : settings.rgfSensitivity) slot = -1.0f;
    settings.ulReportInterval = 0;
    settings.ulDesiredAccuracy = 0;
    return settings;
}

// A client's sensitivity that counts as a wish: not negative, and not the largest finite float.
bool IsSensitivitySet(float value)
{
    return value >= 0.0f && value != FLT_MAX;
}

}  // namespace

HRESULT CSensor::Connect(ULONGLONG clientKey)
{
    std::size_t clients = 0;
    {
        CCriticalSectionLock lock(&m_csData);
        if (m_clientSettings.count(clientKey) != 0) {
            TRACE_ERROR(10, clientKey);
            return S_OK;
        }
        try {
            m_clientSettings.emplace(clientKey, NewClientSettings());
        } catch (const std::bad_alloc&) {
            TRACE_ERROR(11, clientKey);
            return E_OUTOFMEMORY;
        }
        clients = m_clientSettings.size();
        m_cConnectedClients.store(clients);
    }
    TRACE_INFO(12, clientKey, static_cast<ULONG>(clients));

    if (clients == 1) {
        // With the radio on, the device stays in its working state while clients are connected.
        UpdatePowerReference();
        SetCurrentReportInterval(GetDefaultReportInterval());
        for (std::size_t slot = 0; slot < kSensitivitySlots; ++slot) SetSensitivity(slot, GetDefaultSensitivity());
    }

    HRESULT hr = RecomputeWorkingValues();
    if (FAILED(hr)) {
        // The class extension records no client whose connect failed, so nothing would ever
        // disconnect this one: the connect is taken back.
        TRACE_ERROR(22, clientKey, hr);
        ForgetClient(clientKey);
        return hr;
    }

    if (clients == 1) {
        // The only client has no wish yet: reports follow requests.
        SetReportingMode(0, 1);
        hr = RefreshDerivedProperties();
        if (FAILED(hr)) TRACE_ERROR(13, hr);
    }
    // The client is connected whatever the reading gives: a failure here would tell its class
    // extension that it is not, and nothing would ever disconnect it.
    hr = UpdateDataFields();
    if (FAILED(hr)) TRACE_ERROR(21, hr);
    return S_OK;
}

void CSensor::ForgetClient(ULONGLONG clientKey)
{
    {
        CCriticalSectionLock lock(&m_csData);
        m_clientSettings.erase(clientKey);
        m_cConnectedClients.store(m_clientSettings.size());
    }
    RecomputeReportInterval();
    UpdatePowerReference();
}

HRESULT CSensor::Disconnect(ULONGLONG clientKey)
{
    std::size_t clients = 0;
    {
        CCriticalSectionLock lock(&m_csData);
        if (m_clientSettings.empty() || m_clientSettings.erase(clientKey) == 0) {
            TRACE_ERROR(14, clientKey);
            return E_UNEXPECTED;
        }
        clients = m_clientSettings.size();
        m_cConnectedClients.store(clients);
    }
    TRACE_INFO(15, clientKey, static_cast<ULONG>(clients));

    RETURN_IF_FAILED(RecomputeWorkingValues());

    if (clients == 0) {
        SetReportingMode(0, 0);
        // Nobody needs the device any more: it may idle.
        UpdatePowerReference();
    }
    const HRESULT hr = RefreshDerivedProperties();
    if (FAILED(hr)) TRACE_ERROR(16, hr);

    // Acquisition stays stopped until the manager starts it again.
    CSensorManager* manager = GetManager();
    if (manager != nullptr) manager->StopCollectorWithoutClients();
    return S_OK;
}

HRESULT CSensor::SetClientReportInterval(ULONGLONG clientKey, const PROPVARIANT* pValue, bool fKeyFailed,
                                         HRESULT* phrKey)
{
    if (phrKey == nullptr) return E_POINTER;
    *phrKey = S_OK;

    ULONG interval = 0;
    ULONG accuracy = 0;
    float sensitivities[kSensitivitySlots];
    RETURN_IF_FAILED(GetClientSettings(clientKey, &interval, &accuracy, sensitivities));

    if (pValue == nullptr || pValue->vt != VT_UI4) {
        *phrKey = E_INVALIDARG;
        TRACE_ERROR(17, clientKey);
        return S_OK;
    }

    const ULONG wish = pValue->ulVal;
    {
        CCriticalSectionLock lock(&m_csData);
        const auto client = m_clientSettings.find(clientKey);
        // Disconnected since its settings were read.
        if (client == m_clientSettings.end()) return kNotFound;
        if (wish != 0 && wish < GetMinReportInterval()) {
            *phrKey = E_INVALIDARG;
            TRACE_ERROR(18, clientKey, wish);
        } else {
            client->second.ulReportInterval = wish;
        }
    }
    TRACE_INFO(19, clientKey, wish);

    HRESULT hr = S_OK;
    if (!fKeyFailed && SUCCEEDED(*phrKey)) hr = RecomputeReportInterval();
    // The collector samples at the sensor's interval from its next tick on.
    CSensorManager* manager = GetManager();
    if (CThermalAcquisition* collector = manager != nullptr ? manager->GetCollector() : nullptr) {
        collector->SetReportInterval(GetCurrentReportInterval());
    }
    return hr;
}

HRESULT CSensor::GetClientSettings(ULONGLONG clientKey, ULONG* pulReportInterval, ULONG* pulDesiredAccuracy,
                                   float rgfSensitivity[kSensitivitySlots])
{
    if (pulReportInterval == nullptr || pulDesiredAccuracy == nullptr || rgfSensitivity == nullptr) return E_POINTER;
    CCriticalSectionLock lock(&m_csData);
    const auto client = m_clientSettings.find(clientKey);
    if (client == m_clientSettings.end()) return kNotFound;
    DWORD fields = 0;
    if (!m_pSupportedDataFieldKeys || FAILED(m_pSupportedDataFieldKeys->GetCount(&fields)) || fields == 0) {
        return kNotFound;
    }
    *pulReportInterval = client->second.ulReportInterval;
    *pulDesiredAccuracy = client->second.ulDesiredAccuracy;
    for (std::size_t slot = 0; slot < kSensitivitySlots; ++slot)
        rgfSensitivity[slot] = client->second.rgfSensitivity[slot];
    return S_OK;
}

HRESULT CSensor::RecomputeWorkingValues()
{
    RETURN_IF_FAILED(RecomputeReportInterval());
    RETURN_IF_FAILED(RecomputeDesiredAccuracy());
    return RecomputeSensitivity();
}

HRESULT CSensor::RecomputeReportInterval()
{
    {
        CCriticalSectionLock lock(&m_csData);
        if (m_clientSettings.empty()) {
            SetCurrentReportInterval(GetDefaultReportInterval());
            SetReportingMode(0, 0);
            return S_OK;
        }
        ULONG smallestWish = 0;
        for (const auto& [key, settings] : m_clientSettings) {
            const ULONG wish = settings.ulReportInterval;
            if (wish != 0 && (smallestWish == 0 || wish < smallestWish)) smallestWish = wish;
        }
        ULONG interval = smallestWish != 0 ? smallestWish : GetDefaultReportInterval();
        if (interval < GetMinReportInterval()) interval = GetMinReportInterval();
        SetCurrentReportInterval(interval);
        if (smallestWish != 0) {
            SetReportingMode(1, 2);
        } else {
            SetReportingMode(0, 1);
        }
    }
    TRACE_VERBOSE(20, GetCurrentReportInterval());
    ScheduleIdle();
    return S_OK;
}

HRESULT CSensor::RecomputeDesiredAccuracy()
{
    CCriticalSectionLock lock(&m_csData);
    ULONG smallestWish = 0;
    for (const auto& [key, settings] : m_clientSettings) {
        const ULONG wish = settings.ulDesiredAccuracy;
        if (wish != 0 && (smallestWish == 0 || wish < smallestWish)) smallestWish = wish;
    }
    SetDesiredAccuracy(smallestWish == 1 ? 1 : 0);
    return S_OK;
}

HRESULT CSensor::RecomputeSensitivity()
{
    CCriticalSectionLock lock(&m_csData);
    if (!m_pSupportedDataFieldKeys) return E_UNEXPECTED;
    DWORD fields = 0;
    RETURN_IF_FAILED(m_pSupportedDataFieldKeys->GetCount(&fields));
    // Slot 0 belongs to the timestamp, which takes no sensitivity.
    for (std::size_t slot = 1; slot < fields && slot < kSensitivitySlots; ++slot) {
        float smallest = -1.0f;
        for (const auto& [key, settings] : m_clientSettings) {
            const float wish = settings.rgfSensitivity[slot];
            if (IsSensitivitySet(wish) && (smallest < 0.0f || wish < smallest)) smallest = wish;
        }
        SetSensitivity(slot, smallest >= 0.0f ? smallest : GetDefaultSensitivity());
    }
    return S_OK;
}
