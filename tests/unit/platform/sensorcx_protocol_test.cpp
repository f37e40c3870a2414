// The sensor protocol through the class extension: each command reaches its sensor-driver callback
// with the right arguments, and what the callback hands back reaches the client.
#include <string>

#include "sensorcx_fakes.h"
#include "platform_testing/faults.h"
#include "platform_testing/wpd.h"
#include "transport/values_codec.h"

namespace sensorcx_test {
namespace {

using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Return;
using transport::SensorCommand;

DEFINE_PROPERTYKEY(kKeyA, "{3C1B3E2A-1B8E-4C8E-9E57-0A5E8F0C1D01}", 2);
DEFINE_PROPERTYKEY(kKeyB, "{3C1B3E2A-1B8E-4C8E-9E57-0A5E8F0C1D01}", 3);
DEFINE_PROPERTYKEY(kKeyC, "{9A4F1C77-52D0-4E1B-8B0C-77D9C3A1E5F2}", 7);
constexpr GUID kEventOne = platform::MakeGuid("{2ED0F2A4-0087-41D3-87DB-6773370B3C88}");
constexpr GUID kEventTwo = platform::MakeGuid("{BFD96016-6BD7-4560-AD34-F2F6607E8F81}");
constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
constexpr HRESULT kMoreData = HRESULT_FROM_WIN32(ERROR_MORE_DATA);
constexpr HRESULT kShuttingDown = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);

MATCHER_P(HasKeys, expected, "")
{
    return KeysOf(arg) == expected;
}

Bytes Encode(IPortableDeviceValues* values)
{
    Bytes bytes;
    EXPECT_EQ(transport::EncodeValues(values, &bytes), S_OK);
    return bytes;
}

// Parameters of a command, with the object ID when one is given.
ComPtr<IPortableDeviceValues> Parameters(SensorCommand command, const char16_t* objectId = nullptr)
{
    auto parameters = NewValues();
    parameters->SetUnsignedIntegerValue(transport::kCommand, static_cast<ULONG>(command));
    if (objectId != nullptr) parameters->SetStringValue(transport::kObjectId, objectId);
    return parameters;
}

class SensorCxProtocolTest : public ClassExtensionTest {
protected:
    void ExpectNoDriverCall()
    {
        EXPECT_CALL(*driver, OnGetSupportedSensorObjects(_)).Times(0);
        EXPECT_CALL(*driver, OnGetSupportedProperties(_, _)).Times(0);
        EXPECT_CALL(*driver, OnGetSupportedDataFields(_, _)).Times(0);
        EXPECT_CALL(*driver, OnGetSupportedEvents(_, _, _)).Times(0);
        EXPECT_CALL(*driver, OnGetProperties(_, _, _, _)).Times(0);
        EXPECT_CALL(*driver, OnGetDataFields(_, _, _, _)).Times(0);
        EXPECT_CALL(*driver, OnSetProperties(_, _, _, _)).Times(0);
        EXPECT_CALL(*driver, OnClientConnect(_, _)).Times(0);
        EXPECT_CALL(*driver, OnClientDisconnect(_, _)).Times(0);
        EXPECT_CALL(*driver, OnClientSubscribeToEvents(_, _)).Times(0);
        EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(_, _)).Times(0);
        EXPECT_CALL(*driver, OnProcessWpdMessage(_, _)).Times(0);
    }

    ComPtr<FakeClientFile> file = Make<FakeClientFile>();
    IWDFFile* fileArg = file.Get();
    transport::SensorClient client = ClientOf(file.Get());
};

TEST_F(SensorCxProtocolTest, GetSupportedSensorObjects_ReturnsEachObjectsValuesInOrder)
{
    EXPECT_CALL(*driver, OnGetSupportedSensorObjects(_)).WillOnce([](IPortableDeviceValuesCollection** out) {
        auto objects = NewCollection();
        for (ULONG id : {7u, 9u}) {
            auto object = NewValues();
            object->SetUnsignedIntegerValue(kKeyA, id);
            objects->Add(object.Get());
        }
        *out = objects.Detach();
        return S_OK;
    });

    transport::ObjectsResult result;
    ASSERT_EQ(client.GetSupportedSensorObjects(&result), S_OK);
    EXPECT_EQ(result.hr, S_OK);
    DWORD count = 0;
    ASSERT_EQ(result.objects->GetCount(&count), S_OK);
    ASSERT_EQ(count, 2u);
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IPortableDeviceValues> object;
        ASSERT_EQ(result.objects->GetAt(i, object.GetAddressOf()), S_OK);
        ULONG id = 0;
        EXPECT_EQ(object->GetUnsignedIntegerValue(kKeyA, &id), S_OK);
        EXPECT_EQ(id, i == 0 ? 7u : 9u);
    }
}

