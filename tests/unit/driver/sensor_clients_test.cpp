// The sensor's clients: connections, report-interval wishes and the working values made from them,
// subscriptions, the power reference that connected clients hold, the radio-state control codes,
// and acquisition stopping with the last client.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/probe/thermal_driver_contract.h"
#include "platform/wdf/io_request.h"
#include "platform/wdf/memory.h"
#include "sensor_test_kit.h"

namespace {

using namespace sensor_test;
using ::testing::_;

// A block of request memory; an empty block has no buffer.
class FakeMemory final : public platform::ComObject<FakeMemory, IWDFMemory> {
public:
    explicit FakeMemory(std::vector<BYTE> bytes) : bytes(std::move(bytes)) {}
    void* STDMETHODCALLTYPE GetDataBuffer(SIZE_T* pSize) override
    {
        if (pSize != nullptr) *pSize = bytes.size();
        return bytes.empty() ? nullptr : bytes.data();
    }
    std::vector<BYTE> bytes;
};

// A radio-state request with its input bytes and an output buffer filled with 0xCC.
class RadioRequest final : public platform::ComObject<RadioRequest, IWDFIoRequest> {
public:
    RadioRequest(std::vector<BYTE> input, std::size_t outputSize)
        : m_input(new FakeMemory(std::move(input))), m_output(new FakeMemory(std::vector<BYTE>(outputSize, 0xCC)))
    {
    }
    void STDMETHODCALLTYPE CompleteWithInformation(HRESULT, SIZE_T) override {}
    void STDMETHODCALLTYPE GetInputMemory(IWDFMemory** memory) override { *memory = Ref(m_input.Get()); }
    void STDMETHODCALLTYPE GetOutputMemory(IWDFMemory** memory) override { *memory = Ref(m_output.Get()); }
    void STDMETHODCALLTYPE GetFileObject(IWDFFile** file) override { *file = nullptr; }
    void STDMETHODCALLTYPE GetDeviceIoControlParameters(ULONG*, SIZE_T*, SIZE_T*) override {}
    const std::vector<BYTE>& Output() const { return m_output->bytes; }

private:
    static IWDFMemory* Ref(FakeMemory* memory)
    {
        memory->AddRef();
        return memory;
    }

    ComPtr<FakeMemory> m_input;
    ComPtr<FakeMemory> m_output;
};

std::vector<BYTE> ValueBytes(LONG value)
{
    std::vector<BYTE> bytes(sizeof(value));
    std::memcpy(bytes.data(), &value, sizeof(value));
    return bytes;
}

// A started manager with its self-managed I/O active, and the sensor's client operations.
class SensorClients : public SensorManagerTest {
public:
    void SetUp() override
    {
        ASSERT_EQ(Start(WdfPowerDeviceD3Final), S_OK);
        m_manager->SetIoActive(true);
        sensor = Sensor();
        ASSERT_NE(sensor, nullptr);
    }

protected:
    // A client's write of the report interval: the key's result, then the write's.
    std::pair<HRESULT, HRESULT> Ask(ULONGLONG client, ULONG milliseconds)
    {
        PROPVARIANT value;
        InitPropVariantFromUInt32(milliseconds, &value);
        HRESULT key = E_FAIL;
        const HRESULT write = sensor->SetClientReportInterval(client, &value, false, &key);
        return {key, write};
    }
    ULONG Wish(ULONGLONG client)
    {
        ULONG interval = 0;
        ULONG accuracy = 0;
        float sensitivities[CSensor::kSensitivitySlots];
        EXPECT_EQ(sensor->GetClientSettings(client, &interval, &accuracy, sensitivities), S_OK);
        return interval;
    }
    HRESULT SetRadio(ULONG code, std::vector<BYTE> input)
    {
        ComPtr<RadioRequest> request(new RadioRequest(std::move(input), 0));
        return m_manager->ProcessPrivateIoControl(request.Get(), code);
    }
    // The value a get answers into a buffer of outputSize bytes; the buffer as it was left.
    std::pair<HRESULT, std::vector<BYTE>> GetRadio(ULONG code, std::size_t outputSize = sizeof(ULONG))
    {
        ComPtr<RadioRequest> request(new RadioRequest({}, outputSize));
        const HRESULT hr = m_manager->ProcessPrivateIoControl(request.Get(), code);
        return {hr, request->Output()};
    }

