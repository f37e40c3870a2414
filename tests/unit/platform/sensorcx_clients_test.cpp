// The class extension's clients: events and state changes reach subscribed files only, a file's
// cleanup undoes what it left, binding and unbinding (subscribers hear that their sensors left),
// and calls from several threads.
#include <atomic>
#include <thread>

#include "../../support/com_test_kit.h"
#include "platform/kernel/synch.h"
#include "platform_testing/com_classes.h"
#include "platform_testing/virtual_clock.h"
#include "sensorcx_fakes.h"
#include "transport/values_codec.h"

namespace sensorcx_test {
namespace {

using platform::testing::SensorCxCall;
using ::testing::_;
using ::testing::ElementsAre;
using ::testing::Return;

DEFINE_PROPERTYKEY(kEventIdKey, "{64346E30-8728-4B34-BDF6-4F52442C5C28}", 2);
DEFINE_PROPERTYKEY(kTimestampKey, "{DB5E0CF2-CF1F-4C18-B46C-D86011D62150}", 2);
DEFINE_PROPERTYKEY(kCelsiusKey, "{8B0AA2F1-2D57-42EE-8CC0-4D27622B46C4}", 2);
constexpr GUID kDataUpdated = platform::MakeGuid("{2ED0F2A4-0087-41D3-87DB-6773370B3C88}");
constexpr HRESULT kShuttingDown = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);

// A data-updated event as the driver builds it: event ID, timestamp, temperature.
ComPtr<IPortableDeviceValuesCollection> DataEvent(IPortableDeviceValues* eventValues, float celsius)
{
    eventValues->SetGuidValue(kEventIdKey, kDataUpdated);
    const FILETIME stamp{1, 2};
    PROPVARIANT v{};
    InitPropVariantFromFileTime(&stamp, &v);
    eventValues->SetValue(kTimestampKey, &v);
    eventValues->SetFloatValue(kCelsiusKey, celsius);
    auto collection = NewCollection();
    collection->Add(eventValues);
    return collection;
}

HRESULT Call(const transport::SensorClient& client,
             HRESULT (transport::SensorClient::*command)(std::u16string_view, HRESULT*) const, std::u16string_view id)
{
    HRESULT result = E_FAIL;
    const HRESULT exchanged = (client.*command)(id, &result);
    return FAILED(exchanged) ? exchanged : result;
}

class SensorCxClientsTest : public ClassExtensionTest {
protected:
    HRESULT Connect(IWDFFile* file, std::u16string_view id)
    {
        return Call(ClientOf(file), &transport::SensorClient::Connect, id);
    }
    HRESULT Disconnect(IWDFFile* file, std::u16string_view id)
    {
        return Call(ClientOf(file), &transport::SensorClient::Disconnect, id);
    }
    HRESULT Subscribe(IWDFFile* file, std::u16string_view id)
    {
        return Call(ClientOf(file), &transport::SensorClient::Subscribe, id);
    }
    HRESULT Unsubscribe(IWDFFile* file, std::u16string_view id)
    {
        return Call(ClientOf(file), &transport::SensorClient::Unsubscribe, id);
    }

    ComPtr<FakeClientFile> a = Make<FakeClientFile>();
    ComPtr<FakeClientFile> b = Make<FakeClientFile>();
    ComPtr<FakeClientFile> c = Make<FakeClientFile>();
    std::u16string sensor = u"{C3A1E5F2-0001-4000-8000-000000000001}";
};

TEST_F(SensorCxClientsTest, PostEvent_ReachesOnlySubscribedFiles_EncodedBeforeItReturns)
{
    const auto silent = Make<FakeSilentFile>();
    ASSERT_EQ(Subscribe(a.Get(), u"{c3a1e5f2-0001-4000-8000-000000000001}"), S_OK);  // letter case differs
    ASSERT_EQ(Connect(b.Get(), sensor), S_OK);
    ASSERT_EQ(Subscribe(c.Get(), u"another sensor"), S_OK);
    ASSERT_EQ(Subscribe(silent.Get(), sensor), S_OK);

    auto eventValues = NewValues();
    const auto collection = DataEvent(eventValues.Get(), 21.5f);
    ASSERT_EQ(cx->PostEvent(sensor.data(), collection.Get()), S_OK);
    eventValues->Clear();  // the driver reuses its values set at once

    const auto events = a->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, transport::SensorEventKind::kDataUpdated);
    EXPECT_EQ(events[0].sensorId, sensor);
    EXPECT_THAT(KeysOf(events[0].values.Get()), ElementsAre(kEventIdKey, kTimestampKey, kCelsiusKey));
    FLOAT celsius = 0;
    EXPECT_EQ(events[0].values->GetFloatValue(kCelsiusKey, &celsius), S_OK);
    EXPECT_EQ(celsius, 21.5f);
    EXPECT_TRUE(b->events().empty());
    EXPECT_TRUE(c->events().empty());
}

