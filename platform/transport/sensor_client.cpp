// The client side of the sensor protocol: parameters out, results back.
#include "transport/sensor_client.h"

#include <string>

#include "platform/com/runtime.h"
#include "platform_support/text_coding.h"
#include "transport/protocol_values.h"
#include "transport/values_codec.h"
#include "wpd/collections.h"

namespace transport {

using platform::ComPtr;
using platform::detail::MissingFieldAs;
using platform::detail::NewValues;
using platform::detail::ReturnOutOfMemoryOnThrow;

namespace {

// A results document larger than asked for may come back when the results grew between two
// tries; a few tries are enough for a sensor whose answers change once per reading.
constexpr int kMaxTries = 3;

HRESULT NewParameters(SensorCommand command, std::u16string_view objectId, ComPtr<IPortableDeviceValues>* out)
{
    RETURN_IF_FAILED(NewValues(out));
    RETURN_IF_FAILED((*out)->SetUnsignedIntegerValue(kCommand, static_cast<ULONG>(command)));
    if (command == SensorCommand::kGetSupportedSensorObjects) return S_OK;
    return ReturnOutOfMemoryOnThrow(
        [&] { return (*out)->SetStringValue(kObjectId, platform::support::TerminatedText(objectId).Get()); });
}

// The nested values set under a key of the results: null when the callback handed back nothing.
HRESULT Payload(IPortableDeviceValues* results, REFPROPERTYKEY key, ComPtr<IPortableDeviceValues>* out)
{
    const HRESULT hr = results->GetIPortableDeviceValuesValue(key, out->ReleaseAndGetAddressOf());
    if (hr == HRESULT_FROM_WIN32(ERROR_NOT_FOUND)) return S_OK;
    return FAILED(hr) ? MissingFieldAs(hr, kMalformedEncoding) : S_OK;
}

HRESULT EventGuids(IPortableDeviceValues* list, std::vector<GUID>* events)
{
    DWORD count = 0;
    RETURN_IF_FAILED(list->GetCount(&count));
    for (DWORD i = 0; i < count; ++i) {
        PROPVARIANT value{};
        RETURN_IF_FAILED(list->GetAt(i, nullptr, &value));
        const bool isGuid = value.vt == VT_CLSID;
        const GUID guid = isGuid ? *value.puuid : GUID_NULL;
        PropVariantClear(&value);
        if (!isGuid) return kMalformedEncoding;
        RETURN_IF_FAILED(ReturnOutOfMemoryOnThrow([&] {
            events->push_back(guid);
            return S_OK;
        }));
    }
    return S_OK;
}

HRESULT SensorObjects(IPortableDeviceValues* list, ComPtr<IPortableDeviceValuesCollection>* out)
{
    ComPtr<IPortableDeviceValuesCollection> objects;
    RETURN_IF_FAILED(CoCreateInstance(CLSID_PortableDeviceValuesCollection, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IPortableDeviceValuesCollection,
                                      reinterpret_cast<void**>(objects.GetAddressOf())));
    DWORD count = 0;
    RETURN_IF_FAILED(list->GetCount(&count));
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        RETURN_IF_FAILED(list->GetAt(i, &key, nullptr));
        ComPtr<IPortableDeviceValues> object;
        const HRESULT hr = list->GetIPortableDeviceValuesValue(key, object.GetAddressOf());
        if (FAILED(hr)) return MissingFieldAs(hr, kMalformedEncoding);
        RETURN_IF_FAILED(objects->Add(object.Get()));
    }
    *out = std::move(objects);
    return S_OK;
}

}  // namespace

HRESULT SensorClient::Exchange(ULONG controlCode, IPortableDeviceValues* parameters,
                               IPortableDeviceValues** results) const
{
    if (parameters == nullptr || results == nullptr) return E_POINTER;
    *results = nullptr;
    if (!m_transport) return E_UNEXPECTED;
    return ReturnOutOfMemoryOnThrow([&] {
        std::vector<std::uint8_t> input;
        RETURN_IF_FAILED(EncodeValues(parameters, &input));
        std::size_t capacity = kInitialOutputCapacity;
        TransportReply reply = m_transport(controlCode, input, capacity);
        for (int tries = 1; tries < kMaxTries && reply.status == HRESULT_FROM_WIN32(ERROR_MORE_DATA) &&
                            reply.information > capacity && reply.information <= kMaxEncodedBytes;
             ++tries) {
            capacity = reply.information;
            reply = m_transport(controlCode, input, capacity);
        }
        RETURN_IF_FAILED(reply.status);
        if (reply.information > reply.output.size() || reply.information > capacity) return kMalformedEncoding;
        return DecodeValues(std::span(reply.output.data(), reply.information), results);
    });
}

HRESULT SensorClient::Send(SensorCommand command, std::u16string_view objectId, HRESULT* hr,
                           IPortableDeviceValues** results) const
{
    ComPtr<IPortableDeviceValues> parameters;
    RETURN_IF_FAILED(NewParameters(command, objectId, &parameters));
    const ULONG code = command == SensorCommand::kSetProperties ? kSensorMessageReadWriteCode : kSensorMessageReadCode;
    return Call(code, parameters.Get(), hr, results);
}

HRESULT SensorClient::Call(ULONG controlCode, IPortableDeviceValues* parameters, HRESULT* hr,
                           IPortableDeviceValues** results) const
{
    ComPtr<IPortableDeviceValues> answer;
    RETURN_IF_FAILED(Exchange(controlCode, parameters, answer.GetAddressOf()));
    HRESULT status = E_FAIL;
    const HRESULT read = answer->GetErrorValue(kStatus, &status);
    if (FAILED(read)) return MissingFieldAs(read, kMalformedEncoding);
    *hr = status;
    if (results != nullptr) *results = answer.Detach();
    return S_OK;
}