    CThermalSensor* sensor = nullptr;
};

const std::pair<HRESULT, HRESULT> kAccepted{S_OK, S_OK};
const std::pair<HRESULT, HRESULT> kRefused{E_INVALIDARG, S_OK};

SENSOR_TEST(SensorClients, ReportInterval_IsTheSmallestWishAtLeastTheMinimum)
{
    for (ULONGLONG client : {1, 2, 3}) ASSERT_EQ(sensor->Connect(client), S_OK);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 1000u);
    EXPECT_EQ(sensor->GetReportingMode(), 1);

    EXPECT_EQ(Ask(1, 0), kAccepted);
    EXPECT_EQ(Ask(2, 250), kAccepted);
    EXPECT_EQ(Ask(3, 120), kAccepted);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 120u);
    EXPECT_EQ(sensor->GetReportingMode(), 2);
    EXPECT_EQ(sensor->GetPeriodic(), 1);

    // Below the minimum: refused for the key, the client's wish unchanged.
    EXPECT_EQ(Ask(1, 99), kRefused);
    EXPECT_EQ(Wish(1), 0u);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 120u);
    EXPECT_EQ(Ask(1, 100), kAccepted);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 100u);

    // 0 withdraws a wish.
    EXPECT_EQ(Ask(1, 0), kAccepted);
    EXPECT_EQ(Ask(3, 0), kAccepted);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 250u);
    EXPECT_EQ(Ask(2, 0), kAccepted);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 1000u);
    EXPECT_EQ(sensor->GetReportingMode(), 1);
    EXPECT_EQ(sensor->GetPeriodic(), 0);

    PROPVARIANT text{};
    text.vt = VT_LPWSTR;
    text.pwszVal = const_cast<LPWSTR>(u"500");
    HRESULT key = S_OK;
    EXPECT_EQ(sensor->SetClientReportInterval(1, &text, false, &key), S_OK);
    EXPECT_EQ(key, E_INVALIDARG);
    EXPECT_EQ(Wish(1), 0u);
}

SENSOR_TEST(SensorClients, Disconnect_OfTheOnlyWish_FallsBackToTheDefaultInMode1)
{
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Connect(2), S_OK);
    EXPECT_EQ(Ask(1, 500), kAccepted);
    EXPECT_EQ(Ask(2, 0), kAccepted);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 500u);
    EXPECT_EQ(sensor->GetReportingMode(), 2);
    ASSERT_EQ(sensor->RefreshDerivedProperties(), S_OK);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), 500);

    EXPECT_EQ(sensor->Disconnect(1), S_OK);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 1000u);
    EXPECT_EQ(sensor->GetReportingMode(), 1);
    EXPECT_EQ(sensor->GetPeriodic(), 0);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_CURRENT_REPORT_INTERVAL), 1000);

    EXPECT_EQ(sensor->Disconnect(2), S_OK);
    EXPECT_EQ(sensor->GetReportingMode(), 0);
}

SENSOR_TEST(SensorClients, ClientsNotConnected_AreRefused_AndADuplicateConnectChangesNothing)
{
    ASSERT_EQ(sensor->Connect(1), S_OK);
    EXPECT_EQ(Ask(1, 400), kAccepted);
    EXPECT_EQ(sensor->Connect(1), S_OK);
    EXPECT_EQ(sensor->GetConnectedClientCount(), 1u);
    EXPECT_EQ(Wish(1), 400u);

    ULONG interval = 7;
    ULONG accuracy = 7;
    float sensitivities[CSensor::kSensitivitySlots] = {};
    EXPECT_EQ(sensor->GetClientSettings(2, &interval, &accuracy, sensitivities), kNotFound);
    EXPECT_EQ(sensor->GetClientSettings(1, nullptr, &accuracy, sensitivities), E_POINTER);
    EXPECT_EQ(Ask(2, 500).second, kNotFound);
    EXPECT_EQ(sensor->Disconnect(2), E_UNEXPECTED);

    ASSERT_EQ(sensor->GetClientSettings(1, &interval, &accuracy, sensitivities), S_OK);
    EXPECT_EQ(accuracy, 0u);
    for (float value : sensitivities) EXPECT_EQ(value, -1.0f);

    EXPECT_EQ(sensor->Disconnect(1), S_OK);
    EXPECT_EQ(sensor->Disconnect(1), E_UNEXPECTED);
}

