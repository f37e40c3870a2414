// Event messages of the sensor protocol: what the class extension delivers to subscribed clients.
#include "transport/sensor_protocol.h"

#include "platform/com/runtime.h"
#include "transport/protocol_values.h"
#include "transport/values_codec.h"
#include "wpd/collections.h"

namespace transport {

using platform::ComPtr;
using platform::detail::MissingFieldAs;
using platform::detail::NewValues;

namespace {

HRESULT NewEventMessage(SensorEventKind kind, LPCWSTR sensorId, ComPtr<IPortableDeviceValues>* message)
{
    RETURN_IF_FAILED(NewValues(message));
    RETURN_IF_FAILED((*message)->SetUnsignedIntegerValue(kEventKind, static_cast<ULONG>(kind)));
    return (*message)->SetStringValue(kObjectId, sensorId);
}

}  // namespace

HRESULT EncodeDataUpdatedEvent(LPCWSTR sensorId, IPortableDeviceValues* eventValues, std::vector<std::uint8_t>* out)
{
    if (sensorId == nullptr || eventValues == nullptr || out == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> message;
    RETURN_IF_FAILED(NewEventMessage(SensorEventKind::kDataUpdated, sensorId, &message));
    RETURN_IF_FAILED(message->SetIPortableDeviceValuesValue(kEventValues, eventValues));
    return EncodeValues(message.Get(), out);
}

HRESULT EncodeStateChangedEvent(LPCWSTR sensorId, SensorState state, std::vector<std::uint8_t>* out)
{
    if (sensorId == nullptr || out == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> message;
    RETURN_IF_FAILED(NewEventMessage(SensorEventKind::kStateChanged, sensorId, &message));
    RETURN_IF_FAILED(message->SetUnsignedIntegerValue(kState, state));
    return EncodeValues(message.Get(), out);
}

HRESULT EncodeSensorLeftEvent(LPCWSTR sensorId, std::vector<std::uint8_t>* out)
{
    if (sensorId == nullptr || out == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> message;
    RETURN_IF_FAILED(NewEventMessage(SensorEventKind::kLeft, sensorId, &message));
    return EncodeValues(message.Get(), out);
}

HRESULT DecodeSensorEvent(std::span<const std::uint8_t> bytes, SensorEvent* out)
{
    if (out == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> message;
    RETURN_IF_FAILED(DecodeValues(bytes, message.GetAddressOf()));

    SensorEvent event;
    ULONG kind = 0;
    HRESULT hr = message->GetUnsignedIntegerValue(kEventKind, &kind);
    if (FAILED(hr)) return MissingFieldAs(hr, kMalformedEncoding);
    LPWSTR sensorId = nullptr;
    hr = message->GetStringValue(kObjectId, &sensorId);
    if (FAILED(hr)) return MissingFieldAs(hr, kMalformedEncoding);
    hr = platform::detail::ReturnOutOfMemoryOnThrow([&] {
        event.sensorId = sensorId;
        return S_OK;
    });
    CoTaskMemFree(sensorId);
    RETURN_IF_FAILED(hr);

    switch (static_cast<SensorEventKind>(kind)) {
        case SensorEventKind::kDataUpdated:
            hr = message->GetIPortableDeviceValuesValue(kEventValues, event.values.GetAddressOf());
            break;
        case SensorEventKind::kStateChanged: {
            ULONG state = 0;
            hr = message->GetUnsignedIntegerValue(kState, &state);
            event.state = static_cast<SensorState>(state);
            break;
        }
        case SensorEventKind::kLeft:
            break;
        default:
            return kMalformedEncoding;
    }
    if (FAILED(hr)) return MissingFieldAs(hr, kMalformedEncoding);
    event.kind = static_cast<SensorEventKind>(kind);
    *out = std::move(event);
    return S_OK;
}

}  // namespace transport