TEST_F(SensorCxClientsTest, PostEvent_ToManyFiles_ReachesEachOnceAndInOrder)
{
    // Enough subscribers that two threads share the sends.
    std::vector<ComPtr<FakeClientFile>> files(300);
    for (auto& file : files) {
        file = Make<FakeClientFile>();
        ASSERT_EQ(Subscribe(file.Get(), sensor), S_OK);
    }
    auto eventValues = NewValues();
    for (const float celsius : {20.0f, 21.0f}) {
        ASSERT_EQ(cx->PostEvent(sensor.data(), DataEvent(eventValues.Get(), celsius).Get()), S_OK);
        eventValues->Clear();
    }
    for (const auto& file : files) {
        const auto events = file->events();  // all there once PostEvent has returned
        ASSERT_EQ(events.size(), 2u);
        std::vector<FLOAT> seen(2);
        for (std::size_t i = 0; i < 2; ++i) events[i].values->GetFloatValue(kCelsiusKey, &seen[i]);
        EXPECT_THAT(seen, ElementsAre(20.0f, 21.0f));
    }
}

TEST_F(SensorCxClientsTest, PostStateChange_ReachesSubscribedFiles_AndSucceedsWithNone)
{
    ASSERT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_NOT_AVAILABLE), S_OK);
    ASSERT_EQ(Subscribe(a.Get(), sensor), S_OK);
    ASSERT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_READY), S_OK);

    const auto events = a->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, transport::SensorEventKind::kStateChanged);
    EXPECT_EQ(events[0].state, SENSOR_STATE_READY);
    EXPECT_EQ(cx->PostStateChange(nullptr, SENSOR_STATE_READY), E_POINTER);
    EXPECT_EQ(cx->PostEvent(sensor.data(), nullptr), E_POINTER);
}

TEST_F(SensorCxClientsTest, Subscription_FollowsOnlyWhatTheDriverAccepted_AndOutlivesDisconnect)
{
    EXPECT_CALL(*driver, OnClientSubscribeToEvents(_, _)).WillOnce(Return(E_UNEXPECTED)).WillRepeatedly(Return(S_OK));
    EXPECT_EQ(Subscribe(a.Get(), sensor), E_UNEXPECTED);  // refused: no events
    ASSERT_EQ(Subscribe(b.Get(), sensor), S_OK);
    ASSERT_EQ(Connect(b.Get(), sensor), S_OK);
    ASSERT_EQ(Disconnect(b.Get(), sensor), S_OK);  // a disconnected client stays subscribed
    ASSERT_EQ(Subscribe(c.Get(), sensor), S_OK);
    ASSERT_EQ(Unsubscribe(c.Get(), sensor), S_OK);

    ASSERT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_READY), S_OK);
    EXPECT_TRUE(a->events().empty());
    EXPECT_EQ(b->events().size(), 1u);
    EXPECT_TRUE(c->events().empty());
}

TEST_F(SensorCxClientsTest, CleanupFile_UnsubscribesThenDisconnectsThatFilesSensorsOnly)
{
    IWDFFile* const fileA = a.Get();
    ASSERT_EQ(Connect(fileA, sensor), S_OK);
    ASSERT_EQ(Connect(fileA, u"second"), S_OK);
    ASSERT_EQ(Subscribe(fileA, sensor), S_OK);
    ASSERT_EQ(Connect(b.Get(), sensor), S_OK);
    ASSERT_EQ(Subscribe(b.Get(), sensor), S_OK);
    ::testing::Mock::VerifyAndClearExpectations(driver);

    {
        ::testing::InSequence order;
        EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(fileA, WideEq(sensor.c_str())));
        EXPECT_CALL(*driver, OnClientDisconnect(fileA, WideEq(sensor.c_str())));
        EXPECT_CALL(*driver, OnClientDisconnect(fileA, WideEq(u"second")));
    }
    EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(static_cast<IWDFFile*>(b.Get()), _)).Times(0);
    EXPECT_CALL(*driver, OnClientDisconnect(static_cast<IWDFFile*>(b.Get()), _)).Times(0);
    EXPECT_EQ(cx->CleanupFile(fileA), S_OK);
    EXPECT_EQ(cx->CleanupFile(fileA), S_OK);  // nothing left to undo
    ::testing::Mock::VerifyAndClearExpectations(driver);

    ASSERT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_READY), S_OK);
    EXPECT_TRUE(a->events().empty());
    EXPECT_EQ(b->events().size(), 1u);
    EXPECT_EQ(cx->CleanupFile(nullptr), E_POINTER);
}