TEST_F(SensorCxProtocolTest, GetSupportedKeys_ReachTheirCallbacksAndKeepOrderAndKeysOfAFailure)
{
    EXPECT_CALL(*driver, OnGetSupportedProperties(WideEq(u"DEVICE"), _))
        .WillOnce([](LPWSTR, IPortableDeviceKeyCollection** out) {
            *out = NewKeys({kKeyB, kKeyA}).Detach();
            return E_UNEXPECTED;
        });
    EXPECT_CALL(*driver, OnGetSupportedDataFields(WideEq(u"sensor-1"), _))
        .WillOnce([](LPWSTR, IPortableDeviceKeyCollection** out) {
            *out = NewKeys({kKeyC, kKeyA}).Detach();
            return S_OK;
        });

    transport::KeysResult properties;
    ASSERT_EQ(client.GetSupportedProperties(u"DEVICE", &properties), S_OK);
    EXPECT_EQ(properties.hr, E_UNEXPECTED);
    EXPECT_THAT(KeysOf(properties.keys.Get()), ElementsAre(kKeyB, kKeyA));

    transport::KeysResult fields;
    ASSERT_EQ(client.GetSupportedDataFields(u"sensor-1", &fields), S_OK);
    EXPECT_EQ(fields.hr, S_OK);
    EXPECT_THAT(KeysOf(fields.keys.Get()), ElementsAre(kKeyC, kKeyA));
}

TEST_F(SensorCxProtocolTest, GetSupportedEvents_ReturnsTheGuidsOfTheTaskMemoryArray)
{
    EXPECT_CALL(*driver, OnGetSupportedEvents(WideEq(u"sensor-1"), _, _))
        .WillOnce([](LPWSTR, GUID** events, ULONG* count) {
            *events = static_cast<GUID*>(CoTaskMemAlloc(2 * sizeof(GUID)));
            (*events)[0] = kEventOne;
            (*events)[1] = kEventTwo;
            *count = 2;
            return S_OK;
        });

    transport::EventsResult result;
    ASSERT_EQ(client.GetSupportedEvents(u"sensor-1", &result), S_OK);
    EXPECT_EQ(result.hr, S_OK);
    EXPECT_THAT(result.events, ElementsAre(kEventOne, kEventTwo));
}

