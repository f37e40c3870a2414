// A client of the sensor protocol (sensor_protocol.h): builds each command's parameters, sends them
// through a transport the caller supplies, and decodes the results.
//
//   transport::SensorClient client([&](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
//       return host.DeviceIoControl(file, code, input, capacity);   // or a socket round trip
//   });
//   HRESULT connected = E_FAIL;
//   RETURN_IF_FAILED(client.Connect(u"{sensor id}", &connected));
//   transport::ValuesResult data;
//   RETURN_IF_FAILED(client.GetDataFields(u"{sensor id}", keys, &data));
//   if (SUCCEEDED(data.hr)) ... data.values ...
//
// Every call returns the exchange's own status: S_OK when the results arrived and decoded, or why
// not (the transport's completion status, the codec's answer, kMalformedEncoding for results
// without kStatus). The callback's HRESULT travels in the results (hr below, S_FALSE included), with
// whatever collection it handed back; a payload it did not hand back stays null or empty.
//
// An answer of HRESULT_FROM_WIN32(ERROR_MORE_DATA) is retried with the size it names while that is
// larger than the buffer offered and not above kMaxEncodedBytes, three tries in all (results can
// grow between tries). The class extension refuses connect, disconnect, subscribe and unsubscribe
// before they run when the buffer is too small, so a retry never runs them twice.
//
// Thread safety: a SensorClient keeps no state besides its transport; calls may run on several
// threads at once when the transport allows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/export.h"
#include "platform/com/com_ptr.h"
#include "transport/sensor_protocol.h"

PLATFORM_API_BEGIN

namespace transport {

// What a transport gives back for one request: its completion status, its information (the bytes
// written, or with ERROR_MORE_DATA the size needed) and the output bytes.
struct TransportReply {
    HRESULT status = E_FAIL;
    std::size_t information = 0;
    std::vector<std::uint8_t> output;
};

// Sends one request: control code, input bytes, output capacity in bytes.
using SensorTransport =
    std::function<TransportReply(ULONG controlCode, std::span<const std::uint8_t> input, std::size_t outputCapacity)>;

struct ValuesResult {
    HRESULT hr = E_FAIL;
    platform::ComPtr<IPortableDeviceValues> values;
};

struct KeysResult {
    HRESULT hr = E_FAIL;
    platform::ComPtr<IPortableDeviceKeyCollection> keys;
};

struct EventsResult {
    HRESULT hr = E_FAIL;
    std::vector<GUID> events;
};

struct ObjectsResult {
    HRESULT hr = E_FAIL;
    platform::ComPtr<IPortableDeviceValuesCollection> objects;
};

class SensorClient {
public:
    // The first output buffer offered; larger results are fetched by the retry.
    static constexpr std::size_t kInitialOutputCapacity = 4096;

    explicit SensorClient(SensorTransport transport) : m_transport(std::move(transport)) {}

    HRESULT GetSupportedSensorObjects(ObjectsResult* result) const;
    HRESULT GetSupportedProperties(std::u16string_view objectId, KeysResult* result) const;
    HRESULT GetSupportedDataFields(std::u16string_view objectId, KeysResult* result) const;
    HRESULT GetSupportedEvents(std::u16string_view objectId, EventsResult* result) const;
    HRESULT GetProperties(std::u16string_view objectId, std::span<const PROPERTYKEY> keys, ValuesResult* result) const;
    HRESULT GetDataFields(std::u16string_view objectId, std::span<const PROPERTYKEY> keys, ValuesResult* result) const;
    // Sent with the read-write control code.
    HRESULT SetProperties(std::u16string_view objectId, IPortableDeviceValues* values, ValuesResult* result) const;
    HRESULT Connect(std::u16string_view objectId, HRESULT* result) const;
    HRESULT Disconnect(std::u16string_view objectId, HRESULT* result) const;
    HRESULT Subscribe(std::u16string_view objectId, HRESULT* result) const;
    HRESULT Unsubscribe(std::u16string_view objectId, HRESULT* result) const;

    // Sends a parameters values set as it is and decodes the results values set.
    HRESULT Exchange(ULONG controlCode, IPortableDeviceValues* parameters, IPortableDeviceValues** results) const;

private:
    HRESULT Send(SensorCommand command, std::u16string_view objectId, HRESULT* hr,
                 IPortableDeviceValues** results) const;
    HRESULT Call(ULONG controlCode, IPortableDeviceValues* parameters, HRESULT* hr,
                 IPortableDeviceValues** results) const;
    HRESULT SendKeysQuery(SensorCommand command, std::u16string_view objectId, KeysResult* result) const;
    HRESULT SendWithKeys(SensorCommand command, std::u16string_view objectId, std::span<const PROPERTYKEY> keys,
                         ValuesResult* result) const;
    HRESULT SendWithPayload(SensorCommand command, std::u16string_view objectId, REFPROPERTYKEY payloadKey,
                            IPortableDeviceValues* payload, ValuesResult* result) const;

    SensorTransport m_transport;
};

}  // namespace transport
PLATFORM_API_END