TEST_F(SensorCxClientsTest, CleanupFile_AfterTheClientUndidEverything_CallsNothing)
{
    ASSERT_EQ(Connect(a.Get(), sensor), S_OK);
    ASSERT_EQ(Subscribe(a.Get(), sensor), S_OK);
    ASSERT_EQ(Unsubscribe(a.Get(), sensor), S_OK);
    ASSERT_EQ(Disconnect(a.Get(), sensor), S_OK);
    EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(_, _)).Times(0);
    EXPECT_CALL(*driver, OnClientDisconnect(_, _)).Times(0);
    EXPECT_EQ(cx->CleanupFile(a.Get()), S_OK);
}

TEST_F(SensorCxClientsTest, CleanupFile_UndoesOnlyWhatTheDriverAccepted)
{
    EXPECT_CALL(*driver, OnClientConnect(_, _)).WillOnce(Return(E_UNEXPECTED)).WillRepeatedly(Return(S_OK));
    EXPECT_EQ(Connect(a.Get(), sensor), E_UNEXPECTED);  // refused: nothing to disconnect
    ASSERT_EQ(Connect(b.Get(), sensor), S_OK);
    ASSERT_EQ(Subscribe(b.Get(), sensor), S_OK);
    ASSERT_EQ(Disconnect(b.Get(), sensor), S_OK);  // still subscribed

    IWDFFile* const fileB = b.Get();
    EXPECT_CALL(*driver, OnClientDisconnect(_, _)).Times(0);
    EXPECT_CALL(*driver, OnClientUnsubscribeFromEvents(fileB, WideEq(sensor.c_str()))).Times(1);
    EXPECT_EQ(cx->CleanupFile(a.Get()), S_OK);
    EXPECT_EQ(cx->CleanupFile(fileB), S_OK);
}

TEST_F(SensorCxClientsTest, StateChangePostedFromInsideACallback_IsDeliveredWithoutDeadlock)
{
    ASSERT_EQ(Subscribe(a.Get(), sensor), S_OK);
    EXPECT_CALL(*driver, OnClientConnect(_, _)).WillOnce([&](IWDFFile*, LPWSTR id) {
        EXPECT_EQ(cx->PostStateChange(id, SENSOR_STATE_READY), S_OK);
        auto eventValues = NewValues();
        EXPECT_EQ(cx->PostEvent(id, DataEvent(eventValues.Get(), 20.0f).Get()), S_OK);
        return S_OK;
    });

    EXPECT_EQ(Connect(b.Get(), sensor), S_OK);
    const auto events = a->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, transport::SensorEventKind::kStateChanged);
    EXPECT_EQ(events[1].kind, transport::SensorEventKind::kDataUpdated);
}

TEST_F(SensorCxClientsTest, Uninitialize_TellsEachSubscribedFileThatItsSensorsLeft)
{
    ASSERT_EQ(Subscribe(a.Get(), sensor), S_OK);
    ASSERT_EQ(Subscribe(a.Get(), u"another sensor"), S_OK);
    ASSERT_EQ(Connect(b.Get(), sensor), S_OK);  // connected, not subscribed: hears nothing
    ASSERT_EQ(cx->Uninitialize(), S_OK);

    const auto events = a->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, transport::SensorEventKind::kLeft);
    EXPECT_EQ(events[0].sensorId, sensor);
    EXPECT_EQ(events[1].kind, transport::SensorEventKind::kLeft);
    EXPECT_EQ(events[1].sensorId, u"another sensor");
    EXPECT_TRUE(b->events().empty());
    ASSERT_EQ(cx->Uninitialize(), S_OK);  // once only: the clients are forgotten
    EXPECT_EQ(a->events().size(), 2u);
}