TEST_F(SensorCxProtocolTest, GetProperties_PassesFileAndKeysInOrder_AndPerKeyErrorsSurviveWithSFalse)
{
    EXPECT_CALL(*driver, OnGetProperties(fileArg, WideEq(u"sensor-1"),
                                         HasKeys(std::vector<PROPERTYKEY>{kKeyC, kKeyA, kKeyB}), _))
        .WillOnce([](IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues** out) {
            auto values = NewValues();
            values->SetStringValue(kKeyC, u"Temperature");
            values->SetUnsignedIntegerValue(kKeyA, 1000);
            values->SetErrorValue(kKeyB, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
            *out = values.Detach();
            return S_FALSE;
        });

    const PROPERTYKEY keys[] = {kKeyC, kKeyA, kKeyB};
    transport::ValuesResult result;
    ASSERT_EQ(client.GetProperties(u"sensor-1", keys, &result), S_OK);
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_THAT(KeysOf(result.values.Get()), ElementsAre(kKeyC, kKeyA, kKeyB));
    HRESULT perKey = S_OK;
    EXPECT_EQ(result.values->GetErrorValue(kKeyB, &perKey), S_OK);
    EXPECT_EQ(perKey, kNotSupported);
    ULONG interval = 0;
    EXPECT_EQ(result.values->GetUnsignedIntegerValue(kKeyA, &interval), S_OK);
    EXPECT_EQ(interval, 1000u);
}

TEST_F(SensorCxProtocolTest, GetDataFields_ReturnsTimestampAndTemperatureAsTheyWere)
{
    const FILETIME stamp{0x89ABCDEF, 0x01D9F00D};
    EXPECT_CALL(*driver,
                OnGetDataFields(fileArg, WideEq(u"sensor-1"), HasKeys(std::vector<PROPERTYKEY>{kKeyA, kKeyB}), _))
        .WillOnce([&](IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues** out) {
            auto values = NewValues();
            PROPVARIANT v{};
            InitPropVariantFromFileTime(&stamp, &v);
            values->SetValue(kKeyA, &v);
            values->SetFloatValue(kKeyB, 21.5f);
            *out = values.Detach();
            return S_OK;
        });

    const PROPERTYKEY keys[] = {kKeyA, kKeyB};
    transport::ValuesResult result;
    ASSERT_EQ(client.GetDataFields(u"sensor-1", keys, &result), S_OK);
    EXPECT_EQ(result.hr, S_OK);
    PROPVARIANT v{};
    ASSERT_EQ(result.values->GetValue(kKeyA, &v), S_OK);
    EXPECT_EQ(v.vt, VT_FILETIME);
    EXPECT_EQ(v.filetime.dwLowDateTime, stamp.dwLowDateTime);
    EXPECT_EQ(v.filetime.dwHighDateTime, stamp.dwHighDateTime);
    FLOAT celsius = 0;
    EXPECT_EQ(result.values->GetFloatValue(kKeyB, &celsius), S_OK);
    EXPECT_EQ(celsius, 21.5f);
}

TEST_F(SensorCxProtocolTest, SetProperties_NeedsTheReadWriteCode_AndReturnsPerKeyResults)
{
    auto toWrite = NewValues();
    toWrite->SetUnsignedIntegerValue(kKeyA, 250);
    toWrite->SetFloatValue(kKeyB, 1.0f);

    auto parameters = Parameters(SensorCommand::kSetProperties, u"sensor-1");
    parameters->SetIPortableDeviceValuesValue(transport::kValuesToWrite, toWrite.Get());
    EXPECT_CALL(*driver, OnSetProperties(_, _, _, _)).Times(0);
    const auto refused = Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, Encode(parameters.Get()), 4096);
    EXPECT_EQ(refused->status(), E_ACCESSDENIED);
    EXPECT_EQ(refused->information(), 0u);
    ::testing::Mock::VerifyAndClearExpectations(driver);

    EXPECT_CALL(*driver, OnSetProperties(fileArg, WideEq(u"sensor-1"), _, _))
        .WillOnce([](IWDFFile*, LPWSTR, IPortableDeviceValues* written, IPortableDeviceValues** out) {
            EXPECT_THAT(KeysOf(written), ElementsAre(kKeyA, kKeyB));
            ULONG interval = 0;
            EXPECT_EQ(written->GetUnsignedIntegerValue(kKeyA, &interval), S_OK);
            EXPECT_EQ(interval, 250u);
            auto results = NewValues();
            results->SetErrorValue(kKeyB, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
            *out = results.Detach();
            return S_FALSE;
        });
    transport::ValuesResult result;
    ASSERT_EQ(client.SetProperties(u"sensor-1", toWrite.Get(), &result), S_OK);
    EXPECT_EQ(result.hr, S_FALSE);
    HRESULT perKey = S_OK;
    EXPECT_EQ(result.values->GetErrorValue(kKeyB, &perKey), S_OK);
    EXPECT_EQ(perKey, HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
}

TEST_F(SensorCxProtocolTest, ClientCommands_ReachTheirCallbacksWithTheFile_AndTheirResultComesBack)
{
    ::testing::InSequence order;
    EXPECT_CALL(*driver, OnClientConnect(fileArg, WideEq(u"sensor-1"))).WillOnce(Return(S_OK));
    EXPECT_CALL(*driver, OnClientSubscribeToEvents(fileArg, WideEq(u"sensor-1"))).WillOnce(Return(E_UNEXPECTED));
    EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(fileArg, WideEq(u"sensor-1"))).WillOnce(Return(E_UNEXPECTED));
    EXPECT_CALL(*driver, OnClientDisconnect(fileArg, WideEq(u"sensor-1"))).WillOnce(Return(E_POINTER));

    HRESULT hr = E_FAIL;
    ASSERT_EQ(client.Connect(u"sensor-1", &hr), S_OK);
    EXPECT_EQ(hr, S_OK);
    ASSERT_EQ(client.Subscribe(u"sensor-1", &hr), S_OK);
    EXPECT_EQ(hr, E_UNEXPECTED);
    ASSERT_EQ(client.Unsubscribe(u"sensor-1", &hr), S_OK);
    EXPECT_EQ(hr, E_UNEXPECTED);
    ASSERT_EQ(client.Disconnect(u"sensor-1", &hr), S_OK);
    EXPECT_EQ(hr, E_POINTER);
}

TEST_F(SensorCxProtocolTest, OtherCommand_IsAMessageForTheDriver_WithItsParametersAndResults)
{
    EXPECT_CALL(*driver, OnProcessWpdMessage(_, _)).WillOnce([](IUnknown* params, IUnknown* results) {
        ComPtr<IPortableDeviceValues> in;
        ComPtr<IPortableDeviceValues> out;
        EXPECT_EQ(params->QueryInterface(IID_IPortableDeviceValues, reinterpret_cast<void**>(in.GetAddressOf())), S_OK);
        EXPECT_EQ(results->QueryInterface(IID_IPortableDeviceValues, reinterpret_cast<void**>(out.GetAddressOf())),
                  S_OK);
        ULONG command = 0;
        EXPECT_EQ(in->GetUnsignedIntegerValue(transport::kCommand, &command), S_OK);
        EXPECT_EQ(command, 99u);
        LONG argument = 0;
        EXPECT_EQ(in->GetSignedIntegerValue(kKeyC, &argument), S_OK);
        out->SetSignedIntegerValue(kKeyC, argument * 2);
        return S_OK;
    });

    auto parameters = NewValues();
    parameters->SetUnsignedIntegerValue(transport::kCommand, 99);
    parameters->SetSignedIntegerValue(kKeyC, -21);
    ComPtr<IPortableDeviceValues> results;
    ASSERT_EQ(client.Exchange(transport::kSensorMessageReadCode, parameters.Get(), results.GetAddressOf()), S_OK);
    HRESULT status = E_FAIL;
    EXPECT_EQ(results->GetErrorValue(transport::kStatus, &status), S_OK);
    EXPECT_EQ(status, S_OK);
    ComPtr<IPortableDeviceValues> answer;
    ASSERT_EQ(results->GetIPortableDeviceValuesValue(transport::kValuesResult, answer.GetAddressOf()), S_OK);
    LONG doubled = 0;
    EXPECT_EQ(answer->GetSignedIntegerValue(kKeyC, &doubled), S_OK);
    EXPECT_EQ(doubled, -42);
}

TEST_F(SensorCxProtocolTest, SmallOutputBuffer_GivesMoreDataWithTheSizeNeeded_AndTheRetryWorks)
{
    EXPECT_CALL(*driver, OnGetProperties(_, _, _, _))
        .Times(2)
        .WillRepeatedly([](IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues** out) {
            auto values = NewValues();
            values->SetStringValue(kKeyA, u"a description that does not fit in a small buffer");
            *out = values.Detach();
            return S_OK;
        });
    auto requested = NewValues();
    const PROPVARIANT empty{};
    requested->SetValue(kKeyA, &empty);
    auto parameters = Parameters(SensorCommand::kGetProperties, u"sensor-1");
    parameters->SetIPortableDeviceValuesValue(transport::kRequestedKeys, requested.Get());
    const Bytes input = Encode(parameters.Get());

    const auto small = Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, 40);
    EXPECT_EQ(small->status(), kMoreData);
    const SIZE_T needed = small->information();
    EXPECT_GT(needed, 40u);

    const auto retry = Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, needed);
    EXPECT_EQ(retry->status(), S_OK);
    EXPECT_EQ(retry->information(), needed);
    ComPtr<IPortableDeviceValues> results;
    EXPECT_EQ(transport::DecodeValues(retry->output(), results.GetAddressOf()), S_OK);
}

