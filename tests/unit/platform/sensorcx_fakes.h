// Fakes for testing the sensor class extension without the host: a sensor-driver mock, request,
// memory and file objects, and a transport that hands each request straight to a class extension.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <span>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/sensorcx/sensor_driver.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/sensor_class_extension.h"
#include "transport/client_events.h"
#include "transport/sensor_client.h"
#include "transport/sensor_protocol.h"

namespace sensorcx_test {

using Bytes = std::vector<std::uint8_t>;
using platform::ComPtr;

// Not final, so that NiceMock and StrictMock can wrap it; the virtual destructor lets the last
// Release delete the wrapper.
class MockSensorDriver : public platform::ComObject<MockSensorDriver, ISensorDriver> {
public:
    virtual ~MockSensorDriver() = default;
    MOCK_METHOD(HRESULT, OnGetSupportedSensorObjects, (IPortableDeviceValuesCollection**), (override));
    MOCK_METHOD(HRESULT, OnGetSupportedProperties, (LPWSTR, IPortableDeviceKeyCollection**), (override));
    MOCK_METHOD(HRESULT, OnGetSupportedDataFields, (LPWSTR, IPortableDeviceKeyCollection**), (override));
    MOCK_METHOD(HRESULT, OnGetSupportedEvents, (LPWSTR, GUID**, ULONG*), (override));
    MOCK_METHOD(HRESULT, OnGetProperties, (IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues**),
                (override));
    MOCK_METHOD(HRESULT, OnGetDataFields, (IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues**),
                (override));
    MOCK_METHOD(HRESULT, OnSetProperties, (IWDFFile*, LPWSTR, IPortableDeviceValues*, IPortableDeviceValues**),
                (override));
    MOCK_METHOD(HRESULT, OnClientConnect, (IWDFFile*, LPWSTR), (override));
    MOCK_METHOD(HRESULT, OnClientDisconnect, (IWDFFile*, LPWSTR), (override));
    MOCK_METHOD(HRESULT, OnClientSubscribeToEvents, (IWDFFile*, LPWSTR), (override));
    MOCK_METHOD(HRESULT, OnClientUnsubscribeFromEvents, (IWDFFile*, LPWSTR), (override));
    MOCK_METHOD(HRESULT, OnProcessWpdMessage, (IUnknown*, IUnknown*), (override));
};

class FakeMemory final : public platform::ComObject<FakeMemory, IWDFMemory> {
public:
    explicit FakeMemory(Bytes bytes) : m_bytes(std::move(bytes)) {}
    void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T* pSize) override
    {
        if (pSize != nullptr) *pSize = m_bytes.size();
        return m_bytes.empty() ? nullptr : m_bytes.data();
    }
    const Bytes& bytes() const { return m_bytes; }

private:
    Bytes m_bytes;
};

// A device I/O control request; counts its completions.
class FakeRequest final : public platform::ComObject<FakeRequest, IWDFIoRequest> {
public:
    FakeRequest(ULONG code, Bytes input, std::size_t outputCapacity, IWDFFile* file)
        : m_code(code),
          m_file(file),
          m_input(new FakeMemory(std::move(input))),
          m_output(new FakeMemory(Bytes(outputCapacity, 0xCC)))
    {
    }

    void STDMETHODCALLTYPE CompleteWithInformation(HRESULT status, SIZE_T information) override
    {
        ++m_completions;
        m_status = status;
        m_information = information;
    }
    void STDMETHODCALLTYPE GetInputMemory(IWDFMemory** pp) override { *pp = Ref(m_input.Get()); }
    void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory** pp) override { *pp = Ref(m_output.Get()); }
    void STDMETHODCALLTYPE GetFileObject(IWDFFile** pp) override { m_file.CopyTo(pp); }
    void STDMETHODCALLTYPE GetDeviceIoControlParameters(ULONG* code, SIZE_T* in, SIZE_T* out) override
    {
        if (code != nullptr) *code = m_code;
        if (in != nullptr) *in = m_input->bytes().size();
        if (out != nullptr) *out = m_output->bytes().size();
    }

    int completions() const { return m_completions; }
    HRESULT status() const { return m_status; }
    SIZE_T information() const { return m_information; }
    // The output bytes the completion reports, when it reports no more than the buffer holds.
    Bytes output() const
    {
        const Bytes& all = m_output->bytes();
        return SUCCEEDED(m_status) && m_information <= all.size() ? Bytes(all.begin(), all.begin() + m_information)
                                                                  : Bytes{};
    }

private:
    static IWDFMemory* Ref(FakeMemory* memory)
    {
        memory->AddRef();
        return memory;
    }

    ULONG m_code;
    ComPtr<IWDFFile> m_file;
    ComPtr<FakeMemory> m_input;
    ComPtr<FakeMemory> m_output;
    int m_completions = 0;
    HRESULT m_status = E_FAIL;
    SIZE_T m_information = 0;
};