TEST_F(SensorCxClientsTest, Uninitialize_WaitsForACallbackInFlight_AndRefusesNewOnes)
{
    struct Context {
        ISensorClassExtension* cx;
        transport::SensorClient client;
        std::u16string sensor;
        HANDLE entered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::atomic<HRESULT> connected{E_FAIL};
    } context{cx.Get(), ClientOf(a.Get()), sensor};
    EXPECT_CALL(*driver, OnClientConnect(_, _)).WillOnce([&](IWDFFile*, LPWSTR) {
        SetEvent(context.entered);
        WaitForSingleObject(context.release, INFINITE);
        return S_OK;
    });

    HANDLE request = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            auto* c = static_cast<Context*>(p);
            HRESULT hr = E_FAIL;
            c->client.Connect(c->sensor, &hr);
            c->connected = hr;
            return 0;
        },
        &context, 0, nullptr);
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(WaitForSingleObject(context.entered, INFINITE), WAIT_OBJECT_0);
    HANDLE unbind = CreateThread(
        nullptr, 0,
        [](LPVOID p) -> DWORD {
            static_cast<Context*>(p)->cx->Uninitialize();
            return 0;
        },
        &context, 0, nullptr);
    ASSERT_NE(unbind, nullptr);
    platform::testing::VirtualClock::RunUntilIdle();  // both threads are blocked now

    EXPECT_EQ(WaitForSingleObject(unbind, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(test_support::RefCount(driver->GetUnknown()), 2u);  // the fixture's and the class extension's
    EXPECT_EQ(Subscribe(b.Get(), sensor), kShuttingDown);
    EXPECT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_READY), kShuttingDown);

    SetEvent(context.release);
    EXPECT_EQ(WaitForSingleObject(unbind, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(request, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(context.connected.load(), S_OK);
    EXPECT_EQ(test_support::RefCount(driver->GetUnknown()), 1u);  // released once the callback returned
    for (HANDLE h : {request, unbind, context.entered, context.release}) CloseHandle(h);
}

TEST_F(SensorCxClientsTest, Initialize_RefusesMissingOrWrongObjectsAndASecondBinding)
{
    ComPtr<ISensorClassExtension> fresh;
    ASSERT_EQ(CoCreateInstance(CLSID_SensorClassExtension, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(ISensorClassExtension), reinterpret_cast<void**>(fresh.GetAddressOf())),
              S_OK);
    EXPECT_EQ(fresh->Initialize(device.Get(), nullptr), E_POINTER);
    EXPECT_EQ(fresh->Initialize(nullptr, driver->GetUnknown()), E_POINTER);
    EXPECT_EQ(fresh->Initialize(device.Get(), device.Get()), E_NOINTERFACE);
    EXPECT_EQ(fresh->Initialize(device.Get(), driver->GetUnknown()), S_OK);
    EXPECT_EQ(fresh->Initialize(device.Get(), driver->GetUnknown()), E_UNEXPECTED);
    EXPECT_EQ(cx->Initialize(device.Get(), driver->GetUnknown()), E_UNEXPECTED);
    EXPECT_EQ(fresh->Uninitialize(), S_OK);
    EXPECT_EQ(fresh->Uninitialize(), S_OK);
    EXPECT_EQ(fresh->Initialize(device.Get(), driver->GetUnknown()), E_UNEXPECTED);
    EXPECT_EQ(test_support::RefCount(driver->GetUnknown()), 2u);  // the fixture's and cx's
}

TEST_F(SensorCxClientsTest, Class_IsBuiltInAndCanBeMadeAbsent)
{
    test_support::ExpectInterface(cx.Get(), __uuidof(ISensorClassExtension), true);
    test_support::ExpectInterface(cx.Get(), __uuidof(ISensorDriver), false);
    platform::testing::UnregisterClass(CLSID_SensorClassExtension);
    ComPtr<ISensorClassExtension> absent;
    EXPECT_EQ(CoCreateInstance(CLSID_SensorClassExtension, nullptr, CLSCTX_INPROC_SERVER,
                               __uuidof(ISensorClassExtension), reinterpret_cast<void**>(absent.GetAddressOf())),
              REGDB_E_CLASSNOTREG);
    platform::testing::RestoreBuiltinClasses();
}

TEST_F(SensorCxClientsTest, Recorder_KeepsWhatEachInstanceWasGivenInOrder)
{
    platform::testing::SensorClassExtensionRecorder recorder;
    ASSERT_EQ(Subscribe(a.Get(), sensor), S_OK);
    auto eventValues = NewValues();
    ASSERT_EQ(cx->PostEvent(sensor.data(), DataEvent(eventValues.Get(), -8.8f).Get()), S_OK);
    ASSERT_EQ(cx->PostStateChange(sensor.data(), SENSOR_STATE_NOT_AVAILABLE), S_OK);
    ASSERT_EQ(cx->CleanupFile(a.Get()), S_OK);
    ASSERT_EQ(cx->Uninitialize(), S_OK);

    const auto calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].call, SensorCxCall::kProcessIoControl);
    EXPECT_EQ(calls[0].controlCode, transport::kSensorMessageReadCode);
    EXPECT_EQ(calls[0].command, static_cast<ULONG>(transport::SensorCommand::kSubscribe));
    EXPECT_EQ(calls[0].objectId, sensor);
    EXPECT_EQ(calls[0].file, static_cast<IWDFFile*>(a.Get()));
    EXPECT_EQ(calls[1].call, SensorCxCall::kPostEvent);
    ComPtr<IPortableDeviceValues> posted;
    ASSERT_EQ(calls[1].DecodedEvent(0, posted.GetAddressOf()), S_OK);
    FLOAT celsius = 0;
    EXPECT_EQ(posted->GetFloatValue(kCelsiusKey, &celsius), S_OK);
    EXPECT_EQ(celsius, -8.8f);
    EXPECT_EQ(calls[2].call, SensorCxCall::kPostStateChange);
    EXPECT_EQ(calls[2].state, SENSOR_STATE_NOT_AVAILABLE);
    EXPECT_EQ(calls[3].call, SensorCxCall::kCleanupFile);
    EXPECT_EQ(calls[4].call, SensorCxCall::kUninitialize);
    for (const auto& call : calls) EXPECT_EQ(call.instance, calls[0].instance);
    EXPECT_EQ(recorder.Calls(SensorCxCall::kPostEvent).size(), 1u);
}