TEST_F(SensorCxProtocolTest, Client_RetriesOnceWhenTheResultsAreLargerThanItsFirstBuffer)
{
    const std::u16string description(3000, u'x');  // 6000 bytes of text
    EXPECT_CALL(*driver, OnGetProperties(_, _, _, _))
        .Times(2)
        .WillRepeatedly([&](IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues** out) {
            auto values = NewValues();
            values->SetStringValue(kKeyA, description.c_str());
            *out = values.Detach();
            return S_OK;
        });
    std::vector<std::size_t> capacities;
    const auto direct = DirectTransport(cx.Get(), file.Get());
    const transport::SensorClient counting([&](ULONG code, std::span<const std::uint8_t> input, std::size_t capacity) {
        capacities.push_back(capacity);
        return direct(code, input, capacity);
    });

    const PROPERTYKEY keys[] = {kKeyA};
    transport::ValuesResult result;
    ASSERT_EQ(counting.GetProperties(u"sensor-1", keys, &result), S_OK);
    ASSERT_EQ(capacities.size(), 2u);
    EXPECT_EQ(capacities[0], transport::SensorClient::kInitialOutputCapacity);
    EXPECT_GT(capacities[1], 6000u);
    LPWSTR text = nullptr;
    ASSERT_EQ(result.values->GetStringValue(kKeyA, &text), S_OK);
    EXPECT_EQ(std::u16string(text), description);
    CoTaskMemFree(text);
}