SENSOR_TEST(SensorClients, Subscribe_Twice_IsRefusedAndChangesNothing)
{
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Subscribe(1), S_OK);
    EXPECT_EQ(sensor->GetReportingMode(), 2);
    EXPECT_EQ(sensor->Subscribe(1), E_UNEXPECTED);
    EXPECT_EQ(sensor->GetSubscriberCount(), 1u);
    EXPECT_EQ(sensor->GetReportingMode(), 2);

    // Disconnecting keeps the subscription.
    EXPECT_EQ(sensor->Disconnect(1), S_OK);
    EXPECT_EQ(sensor->GetSubscriberCount(), 1u);
    EXPECT_EQ(sensor->Unsubscribe(1), S_OK);
    EXPECT_EQ(sensor->Unsubscribe(1), E_UNEXPECTED);
}

SENSOR_TEST(SensorClients, Connect_HoldsTheChangeSensitivityDefaultForTheTemperatureField)
{
    ASSERT_EQ(sensor->Connect(1), S_OK);
    PROPVARIANT stored;
    PropVariantInit(&stored);
    ASSERT_EQ(sensor->GetProperty(SENSOR_PROPERTY_CHANGE_SENSITIVITY, &stored), S_OK);
    ASSERT_EQ(stored.vt, VT_UNKNOWN);
    ComPtr<IPortableDeviceValues> sensitivities;
    ASSERT_EQ(stored.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                             reinterpret_cast<void**>(sensitivities.GetAddressOf())),
              S_OK);
    PropVariantClear(&stored);
    FLOAT celsius = 0;
    EXPECT_EQ(sensitivities->GetFloatValue(SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS, &celsius), S_OK);
    EXPECT_EQ(celsius, 5.0f);
    DWORD count = 0;
    EXPECT_EQ(sensitivities->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1u);  // the timestamp takes none
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_LOCATION_DESIRED_ACCURACY), 0);
}

SENSOR_TEST(SensorClients, CollectorInterval_ChangesOnlyOnAReportIntervalWrite)
{
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Connect(2), S_OK);
    EXPECT_EQ(m_acquisition->GetReportInterval(), 1000u);
    EXPECT_EQ(Ask(1, 500), kAccepted);
    EXPECT_EQ(m_acquisition->GetReportInterval(), 500u);

    EXPECT_EQ(sensor->Disconnect(1), S_OK);
    EXPECT_EQ(sensor->GetCurrentReportInterval(), 1000u);
    EXPECT_EQ(m_acquisition->GetReportInterval(), 500u);

    // Even a refused wish hands the sensor's interval over.
    EXPECT_EQ(Ask(2, 99), kRefused);
    EXPECT_EQ(m_acquisition->GetReportInterval(), 1000u);
}

SENSOR_TEST(SensorClients, LastDisconnect_StopsAcquisition_UntilTheManagerStartsAgain)
{
    ASSERT_EQ(m_manager->Stop(WdfPowerDeviceD2), S_OK);
    ASSERT_EQ(Start(WdfPowerDeviceD2), S_OK);
    ASSERT_EQ(m_acquisition->IsStarted(), 1);

    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Connect(2), S_OK);
    EXPECT_EQ(sensor->Disconnect(1), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
    EXPECT_EQ(sensor->Disconnect(2), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);
    ASSERT_EQ(sensor->Connect(3), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 0);

    ASSERT_EQ(m_manager->Stop(WdfPowerDeviceD2), S_OK);
    ASSERT_EQ(Start(WdfPowerDeviceD2), S_OK);
    EXPECT_EQ(m_acquisition->IsStarted(), 1);
}

