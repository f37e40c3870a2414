// Clients of the real module's sensor in the test's process, for the integration tests of the
// sensor service: each is one open file of the hosted device that speaks the sensor protocol
// through the host's device I/O.
//
//   integration::SensorTestClient client(m_host);
//   EXPECT_EQ(client.Connect(), S_OK);                       // the callback's HRESULT
//   transport::ValuesResult data;
//   ASSERT_EQ(client.Protocol().GetDataFields(integration::kSensorId, keys, &data), S_OK);
//
// BoundSensorDriver gives the sensor-driver object that the class extension was bound to, for the
// few calls that a test makes directly (on its own thread, or at a chosen moment of teardown).
//
// Thread safety: a client may be used from several threads at once; the host serialises nothing
// of it. Its file is closed when it is destroyed, which must happen before the host unloads.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string_view>
#include <utility>

#include "host/driver_host.h"
#include "platform/com/com_ptr.h"
#include "platform/sensorcx/sensor_driver.h"
#include "platform_testing/sensor_class_extension.h"
#include "transport/sensor_client.h"

namespace integration {

// The object ID of the module's one sensor.
inline constexpr char16_t kSensorId[] = u"57E940BB-A3ED-491B-9722-A605392668E4-0";

class SensorTestClient {
public:
    explicit SensorTestClient(platform::host::DriverHost& host,
                              platform::host::FileAccess access = platform::host::FileAccess::kReadWrite)
        : m_host(host)
    {
        EXPECT_EQ(host.OpenFile(access, &m_file), S_OK);
        m_protocol = std::make_unique<transport::SensorClient>(
            [&host, file = m_file](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
                platform::host::IoResult reply = host.DeviceIoControl(file.Get(), code, input, capacity);
                return transport::TransportReply{reply.status, reply.information, std::move(reply.output)};
            });
    }
    ~SensorTestClient()
    {
        if (m_file) m_host.CloseFile(m_file.Get());
    }
    SensorTestClient(const SensorTestClient&) = delete;
    SensorTestClient& operator=(const SensorTestClient&) = delete;

    const transport::SensorClient& Protocol() const { return *m_protocol; }
    IWDFFile* File() const { return m_file.Get(); }

    // The callback's HRESULT of a client operation (the exchange itself must succeed).
    HRESULT Connect(std::u16string_view id = kSensorId) const { return Call(&transport::SensorClient::Connect, id); }
    HRESULT Disconnect(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Disconnect, id);
    }
    HRESULT Subscribe(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Subscribe, id);
    }
    HRESULT Unsubscribe(std::u16string_view id = kSensorId) const
    {
        return Call(&transport::SensorClient::Unsubscribe, id);
    }

private:
    using Operation = HRESULT (transport::SensorClient::*)(std::u16string_view, HRESULT*) const;
    HRESULT Call(Operation operation, std::u16string_view id) const
    {
        HRESULT result = E_FAIL;
        const HRESULT exchange = (m_protocol.get()->*operation)(id, &result);
        EXPECT_EQ(exchange, S_OK);
        return SUCCEEDED(exchange) ? result : exchange;
    }

    platform::host::DriverHost& m_host;
    platform::ComPtr<platform::host::CHostFile> m_file;
    std::unique_ptr<transport::SensorClient> m_protocol;
};

// The sensor-driver object of the last class extension bound while the recorder recorded, with a
// reference for the caller; null when none was bound.
inline platform::ComPtr<ISensorDriver> BoundSensorDriver(
    const platform::testing::SensorClassExtensionRecorder& recorder)
{
    platform::ComPtr<ISensorDriver> driver;
    const auto bound = recorder.Calls(platform::testing::SensorCxCall::kInitialize);
    if (bound.empty() || bound.back().driver == nullptr) return driver;
    // The class extension holds the object until it is unbound.
    auto* unknown = static_cast<IUnknown*>(const_cast<void*>(bound.back().driver));
    unknown->QueryInterface(__uuidof(ISensorDriver), reinterpret_cast<void**>(driver.GetAddressOf()));
    return driver;
}

}  // namespace integration