// A client's file that takes events.
class FakeClientFile final : public platform::ComObject<FakeClientFile, IWDFFile, transport::IClientEventSink> {
public:
    void STDMETHODCALLTYPE OnSensorEvent(const std::uint8_t* encoded, std::size_t size) override
    {
        std::lock_guard lock(m_lock);
        m_events.emplace_back(encoded, encoded + size);
    }

    std::vector<transport::SensorEvent> events() const
    {
        std::lock_guard lock(m_lock);
        std::vector<transport::SensorEvent> decoded(m_events.size());
        for (std::size_t i = 0; i < m_events.size(); ++i) {
            EXPECT_EQ(transport::DecodeSensorEvent(m_events[i], &decoded[i]), S_OK);
        }
        return decoded;
    }

private:
    mutable std::mutex m_lock;
    std::vector<Bytes> m_events;  // guarded by m_lock
};

// A file that does not take events.
class FakeSilentFile final : public platform::ComObject<FakeSilentFile, IWDFFile> {};

// Any object, for the host device.
class FakeDevice final : public platform::ComObject<FakeDevice, IUnknown> {};

template <class T, class... Args>
ComPtr<T> Make(Args&&... args)
{
    return ComPtr<T>(new T(std::forward<Args>(args)...));
}

// Completes one request through the class extension, as the host's DeviceIoControl will.
inline ComPtr<FakeRequest> Send(ISensorClassExtension* cx, IWDFFile* file, ULONG code,
                                std::span<const std::uint8_t> input, std::size_t capacity)
{
    auto request = Make<FakeRequest>(code, Bytes(input.begin(), input.end()), capacity, file);
    EXPECT_EQ(cx->ProcessIoControl(request.Get()), S_OK);
    EXPECT_EQ(request->completions(), 1);
    return request;
}

inline transport::SensorTransport DirectTransport(ISensorClassExtension* cx, IWDFFile* file)
{
    return [cx, file](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
        const auto request = Send(cx, file, code, input, capacity);
        return transport::TransportReply{request->status(), request->information(), request->output()};
    };
}

inline ComPtr<IPortableDeviceValues> NewValues()
{
    ComPtr<IPortableDeviceValues> values;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(values.GetAddressOf())),
              S_OK);
    return values;
}

inline ComPtr<IPortableDeviceKeyCollection> NewKeys(std::initializer_list<PROPERTYKEY> keys)
{
    ComPtr<IPortableDeviceKeyCollection> collection;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(collection.GetAddressOf())),
              S_OK);
    for (const auto& key : keys) collection->Add(key);
    return collection;
}

inline ComPtr<IPortableDeviceValuesCollection> NewCollection()
{
    ComPtr<IPortableDeviceValuesCollection> collection;
    EXPECT_EQ(
        CoCreateInstance(CLSID_PortableDeviceValuesCollection, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IPortableDeviceValuesCollection, reinterpret_cast<void**>(collection.GetAddressOf())),
        S_OK);
    return collection;
}

inline std::vector<PROPERTYKEY> KeysOf(IPortableDeviceKeyCollection* keys)
{
    std::vector<PROPERTYKEY> out;
    DWORD count = 0;
    if (keys == nullptr || FAILED(keys->GetCount(&count))) return out;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        keys->GetAt(i, &key);
        out.push_back(key);
    }
    return out;
}

inline std::vector<PROPERTYKEY> KeysOf(IPortableDeviceValues* values)
{
    std::vector<PROPERTYKEY> out;
    DWORD count = 0;
    if (values == nullptr || FAILED(values->GetCount(&count))) return out;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        values->GetAt(i, &key, nullptr);
        out.push_back(key);
    }
    return out;
}

MATCHER_P(WideEq, text, "")
{
    return arg != nullptr && std::u16string_view(arg) == std::u16string_view(text);
}

// A class extension bound to a sensor-driver mock that answers S_OK to anything not expected.
class ClassExtensionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        driverRef = ComPtr<MockSensorDriver>(new ::testing::NiceMock<MockSensorDriver>());
        driver = driverRef.Get();
        ASSERT_EQ(CoCreateInstance(CLSID_SensorClassExtension, nullptr, CLSCTX_INPROC_SERVER,
                                   __uuidof(ISensorClassExtension), reinterpret_cast<void**>(cx.GetAddressOf())),
                  S_OK);
        ASSERT_EQ(cx->Initialize(device.Get(), driver->GetUnknown()), S_OK);
    }

    void TearDown() override
    {
        if (cx) cx->Uninitialize();
        cx.Reset();
        EXPECT_EQ(platform::testing::LiveSensorClassExtensions(), 0u);
    }

    // A client whose requests go to the fixture's class extension as it is when they are sent.
    transport::SensorClient ClientOf(IWDFFile* file) const
    {
        return transport::SensorClient(
            [this, file](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
                return DirectTransport(cx.Get(), file)(code, input, capacity);
            });
    }

    ComPtr<MockSensorDriver> driverRef;
    MockSensorDriver* driver = nullptr;  // the object driverRef holds
    ComPtr<FakeDevice> device = Make<FakeDevice>();
    ComPtr<ISensorClassExtension> cx;
};

}  // namespace sensorcx_test