TEST_F(SensorCxClientsTest, ConcurrentClientsAndEvents_KeepEveryRecordConsistent)
{
    constexpr int kClients = 4;
    constexpr int kRounds = 25;
    std::atomic<int> connects{0};
    std::atomic<int> disconnects{0};
    std::atomic<int> unsubscribes{0};
    ON_CALL(*driver, OnClientConnect(_, _)).WillByDefault([&](IWDFFile*, LPWSTR id) {
        connects.fetch_add(1);
        return cx->PostStateChange(id, SENSOR_STATE_READY);  // re-enters, as the driver does
    });
    ON_CALL(*driver, OnClientDisconnect(_, _)).WillByDefault([&](IWDFFile*, LPWSTR) {
        disconnects.fetch_add(1);
        return S_OK;
    });
    ON_CALL(*driver, OnClientUnsubscribeFromEvents(_, _)).WillByDefault([&](IWDFFile*, LPWSTR) {
        unsubscribes.fetch_add(1);
        return S_OK;
    });

    std::vector<ComPtr<FakeClientFile>> files;
    for (int i = 0; i < kClients; ++i) files.push_back(Make<FakeClientFile>());
    std::atomic<bool> stop{false};
    std::thread poster([&] {
        auto eventValues = NewValues();
        while (!stop.load()) {
            eventValues->Clear();
            cx->PostEvent(sensor.data(), DataEvent(eventValues.Get(), 25.0f).Get());
        }
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, file = files[i].Get()] {
            const auto client = ClientOf(file);
            const PROPERTYKEY keys[] = {kCelsiusKey};
            for (int round = 0; round < kRounds; ++round) {
                EXPECT_EQ(Call(client, &transport::SensorClient::Connect, sensor), S_OK);
                EXPECT_EQ(Call(client, &transport::SensorClient::Subscribe, sensor), S_OK);
                transport::ValuesResult data;
                EXPECT_EQ(client.GetDataFields(sensor, keys, &data), S_OK);
                EXPECT_EQ(Call(client, &transport::SensorClient::Unsubscribe, sensor), S_OK);
                if (round + 1 < kRounds) {
                    EXPECT_EQ(Call(client, &transport::SensorClient::Disconnect, sensor), S_OK);
                }
            }
        });
    }
    for (auto& t : clients) t.join();
    stop = true;
    poster.join();

    // The last round left each file connected: its cleanup disconnects it, and only that.
    for (const auto& file : files) EXPECT_EQ(cx->CleanupFile(file.Get()), S_OK);
    EXPECT_EQ(connects.load(), kClients * kRounds);
    EXPECT_EQ(disconnects.load(), kClients * kRounds);
    EXPECT_EQ(unsubscribes.load(), kClients * kRounds);
    for (const auto& file : files) {
        for (const auto& event : file->events()) EXPECT_EQ(event.sensorId, sensor);
    }
}

}  // namespace
}  // namespace sensorcx_test