TEST_F(SensorCxProtocolTest, ClientCommandWithTooSmallBuffer_IsRefusedBeforeItRuns_SoTheRetryRunsItOnce)
{
    EXPECT_CALL(*driver, OnClientConnect(fileArg, WideEq(u"sensor-1"))).Times(1);
    const Bytes input = Encode(Parameters(SensorCommand::kConnect, u"sensor-1").Get());

    const auto small =
        Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, transport::kStatusOnlyResultsSize - 1);
    EXPECT_EQ(small->status(), kMoreData);
    EXPECT_EQ(small->information(), transport::kStatusOnlyResultsSize);

    const auto retry =
        Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, transport::kStatusOnlyResultsSize);
    EXPECT_EQ(retry->status(), S_OK);
    EXPECT_EQ(retry->information(), transport::kStatusOnlyResultsSize);
}

TEST_F(SensorCxProtocolTest, ConnectExchange_HasTheWrittenDownBytes)
{
    const Bytes protocolSet = {0x21, 0xB2, 0xB9, 0xE0, 0xDA, 0x48, 0xDF, 0x4A,
                               0x9A, 0x57, 0xA7, 0x8B, 0x48, 0x9D, 0x9D, 0x51};
    Bytes parameters = {0x50, 0x44, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00};
    parameters.insert(parameters.end(), protocolSet.begin(), protocolSet.end());
    parameters.insert(parameters.end(), {0x01, 0x00, 0x00, 0x00, 0x13, 0x00, 0x08, 0x00, 0x00, 0x00});
    parameters.insert(parameters.end(), protocolSet.begin(), protocolSet.end());
    parameters.insert(parameters.end(),
                      {0x02, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x02, 0x00, 0x00, 0x00, 0x73, 0x00, 0x31, 0x00});
    Bytes results = {0x50, 0x44, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00};
    results.insert(results.end(), protocolSet.begin(), protocolSet.end());
    results.insert(results.end(), {0x05, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00});

    EXPECT_EQ(parameters.size(), 64u);
    EXPECT_EQ(results.size(), transport::kStatusOnlyResultsSize);
    EXPECT_EQ(Encode(Parameters(SensorCommand::kConnect, u"s1").Get()), parameters);
    EXPECT_CALL(*driver, OnClientConnect(fileArg, WideEq(u"s1"))).WillOnce(Return(S_OK));
    const auto request = Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, parameters, 4096);
    EXPECT_EQ(request->status(), S_OK);
    EXPECT_EQ(request->output(), results);
}