SENSOR_TEST(SensorClients, PowerReference_IsHeldFromTheFirstConnectToTheLastDisconnect)
{
    {
        ::testing::InSequence order;
        EXPECT_CALL(*m_device.Get(), StopIdle(FALSE));
        EXPECT_CALL(*m_device.Get(), ResumeIdle());
    }
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Connect(2), S_OK);
    EXPECT_TRUE(sensor->HoldsPowerReference());
    ASSERT_EQ(sensor->Disconnect(1), S_OK);
    ASSERT_EQ(sensor->Disconnect(2), S_OK);
    EXPECT_FALSE(sensor->HoldsPowerReference());
}

SENSOR_TEST(SensorClients, RadioState_SwitchesTheSensorAndTheClientsPowerReference)
{
    {
        ::testing::InSequence order;
        EXPECT_CALL(*m_device.Get(), StopIdle(FALSE));  // the client connects
        EXPECT_CALL(*m_device.Get(), ResumeIdle());     // off
        EXPECT_CALL(*m_device.Get(), StopIdle(FALSE));  // on again
        EXPECT_CALL(*m_device.Get(), ResumeIdle());     // 5: no reading is taken
    }
    // Without a client there is no power reference to give back or take.
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(1)), S_OK);
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(0)), S_OK);

    ASSERT_EQ(sensor->Connect(1), S_OK);
    DeliverReading(21.5);
    ASSERT_EQ(UInt(sensor, SENSOR_PROPERTY_STATE), SENSOR_STATE_READY);

    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(1)), S_OK);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_STATE), SENSOR_STATE_NOT_AVAILABLE);
    EXPECT_EQ(DataField(sensor, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);
    EXPECT_EQ(DataField(sensor, SENSOR_DATA_TYPE_TIMESTAMP).vt, VT_EMPTY);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 1);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), 1);
    EXPECT_EQ(GetRadio(IOCTL_GET_RADIO_STATE), std::make_pair(S_OK, ValueBytes(1)));
    DeliverReading(22.0);  // no reading is taken while the radio is off
    EXPECT_EQ(DataField(sensor, SENSOR_DATA_TYPE_TEMPERATURE_CELSIUS).vt, VT_EMPTY);

    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(0)), S_OK);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_STATE), SENSOR_STATE_INITIALIZING);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), 0);

    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(7)), E_INVALIDARG);
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(-1)), E_INVALIDARG);
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, {0, 0}), E_INVALIDARG);
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, {}), E_INVALIDARG);
    EXPECT_EQ(sensor->GetRequestedRadioState(), 0u);

    // Stored and applied, but not published; the power reference is given back as for 1, and the
    // client's disconnect then has none left to give.
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(5)), E_UNEXPECTED);
    EXPECT_EQ(GetRadio(IOCTL_GET_RADIO_STATE), std::make_pair(S_OK, ValueBytes(5)));
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 0);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), 0);
    EXPECT_FALSE(sensor->HoldsPowerReference());
    ASSERT_EQ(sensor->Disconnect(1), S_OK);

    EXPECT_EQ(GetRadio(IOCTL_GET_RADIO_STATE, 8), std::make_pair(S_OK, std::vector<BYTE>(8, 0xCC)));
    EXPECT_EQ(m_gate->Word(), 0u);
}

// The first set pauses in its write of the device's property store while the second runs: the
// applied state, its property and its stored value still agree, on the state set last.
SENSOR_TEST(SensorClients, RadioSets_Interleaved_LeaveTheAppliedPublishedAndStoredStatesAgreeing)
{
    std::promise<void> paused;
    std::future<void> pausedFuture = paused.get_future();
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    std::atomic<bool> first{true};
    m_device->Store().beforeSet = [&](const std::u16string& name) {
        if (name == CSensor::kRadioStateValueName && first.exchange(false)) {
            paused.set_value();
            resumed.wait();
        }
        return S_OK;
    };
    std::thread off([&] { SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(1)); });
    pausedFuture.wait();
    std::atomic<bool> onDone{false};
    std::thread on([&] {
        SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(0));
        onDone = true;
    });
    // The second set may finish meanwhile, or wait for the first.
    for (int i = 0; i < 20000 && !onDone.load(); ++i) std::this_thread::yield();
    resume.set_value();
    off.join();
    on.join();

    EXPECT_EQ(sensor->GetAppliedRadioState(), 0u);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 0);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), 0);
}