HRESULT SensorClient::GetSupportedSensorObjects(ObjectsResult* result) const
{
    if (result == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> answer;
    ComPtr<IPortableDeviceValues> list;
    ObjectsResult out;
    RETURN_IF_FAILED(Send(SensorCommand::kGetSupportedSensorObjects, {}, &out.hr, answer.GetAddressOf()));
    RETURN_IF_FAILED(Payload(answer.Get(), kObjectsResult, &list));
    if (list) RETURN_IF_FAILED(SensorObjects(list.Get(), &out.objects));
    *result = std::move(out);
    return S_OK;
}

HRESULT SensorClient::SendKeysQuery(SensorCommand command, std::u16string_view objectId, KeysResult* result) const
{
    if (result == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> answer;
    ComPtr<IPortableDeviceValues> list;
    KeysResult out;
    RETURN_IF_FAILED(Send(command, objectId, &out.hr, answer.GetAddressOf()));
    RETURN_IF_FAILED(Payload(answer.Get(), kKeysResult, &list));
    if (list) RETURN_IF_FAILED(platform::detail::KeysOfValues(list.Get(), &out.keys));
    *result = std::move(out);
    return S_OK;
}

HRESULT SensorClient::GetSupportedProperties(std::u16string_view objectId, KeysResult* result) const
{
    return SendKeysQuery(SensorCommand::kGetSupportedProperties, objectId, result);
}

HRESULT SensorClient::GetSupportedDataFields(std::u16string_view objectId, KeysResult* result) const
{
    return SendKeysQuery(SensorCommand::kGetSupportedDataFields, objectId, result);
}

HRESULT SensorClient::GetSupportedEvents(std::u16string_view objectId, EventsResult* result) const
{
    if (result == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> answer;
    ComPtr<IPortableDeviceValues> list;
    EventsResult out;
    RETURN_IF_FAILED(Send(SensorCommand::kGetSupportedEvents, objectId, &out.hr, answer.GetAddressOf()));
    RETURN_IF_FAILED(Payload(answer.Get(), kEventsResult, &list));
    if (list) RETURN_IF_FAILED(EventGuids(list.Get(), &out.events));
    *result = std::move(out);
    return S_OK;
}

HRESULT SensorClient::SendWithPayload(SensorCommand command, std::u16string_view objectId, REFPROPERTYKEY payloadKey,
                                      IPortableDeviceValues* payload, ValuesResult* result) const
{
    if (result == nullptr) return E_POINTER;
    ComPtr<IPortableDeviceValues> parameters;
    RETURN_IF_FAILED(NewParameters(command, objectId, &parameters));
    RETURN_IF_FAILED(parameters->SetIPortableDeviceValuesValue(payloadKey, payload));
    const ULONG code = command == SensorCommand::kSetProperties ? kSensorMessageReadWriteCode : kSensorMessageReadCode;
    ComPtr<IPortableDeviceValues> answer;
    ValuesResult out;
    RETURN_IF_FAILED(Call(code, parameters.Get(), &out.hr, answer.GetAddressOf()));
    RETURN_IF_FAILED(Payload(answer.Get(), kValuesResult, &out.values));
    *result = std::move(out);
    return S_OK;
}

HRESULT SensorClient::SendWithKeys(SensorCommand command, std::u16string_view objectId,
                                   std::span<const PROPERTYKEY> keys, ValuesResult* result) const
{
    ComPtr<IPortableDeviceValues> requested;
    RETURN_IF_FAILED(NewValues(&requested));
    const PROPVARIANT empty{};
    for (const PROPERTYKEY& key : keys) RETURN_IF_FAILED(requested->SetValue(key, &empty));
    return SendWithPayload(command, objectId, kRequestedKeys, requested.Get(), result);
}

HRESULT SensorClient::GetProperties(std::u16string_view objectId, std::span<const PROPERTYKEY> keys,
                                    ValuesResult* result) const
{
    return SendWithKeys(SensorCommand::kGetProperties, objectId, keys, result);
}

HRESULT SensorClient::GetDataFields(std::u16string_view objectId, std::span<const PROPERTYKEY> keys,
                                    ValuesResult* result) const
{
    return SendWithKeys(SensorCommand::kGetDataFields, objectId, keys, result);
}

HRESULT SensorClient::SetProperties(std::u16string_view objectId, IPortableDeviceValues* values,
                                    ValuesResult* result) const
{
    if (values == nullptr) return E_POINTER;
    return SendWithPayload(SensorCommand::kSetProperties, objectId, kValuesToWrite, values, result);
}

HRESULT SensorClient::Connect(std::u16string_view objectId, HRESULT* result) const
{
    if (result == nullptr) return E_POINTER;
    return Send(SensorCommand::kConnect, objectId, result, nullptr);
}

HRESULT SensorClient::Disconnect(std::u16string_view objectId, HRESULT* result) const
{
    if (result == nullptr) return E_POINTER;
    return Send(SensorCommand::kDisconnect, objectId, result, nullptr);
}

HRESULT SensorClient::Subscribe(std::u16string_view objectId, HRESULT* result) const
{
    if (result == nullptr) return E_POINTER;
    return Send(SensorCommand::kSubscribe, objectId, result, nullptr);
}

HRESULT SensorClient::Unsubscribe(std::u16string_view objectId, HRESULT* result) const
{
    if (result == nullptr) return E_POINTER;
    return Send(SensorCommand::kUnsubscribe, objectId, result, nullptr);
}

}  // namespace transport