TEST_F(SensorCxProtocolTest, EachFailedPlatformCallOfAnExchange_EndsInOneCleanCompletion)
{
    ON_CALL(*driver, OnGetProperties(_, _, _, _))
        .WillByDefault([](IWDFFile*, LPWSTR, IPortableDeviceKeyCollection*, IPortableDeviceValues** out) {
            RETURN_IF_FAILED(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_IPortableDeviceValues, reinterpret_cast<void**>(out)));
            return (*out)->SetFloatValue(kKeyA, 21.5f);
        });
    auto requested = NewValues();
    const PROPVARIANT empty{};
    requested->SetValue(kKeyA, &empty);
    auto parameters = Parameters(SensorCommand::kGetProperties, u"sensor-1");
    parameters->SetIPortableDeviceValuesValue(transport::kRequestedKeys, requested.Get());
    const Bytes input = Encode(parameters.Get());
    requested.Reset();
    parameters.Reset();
    const std::size_t liveBefore = platform::testing::LivePortableDeviceCollections();

    platform::testing::ScopedFaults faults;
    platform::testing::StartCountingCheckedCalls();
    ASSERT_EQ(Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, 4096)->status(), S_OK);
    const std::uint64_t calls = platform::testing::CheckedCallCount();
    ASSERT_GT(calls, 5u);
    for (std::uint64_t k = 1; k <= calls; ++k) {
        SCOPED_TRACE(k);
        platform::testing::StartCountingCheckedCalls(k);
        const auto request = Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, input, 4096);
        EXPECT_EQ(platform::testing::InjectedFaultCount(), 1u);
        platform::testing::ResetFaults();
        if (SUCCEEDED(request->status())) {
            ComPtr<IPortableDeviceValues> results;
            EXPECT_EQ(transport::DecodeValues(request->output(), results.GetAddressOf()), S_OK);
        } else {
            EXPECT_EQ(request->information(), 0u);
        }
        EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), liveBefore);
    }
}

struct MalformedCase {
    const char* name;
    Bytes input;
    ULONG code;
    HRESULT expected;
};

Bytes WithValue(SensorCommand command, REFPROPERTYKEY key, ULONG value, const char16_t* objectId = u"sensor-1")
{
    auto parameters = Parameters(command, objectId);
    parameters->SetUnsignedIntegerValue(key, value);
    return Encode(parameters.Get());
}

TEST_F(SensorCxProtocolTest, MalformedParameters_CompleteWithAClearFailureAndNeverReachTheDriver)
{
    ExpectNoDriverCall();
    auto requested = NewValues();
    auto full = Parameters(SensorCommand::kGetProperties, u"sensor-1");
    full->SetIPortableDeviceValuesValue(transport::kRequestedKeys, requested.Get());
    Bytes truncated = Encode(full.Get());
    truncated.pop_back();
    Bytes newer = Encode(full.Get());
    newer[2] = 2;
    Bytes keysDocument;
    ASSERT_EQ(transport::EncodeKeys(NewKeys({kKeyA}).Get(), &keysDocument), S_OK);
    auto textCommand = NewValues();
    textCommand->SetStringValue(transport::kCommand, u"5");
    auto noCommand = NewValues();
    noCommand->SetStringValue(transport::kObjectId, u"sensor-1");

    const ULONG read = transport::kSensorMessageReadCode;
    const MalformedCase cases[] = {
        {"empty", {}, read, transport::kMalformedEncoding},
        {"truncated", truncated, read, transport::kMalformedEncoding},
        {"a key collection", keysDocument, read, transport::kMalformedEncoding},
        {"a newer version", newer, read, transport::kUnsupportedVersion},
        {"no command", Encode(noCommand.Get()), read, E_INVALIDARG},
        {"command as text", Encode(textCommand.Get()), read, E_INVALIDARG},
        {"no object ID", Encode(Parameters(SensorCommand::kConnect).Get()), read, E_INVALIDARG},
        {"object ID as a number", WithValue(SensorCommand::kSubscribe, transport::kObjectId, 1, nullptr), read,
         E_INVALIDARG},
        {"no requested keys", Encode(Parameters(SensorCommand::kGetDataFields, u"sensor-1").Get()), read, E_INVALIDARG},
        {"requested keys as a number", WithValue(SensorCommand::kGetProperties, transport::kRequestedKeys, 3), read,
         E_INVALIDARG},
        {"no values to write", Encode(Parameters(SensorCommand::kSetProperties, u"sensor-1").Get()),
         transport::kSensorMessageReadWriteCode, E_INVALIDARG},
        {"another control code", Encode(full.Get()), 0x00224000, kNotSupported},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto request = Send(cx.Get(), file.Get(), c.code, c.input, 4096);
        EXPECT_EQ(request->status(), c.expected);
        EXPECT_EQ(request->information(), 0u);
    }
}