// Whatever fails in it, a subscribe that is answered with a failure leaves no subscription, and
// one answered with success leaves one. A failed write of the device's property store belongs to
// the radio step alone and fails no subscribe.
SENSOR_TEST(SensorClients, Subscribe_LeavesASubscriptionExactlyWhenItSucceeds)
{
    const struct {
        const char* fault;
        std::function<void()> inject;
        HRESULT result;
    } cases[] = {
        {"device property store write",
         [&] { m_device->Store().beforeSet = [](const std::u16string&) { return E_ACCESSDENIED; }; }, S_OK},
        {"property read", [] { platform::testing::FailCall("PropVariantCopy"); }, E_OUTOFMEMORY},
    };
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->GetReportingMode(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        c.inject();
        EXPECT_EQ(sensor->Subscribe(1), c.result);
        m_device->Store().beforeSet = nullptr;
        EXPECT_EQ(sensor->GetSubscriberCount(), SUCCEEDED(c.result) ? 1u : 0u);
        EXPECT_EQ(sensor->GetReportingMode(), SUCCEEDED(c.result) ? 2 : 1);
        // A client left subscribed could not subscribe again.
        if (SUCCEEDED(c.result)) {
            ASSERT_EQ(sensor->Unsubscribe(1), S_OK);
        }
        EXPECT_EQ(sensor->Subscribe(1), S_OK);
        ASSERT_EQ(sensor->Unsubscribe(1), S_OK);
    }
}

// The sensitivity recompute cannot count the data fields: the connect fails, and takes back what it
// did (the client, and the power reference of the first client).
SENSOR_TEST(SensorClients, Connect_WhenARecomputeFails_LeavesNoClientAndNoPowerReference)
{
    {
        ::testing::InSequence order;
        EXPECT_CALL(*m_device.Get(), StopIdle(FALSE));
        EXPECT_CALL(*m_device.Get(), ResumeIdle());
    }
    platform::testing::FailCall("IPortableDeviceKeyCollection::GetCount", 1, static_cast<std::uint32_t>(E_FAIL));
    EXPECT_EQ(sensor->Connect(1), E_FAIL);
    EXPECT_EQ(sensor->GetConnectedClientCount(), 0u);
    EXPECT_FALSE(sensor->HoldsPowerReference());
    EXPECT_EQ(sensor->GetReportingMode(), 0);
    EXPECT_EQ(sensor->Disconnect(1), E_UNEXPECTED);
}

SENSOR_TEST(SensorClients, PreviousRadioState_IsStoredAndPublishedOnly)
{
    EXPECT_CALL(*m_device.Get(), ResumeIdle()).Times(0);
    EXPECT_EQ(SetRadio(IOCTL_SET_PREVIOUS_RADIO_STATE, ValueBytes(4)), S_OK);
    EXPECT_EQ(GetRadio(IOCTL_GET_PREVIOUS_RADIO_STATE), std::make_pair(S_OK, ValueBytes(4)));
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE_PREVIOUS), 4);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kPreviousRadioStateValueName), 4);
    EXPECT_EQ(sensor->GetAppliedRadioState(), 0u);
    EXPECT_EQ(SetRadio(IOCTL_SET_PREVIOUS_RADIO_STATE, ValueBytes(9)), E_INVALIDARG);
}

SENSOR_TEST(SensorClients, RadioRequests_DuringTeardown_AreRefused)
{
    m_gate->BeginTeardown();
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(1)), HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS));
    EXPECT_EQ(sensor->GetRequestedRadioState(), 0u);
}

