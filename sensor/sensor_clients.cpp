#include "sensor/sensor.h"

HRESULT CSensor::Connect(ULONGLONG)
{
    return E_NOTIMPL;
}

HRESULT CSensor::Disconnect(ULONGLONG)
{
    return E_NOTIMPL;
}

HRESULT CSensor::SetClientReportInterval(ULONGLONG, const PROPVARIANT*, bool, HRESULT* phrKey)
{
    if (phrKey != nullptr) *phrKey = E_NOTIMPL;
    return E_NOTIMPL;
}

HRESULT CSensor::GetClientSettings(ULONGLONG, ULONG*, ULONG*, float*)
{
    return E_NOTIMPL;
}

HRESULT CSensor::RecomputeReportInterval()
{
    return E_NOTIMPL;
}

HRESULT CSensor::RecomputeDesiredAccuracy()
{
    return E_NOTIMPL;
}

HRESULT CSensor::RecomputeSensitivity()
{
    return E_NOTIMPL;
}
