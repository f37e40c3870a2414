#include "sensor_test_client.h"

#include <cmath>
#include <limits>

#include "platform/com/runtime.h"
#include "platform/wpd/portable_device_values.h"

namespace integration {

using namespace std::chrono_literals;

HRESULT SensorTestClient::SetReportInterval(ULONG milliseconds) const
{
    if (!m_protocol) return E_HANDLE;
    platform::ComPtr<IPortableDeviceValues> write;
    HRESULT hr = CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                                  reinterpret_cast<void**>(write.GetAddressOf()));
    if (SUCCEEDED(hr)) hr = write->SetUnsignedIntegerValue(SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL, milliseconds);
    if (FAILED(hr)) return hr;
    transport::ValuesResult results;
    hr = m_protocol->SetProperties(kSensorId, write.Get(), &results);
    return SUCCEEDED(hr) ? results.hr : hr;
}

transport::ValuesResult SensorTestClient::ReadDataFields() const
{
    transport::ValuesResult data;
    if (!m_protocol) {
        data.hr = E_HANDLE;
        return data;
    }
    const HRESULT hr = m_protocol->GetDataFields(kSensorId, kDataFieldKeys, &data);
    if (FAILED(hr)) data.hr = hr;
    return data;
}

std::vector<transport::SensorEvent> SensorTestClient::DataUpdates() const
{
    std::vector<transport::SensorEvent> updates;
    for (auto& event : Events()) {
        if (event.kind == transport::SensorEventKind::kDataUpdated) updates.push_back(std::move(event));
    }
    return updates;
}

std::vector<SensorState> SensorTestClient::StateChanges() const
{
    std::vector<SensorState> states;
    for (const auto& event : Events()) {
        if (event.kind == transport::SensorEventKind::kStateChanged) states.push_back(event.state);
    }
    return states;
}

platform::ComPtr<ISensorDriver> BoundSensorDriver(const platform::testing::SensorClassExtensionRecorder& recorder)
{
    platform::ComPtr<ISensorDriver> driver;
    const auto bound = recorder.Calls(platform::testing::SensorCxCall::kInitialize);
    if (bound.empty() || bound.back().driver == nullptr) return driver;
    // The class extension holds the object until it is unbound; the reference taken here keeps it
    // for the caller beyond that.
    auto* unknown = static_cast<IUnknown*>(const_cast<void*>(bound.back().driver));
    unknown->QueryInterface(__uuidof(ISensorDriver), reinterpret_cast<void**>(driver.GetAddressOf()));
    return driver;
}

float Temperature(IPortableDeviceValues* values)
{
    PROPVARIANT value{};
    float temperature = std::numeric_limits<float>::quiet_NaN();
    if (values != nullptr && SUCCEEDED(values->GetValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &value)) &&
        value.vt == VT_R4) {
        temperature = value.fltVal;
    }
    PropVariantClear(&value);
    return temperature;
}

ULONGLONG Timestamp(IPortableDeviceValues* values)
{
    PROPVARIANT value{};
    ULONGLONG timestamp = 0;
    if (values != nullptr && SUCCEEDED(values->GetValue(SENSOR_DATA_TYPE_TIMESTAMP, &value)) &&
        value.vt == VT_FILETIME) {
        timestamp = (static_cast<ULONGLONG>(value.filetime.dwHighDateTime) << 32) | value.filetime.dwLowDateTime;
    }
    PropVariantClear(&value);
    return timestamp;
}

void SensorHostTest::ApplyMachine(const std::string& text)
{
    const sim::ParsedMachine parsed = sim::ParseMachine(text);
    ASSERT_TRUE(parsed.machine) << parsed.error;
    ASSERT_EQ(sim::ApplyMachine(*parsed.machine), "");
}

void SensorHostTest::StartAcquisition()
{
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    platform::testing::VirtualClock::SetReadStep(kReadStep);
    const platform::host::HostStep resumed = m_host.Resume();
    platform::testing::VirtualClock::SetReadStep(0ns);
    ASSERT_TRUE(resumed.ok()) << resumed.message;
}

std::chrono::nanoseconds SensorHostTest::WithSteppingClock(const std::function<void()>& call)
{
    platform::testing::VirtualClock::SetReadStep(100us);
    const auto before = m_clock.Elapsed();
    call();
    const auto taken = m_clock.Elapsed() - before;
    platform::testing::VirtualClock::SetReadStep(0ns);
    return taken;
}

}  // namespace integration