SENSOR_TEST(SensorClients, EventWithoutAReading_DoesNotLetTheDeviceIdle)
{
    const auto dxStates = [&] {
        std::vector<DEVICE_POWER_STATE> states;
        for (const auto& settings : m_device->IdleSettings()) states.push_back(settings.DxState);
        return states;
    };
    using States = std::vector<DEVICE_POWER_STATE>;
    ASSERT_EQ(sensor->Connect(1), S_OK);
    ASSERT_EQ(sensor->Subscribe(1), S_OK);
    EXPECT_EQ(Ask(1, 300000), kAccepted);
    m_clock.AdvanceBy(240000ms);  // the timer wakes the device for the next report
    ASSERT_EQ(dxStates(), (States{PowerDeviceD2, PowerDeviceD3}));
    const std::size_t events = ClassExtensionCalls(CxCall::kPostEvent).size();

    m_acquisition->DeliverTemperature(CThermalSensor::kNoReading);
    m_clock.RunUntilIdle();
    EXPECT_EQ(ClassExtensionCalls(CxCall::kPostEvent).size(), events + 1);
    EXPECT_EQ(dxStates(), (States{PowerDeviceD2, PowerDeviceD3}));

    m_acquisition->SetLatestTemperature(21.0);
    m_acquisition->DeliverTemperature(21.0);
    m_clock.RunUntilIdle();
    EXPECT_EQ(ClassExtensionCalls(CxCall::kPostEvent).size(), events + 2);
    EXPECT_EQ(dxStates(), (States{PowerDeviceD2, PowerDeviceD3, PowerDeviceD2}));
}

SENSOR_TEST(SensorClients, ClientOperationsFromSeveralThreads_WhileTheIdleTimerFires_LeaveNothingBehind)
{
    std::atomic<int> stops{0};
    std::atomic<int> resumes{0};
    EXPECT_CALL(*m_device.Get(), StopIdle(FALSE)).WillRepeatedly([&](BOOL) { ++stops; });
    EXPECT_CALL(*m_device.Get(), ResumeIdle()).WillRepeatedly([&] { ++resumes; });
    std::mutex connection;  // the sensor-driver object's connection lock
    std::atomic<int> running{4};
    std::vector<std::thread> clients;
    for (ULONGLONG client = 1; client <= 4; ++client) {
        clients.emplace_back([&, client] {
            for (int round = 0; round < 40; ++round) {
                {
                    std::lock_guard lock(connection);
                    EXPECT_EQ(sensor->Connect(client), S_OK);
                }
                EXPECT_EQ(sensor->Subscribe(client), S_OK);
                EXPECT_EQ(Ask(client, round % 2 == 0 ? 300000 : 1000), kAccepted);
                SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(static_cast<LONG>((round + client) % 2)));
                EXPECT_EQ(sensor->Unsubscribe(client), S_OK);
                std::lock_guard lock(connection);
                EXPECT_EQ(sensor->Disconnect(client), S_OK);
            }
            --running;
        });
    }
    while (running.load() != 0) m_clock.AdvanceBy(60000ms);
    for (auto& thread : clients) thread.join();

    // Whichever set came last, the applied state, its property and its stored value agree.
    const long long applied = sensor->GetAppliedRadioState();
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), applied);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), applied);
    EXPECT_EQ(SetRadio(IOCTL_SET_RADIO_STATE, ValueBytes(0)), S_OK);
    EXPECT_EQ(UInt(sensor, SENSOR_PROPERTY_RADIO_STATE), 0);
    EXPECT_EQ(m_device->Store().UInt(CSensor::kRadioStateValueName), 0);
    m_clock.AdvanceBy(600000ms);
    EXPECT_EQ(sensor->GetConnectedClientCount(), 0u);
    EXPECT_EQ(sensor->GetSubscriberCount(), 0u);
    EXPECT_FALSE(sensor->HoldsPowerReference());
    EXPECT_EQ(stops.load(), resumes.load());
    EXPECT_GT(stops.load(), 0);
}

}  // namespace