TEST_F(SensorCxProtocolTest, Requests_WithoutAFileOrWhileNotBound_AreRefusedWithoutReachingTheDriver)
{
    ExpectNoDriverCall();
    const Bytes connect = Encode(Parameters(SensorCommand::kConnect, u"sensor-1").Get());

    EXPECT_EQ(Send(cx.Get(), nullptr, transport::kSensorMessageReadCode, connect, 64)->status(), E_HANDLE);

    ComPtr<ISensorClassExtension> unbound;
    ASSERT_EQ(CoCreateInstance(CLSID_SensorClassExtension, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(ISensorClassExtension), reinterpret_cast<void**>(unbound.GetAddressOf())),
              S_OK);
    EXPECT_EQ(Send(unbound.Get(), file.Get(), transport::kSensorMessageReadCode, connect, 64)->status(), E_UNEXPECTED);

    ASSERT_EQ(cx->Uninitialize(), S_OK);
    EXPECT_EQ(Send(cx.Get(), file.Get(), transport::kSensorMessageReadCode, connect, 64)->status(), kShuttingDown);
    EXPECT_EQ(cx->ProcessIoControl(nullptr), E_POINTER);
}

struct EventCase {
    const char* name;
    ComPtr<IPortableDeviceValues> message;
};

TEST(SensorProtocolEvents, EncodedEvents_DecodeToWhatWasPosted)
{
    auto eventValues = NewValues();
    eventValues->SetGuidValue(kKeyA, kEventOne);
    eventValues->SetFloatValue(kKeyB, -8.8f);
    Bytes data;
    ASSERT_EQ(transport::EncodeDataUpdatedEvent(u"sensor-1", eventValues.Get(), &data), S_OK);
    Bytes state;
    ASSERT_EQ(transport::EncodeStateChangedEvent(u"sensor-1", SENSOR_STATE_NOT_AVAILABLE, &state), S_OK);
    Bytes left;
    ASSERT_EQ(transport::EncodeSensorLeftEvent(u"sensor-1", &left), S_OK);

    transport::SensorEvent decoded;
    ASSERT_EQ(transport::DecodeSensorEvent(data, &decoded), S_OK);
    EXPECT_EQ(decoded.kind, transport::SensorEventKind::kDataUpdated);
    EXPECT_EQ(decoded.sensorId, u"sensor-1");
    EXPECT_THAT(KeysOf(decoded.values.Get()), ElementsAre(kKeyA, kKeyB));
    ASSERT_EQ(transport::DecodeSensorEvent(state, &decoded), S_OK);
    EXPECT_EQ(decoded.kind, transport::SensorEventKind::kStateChanged);
    EXPECT_EQ(decoded.state, SENSOR_STATE_NOT_AVAILABLE);
    ASSERT_EQ(transport::DecodeSensorEvent(left, &decoded), S_OK);
    EXPECT_EQ(decoded.kind, transport::SensorEventKind::kLeft);
    EXPECT_EQ(decoded.sensorId, u"sensor-1");
}

TEST(SensorProtocolEvents, DecodeSensorEvent_RefusesMessagesWithoutKindIdOrPayload)
{
    const auto message = [](ULONG kind, bool withId, bool withPayload) {
        auto values = NewValues();
        values->SetUnsignedIntegerValue(transport::kEventKind, kind);
        if (withId) values->SetStringValue(transport::kObjectId, u"sensor-1");
        if (withPayload && kind == 1) values->SetIPortableDeviceValuesValue(transport::kEventValues, NewValues().Get());
        if (withPayload && kind == 2) values->SetUnsignedIntegerValue(transport::kState, 1);
        return values;
    };
    auto noKind = NewValues();
    noKind->SetStringValue(transport::kObjectId, u"sensor-1");
    const EventCase cases[] = {
        {"no kind", noKind},
        {"unknown kind", message(4, true, true)},
        {"no sensor ID", message(1, false, true)},
        {"data updated without values", message(1, true, false)},
        {"state changed without state", message(2, true, false)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        transport::SensorEvent decoded;
        EXPECT_EQ(transport::DecodeSensorEvent(Encode(c.message.Get()), &decoded), transport::kMalformedEncoding);
    }
    transport::SensorEvent decoded;
    EXPECT_EQ(transport::DecodeSensorEvent(Bytes{0x50, 0x44}, &decoded), transport::kMalformedEncoding);
}

}  // namespace
}  // namespace sensorcx_test
