// The device callback object and its default queue, driven on a host device of the host library:
// the test-mode switch, hardware preparation and identification, the queue it keeps or not, the
// in-flight word during teardown, and the routing of control codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/test_mode.h"
#include "driver/thermal_device.h"
#include "host/host_device.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform/sensorcx/sensor_class_extension.h"
#include "platform/setupapi/setupapi.h"
#include "platform/wdf/queue_callbacks.h"
#include "platform/win32_error.h"
#include "platform_testing/com_classes.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "sensor/sensor_manager.h"
#include "sim/device_tree.h"
#include "sim/probe_devices.h"
#include "sim/registry.h"

namespace {

using platform::ComPtr;
using platform::host::CHostDevice;
using platform::host::CHostFile;
using platform::host::FileAccess;
using platform::host::IoResult;

constexpr WCHAR kConfigureKey[] = u"Software\\Varmel\\Configure";
constexpr HRESULT kShutdown = HRESULT_FROM_WIN32(ERROR_SHUTDOWN_IN_PROGRESS);
constexpr HRESULT kNotSupported = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
constexpr ULONG kSensorMessage = 0x00404108;

void SetTestMode(const std::u16string& text)
{
    sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigureKey, u"TestMode", text);
}

std::uint32_t ProbeOpens()
{
    return sim::DeviceOpenCount(sim::ProbeInstanceId(sim::Probe::kFixedPath)) +
           sim::DeviceOpenCount(sim::ProbeInstanceId(sim::Probe::kInterface));
}

std::uint32_t ProbeHandles()
{
    return sim::DeviceOpenHandleCount(sim::ProbeInstanceId(sim::Probe::kFixedPath)) +
           sim::DeviceOpenHandleCount(sim::ProbeInstanceId(sim::Probe::kInterface));
}

// A queue callback object for a default queue that someone other than the device made.
class OtherQueueCallback final : public platform::ComObject<OtherQueueCallback, IQueueCallbackDeviceIoControl> {
public:
    void STDMETHODCALLTYPE OnDeviceIoControl(IWDFIoQueue*, IWDFIoRequest* request, ULONG, SIZE_T, SIZE_T) override
    {
        request->CompleteWithInformation(S_OK, 0);
    }
};

// A class extension whose ProcessIoControl holds each request until the test lets it go.
class HoldingClassExtension final : public platform::ComObject<HoldingClassExtension, ISensorClassExtension> {
public:
    struct Gates {
        HANDLE entered[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
        HANDLE release[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
        std::atomic<int> arrivals{0};
        std::atomic<int> uninitialized{0};
        ~Gates()
        {
            for (HANDLE h : entered) CloseHandle(h);
            for (HANDLE h : release) CloseHandle(h);
        }
    };
    static Gates& Shared()
    {
        static Gates gates;
        return gates;
    }

    HRESULT STDMETHODCALLTYPE Initialize(IUnknown*, IUnknown*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Uninitialize() override
    {
        Shared().uninitialized.fetch_add(1);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ProcessIoControl(IWDFIoRequest* request) override
    {
        Gates& gates = Shared();
        const int index = gates.arrivals.fetch_add(1) % 2;
        SetEvent(gates.entered[index]);
        WaitForSingleObject(gates.release[index], INFINITE);
        request->CompleteWithInformation(S_OK, 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PostEvent(LPWSTR, IPortableDeviceValuesCollection*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE PostStateChange(LPWSTR, SensorState) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE CleanupFile(IWDFFile*) override { return S_OK; }
};

class ThermalDeviceTest : public ::testing::Test {
protected:
    ThermalDeviceTest()
    {
        sim::ResetRegistry();
        sim::ResetHostedDevice();
        sim::InstallProbes();
        g_TestMode.store(0);
        CThermalDevice* device = nullptr;
        EXPECT_EQ(CThermalDevice::CreateInstance(&device), S_OK);
        m_device.Attach(device);
        EXPECT_EQ(CHostDevice::Create({}, m_device->GetUnknown(), &m_host), S_OK);
    }

    ~ThermalDeviceTest() override
    {
        m_device->OnReleaseHardware(m_host.Get());
        m_host->ReleaseDriverReferences();
        m_host.Reset();
        m_device.Reset();
        platform::testing::RestoreBuiltinClasses();
        sim::ResetDeviceTree();
        sim::ResetHostedDevice();
        sim::ResetRegistry();
        g_TestMode.store(0);
    }

    std::vector<std::string> DriverCalls() const
    {
        return m_host->Record().Names(platform::host::RecordKind::kDriverCall);
    }

    platform::testing::ScopedFaults m_faults;
    platform::testing::ScopedVirtualClock m_clock;
    ComPtr<CThermalDevice> m_device;
    ComPtr<CHostDevice> m_host;
};

TEST_F(ThermalDeviceTest, ReadConfiguration_EnableInAnyCaseTurnsTestModeOnOtherTextsTurnItOff)
{
    const struct {
        std::u16string text;
        LONG testMode;
    } cases[] = {{u"Enable", 1}, {u"enable", 1}, {u"ENABLE", 1}, {u"Enabled", 0}, {u"1", 0}, {u"", 0}};
    for (const auto& c : cases) {
        g_TestMode.store(1 - c.testMode);
        SetTestMode(c.text);
        m_device->OnPrepareHardware(nullptr);
        EXPECT_EQ(g_TestMode.load(), c.testMode) << std::string(c.text.begin(), c.text.end());
        m_device->OnReleaseHardware(nullptr);
    }
}

TEST_F(ThermalDeviceTest, ReadConfiguration_MissingKeyOrValueLeavesThePreviousSetting)
{
    for (LONG previous : {0, 1}) {
        g_TestMode.store(previous);
        sim::ResetRegistry();
        m_device->OnPrepareHardware(nullptr);
        EXPECT_EQ(g_TestMode.load(), previous);

        sim::SetRegistryString(sim::RegistryRoot::CurrentConfig, kConfigureKey, u"Other", u"Enable");
        m_device->OnPrepareHardware(nullptr);
        EXPECT_EQ(g_TestMode.load(), previous);
        m_device->OnReleaseHardware(nullptr);
    }
}

TEST_F(ThermalDeviceTest, PrepareHardware_NullDeviceFailsButReadsTheSwitchAndOpensTheProbes)
{
    SetTestMode(u"off");
    g_TestMode.store(1);
    EXPECT_EQ(m_device->OnPrepareHardware(nullptr), E_UNEXPECTED);
    EXPECT_EQ(g_TestMode.load(), 0);
    EXPECT_EQ(ProbeOpens(), 2u);
    EXPECT_EQ(m_device->GetSensorManager(), nullptr);
    EXPECT_TRUE(DriverCalls().empty());

    EXPECT_EQ(m_device->OnReleaseHardware(nullptr), S_OK);
    EXPECT_EQ(ProbeHandles(), 0u);
}

TEST_F(ThermalDeviceTest, PrepareAndRelease_InTestModeLeaveTheProbesAlone)
{
    SetTestMode(u"Enable");
    EXPECT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    EXPECT_EQ(m_device->OnReleaseHardware(m_host.Get()), S_OK);
    EXPECT_EQ(ProbeOpens(), 0u);

    // Opened and closed again with test mode off.
    SetTestMode(u"Disable");
    ComPtr<CHostDevice> host;
    ASSERT_EQ(CHostDevice::Create({}, nullptr, &host), S_OK);
    CThermalDevice* created = nullptr;
    ASSERT_EQ(CThermalDevice::CreateInstance(&created), S_OK);
    ComPtr<CThermalDevice> device;
    device.Attach(created);
    EXPECT_EQ(device->OnPrepareHardware(host.Get()), S_OK);
    EXPECT_EQ(ProbeHandles(), 2u);
    EXPECT_EQ(device->OnReleaseHardware(host.Get()), S_OK);
    EXPECT_EQ(ProbeHandles(), 0u);
    host->ReleaseDriverReferences();
}

TEST_F(ThermalDeviceTest, PrepareHardware_TakesTheMachinesDescription)
{
    SetTestMode(u"Enable");
    ASSERT_TRUE(sim::SetHostedDeviceDescription(u"Probe in the rack"));
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    ASSERT_NE(m_device->GetSensorManager(), nullptr);
    EXPECT_EQ(std::u16string(m_device->GetSensorManager()->GetDeviceDescription()), u"Probe in the rack");
    EXPECT_THAT(DriverCalls(), ::testing::ElementsAre("IWDFDevice::GetDefaultIoQueue", "IWDFDevice::CreateIoQueue",
                                                      "IWDFDevice::RetrieveDeviceInstanceId",
                                                      "IWDFDevice::RetrieveDeviceInstanceId"));
}

TEST_F(ThermalDeviceTest, PrepareHardware_WithoutInstanceOrEntryKeepsTheDefaultDescription)
{
    SetTestMode(u"Enable");
    sim::RemoveHostedDevice();  // no instance identifier
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    EXPECT_EQ(std::u16string(m_device->GetSensorManager()->GetDeviceDescription()), u"Varmel Device");
    m_device->OnReleaseHardware(m_host.Get());

    // An instance identifier the machine has no entry for.
    ComPtr<CHostDevice> host;
    ASSERT_EQ(CHostDevice::Create({}, nullptr, &host), S_OK);
    CThermalDevice* created = nullptr;
    ASSERT_EQ(CThermalDevice::CreateInstance(&created), S_OK);
    ComPtr<CThermalDevice> device;
    device.Attach(created);
    sim::ResetHostedDevice();
    platform::testing::FailCall("SetupDiOpenDeviceInfoW", 1, ERROR_NO_SUCH_DEVINST);
    ASSERT_EQ(device->OnPrepareHardware(host.Get()), S_OK);
    EXPECT_EQ(std::u16string(device->GetSensorManager()->GetDeviceDescription()), u"Varmel Device");
    device->OnReleaseHardware(host.Get());
    host->ReleaseDriverReferences();
}

TEST_F(ThermalDeviceTest, PrepareHardware_FailsWithTheErrorOfTheDescriptionRead)
{
    const struct {
        std::uint32_t error;
        HRESULT result;
    } cases[] = {{ERROR_GEN_FAILURE, HRESULT_FROM_WIN32(ERROR_GEN_FAILURE)},
                 {platform::testing::kFailWithoutError, E_FAIL}};
    SetTestMode(u"Enable");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        platform::testing::FailCall("SetupDiGetDevicePropertyW", 1, c.error);
        EXPECT_EQ(m_device->OnPrepareHardware(m_host.Get()), c.result);
    }
}

TEST_F(ThermalDeviceTest, ExistingDefaultQueue_IsKeptByNobodyAndSuspendAndFlushTouchNoQueue)
{
    SetTestMode(u"Enable");
    ComPtr<IUnknown> other;
    ASSERT_EQ(platform::MakeAndQuery<OtherQueueCallback>(IID_IUnknown, reinterpret_cast<void**>(other.GetAddressOf())),
              S_OK);
    ComPtr<IWDFIoQueue> queue;
    ASSERT_EQ(m_host->CreateIoQueue(other.Get(), TRUE, WdfIoQueueDispatchParallel, FALSE, TRUE,
                                    queue.GetAddressOf()),
              S_OK);
    m_host->Record().Clear();

    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    EXPECT_EQ(m_host->Record().Count("IWDFDevice::CreateIoQueue"), 0u);
    EXPECT_EQ(m_device->OnSelfManagedIoSuspend(m_host.Get()), S_OK);
    m_device->OnSelfManagedIoFlush(m_host.Get());
    EXPECT_EQ(m_host->Record().Count("IWDFIoQueue::PurgeSynchronously"), 0u);
    EXPECT_EQ(m_host->Record().Count("IWDFIoQueue::Start"), 0u);
}

TEST_F(ThermalDeviceTest, OwnDefaultQueue_IsPurgedAndStartedOnSuspendAndPurgedOnFlush)
{
    SetTestMode(u"Enable");
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    m_host->Record().Clear();
    EXPECT_EQ(m_device->OnSelfManagedIoSuspend(m_host.Get()), S_OK);
    m_device->OnSelfManagedIoFlush(m_host.Get());
    EXPECT_THAT(DriverCalls(), ::testing::ElementsAre("IWDFIoQueue::PurgeSynchronously", "IWDFIoQueue::Start",
                                                      "IWDFIoQueue::PurgeSynchronously"));
}

TEST_F(ThermalDeviceTest, ReleaseHardware_ForAnotherDeviceLeavesTheStoredReference)
{
    SetTestMode(u"Enable");
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    ComPtr<CHostDevice> other;
    ASSERT_EQ(CHostDevice::Create({}, nullptr, &other), S_OK);

    const ULONG before = (m_host->AddRef(), m_host->Release());
    EXPECT_EQ(m_device->OnReleaseHardware(other.Get()), S_OK);
    const ULONG after = (m_host->AddRef(), m_host->Release());
    // The manager's reference went with the manager; the device's own stayed.
    EXPECT_EQ(after, before - 1);
    EXPECT_EQ(m_device->OnReleaseHardware(m_host.Get()), S_OK);
    EXPECT_EQ((m_host->AddRef(), m_host->Release()), after - 1);
    other->ReleaseDriverReferences();
}

TEST_F(ThermalDeviceTest, Queue_RoutesPrivateUnknownAndMessageCodes)
{
    SetTestMode(u"Enable");
    platform::testing::UnregisterClass(CLSID_SensorClassExtension);
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host->OpenFile(FileAccess::kReadWrite, &file), S_OK);

    // Prepared but not started: the private dispatch has no sensor-driver object and succeeds;
    // a get reports the value's size, a set no bytes.
    const struct {
        ULONG code;
        SIZE_T information;
    } privateCodes[] = {{IOCTL_GET_RADIO_STATE, 4},
                        {IOCTL_GET_PREVIOUS_RADIO_STATE, 4},
                        {IOCTL_SET_RADIO_STATE, 0},
                        {IOCTL_SET_PREVIOUS_RADIO_STATE, 0}};
    for (const auto& c : privateCodes) {
        const IoResult privateReply = m_host->DeviceIoControl(file.Get(), c.code, {}, 4);
        EXPECT_EQ(privateReply.status, S_OK) << std::hex << c.code;
        EXPECT_EQ(privateReply.information, c.information) << std::hex << c.code;
    }

    // Started without a class extension: the start fails; a message is still completed.
    EXPECT_NE(m_device->OnD0Entry(m_host.Get(), WdfPowerDeviceD3Final), S_OK);
    IoResult reply = m_host->DeviceIoControl(file.Get(), kSensorMessage, {}, 16);
    EXPECT_EQ(reply.status, kNotSupported);
    EXPECT_EQ(reply.information, 0u);

    reply = m_host->DeviceIoControl(file.Get(), 0x00220004, {}, 4);
    EXPECT_EQ(reply.status, kNotSupported);
    EXPECT_EQ(reply.information, 0u);
    m_host->CloseFile(file.Get());
}

TEST_F(ThermalDeviceTest, PrivateGetIsCompletedWithFourBytesWhenItsHandlerFails)
{
    SetTestMode(u"Enable");
    platform::testing::RegisterClass(CLSID_SensorClassExtension, [](REFIID riid, void** ppv) {
        return platform::MakeAndQuery<HoldingClassExtension>(riid, ppv);
    });
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    ASSERT_EQ(m_device->OnD0Entry(m_host.Get(), WdfPowerDeviceD3Final), S_OK);
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host->OpenFile(FileAccess::kReadWrite, &file), S_OK);

    // A set with no value in it fails in its handler; the status is the handler's, and a set
    // returns no bytes.
    const IoResult reply = m_host->DeviceIoControl(file.Get(), IOCTL_SET_RADIO_STATE, {}, 4);
    EXPECT_TRUE(FAILED(reply.status));
    EXPECT_EQ(reply.information, 0u);
    const IoResult get = m_host->DeviceIoControl(file.Get(), IOCTL_GET_RADIO_STATE, {}, 4);
    EXPECT_EQ(get.information, 4u);
    m_host->CloseFile(file.Get());
    EXPECT_EQ(m_device->OnD0Exit(m_host.Get(), WdfPowerDeviceD3Final), S_OK);
}

// Two requests of one kind are in flight; surprise removal waits until both have left, and every
// callback after it is refused.
TEST_F(ThermalDeviceTest, Teardown_WaitsForEveryCallbackInFlightAndRefusesLaterOnes)
{
    SetTestMode(u"Enable");
    platform::testing::RegisterClass(CLSID_SensorClassExtension, [](REFIID riid, void** ppv) {
        return platform::MakeAndQuery<HoldingClassExtension>(riid, ppv);
    });
    HoldingClassExtension::Gates& gates = HoldingClassExtension::Shared();
    gates.arrivals.store(0);
    gates.uninitialized.store(0);
    ASSERT_EQ(m_device->OnPrepareHardware(m_host.Get()), S_OK);
    ASSERT_EQ(m_device->OnD0Entry(m_host.Get(), WdfPowerDeviceD3Final), S_OK);
    ComPtr<CHostFile> file;
    ASSERT_EQ(m_host->OpenFile(FileAccess::kReadWrite, &file), S_OK);

    // The two requests may reach the class extension in either order, so completions are counted,
    // not matched to the request that was sent first.
    std::atomic<int> completions{0};
    HANDLE done[2] = {CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    for (int i = 0; i < 2; ++i) {
        m_host->DeviceIoControl(file.Get(), kSensorMessage, {}, 16,
                                [&](IoResult) { SetEvent(done[completions.fetch_add(1)]); });
    }
    ASSERT_EQ(WaitForSingleObject(gates.entered[0], INFINITE), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(gates.entered[1], INFINITE), WAIT_OBJECT_0);

    std::atomic<bool> tornDown{false};
    std::thread removal([&] {
        m_device->OnSurpriseRemoval(m_host.Get());
        tornDown.store(true);
    });
    auto staysWaiting = [&] {
        for (int i = 0; i < 20000 && !tornDown.load(); ++i) std::this_thread::yield();
        return !tornDown.load();
    };
    EXPECT_TRUE(staysWaiting());
    SetEvent(gates.release[0]);
    ASSERT_EQ(WaitForSingleObject(done[0], INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(staysWaiting()) << "teardown passed while a second request of the same kind was in flight";
    SetEvent(gates.release[1]);
    removal.join();
    EXPECT_TRUE(tornDown.load());
    WaitForSingleObject(done[1], INFINITE);
    for (HANDLE event : done) CloseHandle(event);

    EXPECT_EQ(m_device->OnD0Exit(m_host.Get(), WdfPowerDeviceD3Final), kShutdown);
    EXPECT_EQ(m_device->OnSelfManagedIoSuspend(m_host.Get()), kShutdown);
    EXPECT_EQ(m_device->OnD0Entry(m_host.Get(), WdfPowerDeviceD3), kShutdown);
    EXPECT_EQ(m_device->EnterCallback(0x40), kShutdown);
    m_device->LeaveCallback(0x40);
    const IoResult refused = m_host->DeviceIoControl(file.Get(), IOCTL_GET_RADIO_STATE, {}, 4);
    EXPECT_EQ(refused.status, kNotSupported);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(m_device->OnQueryRemove(m_host.Get()), S_OK);
    EXPECT_EQ(m_device->OnSelfManagedIoStop(m_host.Get()), S_OK);

    EXPECT_EQ(gates.uninitialized.load(), 0);
    EXPECT_EQ(m_device->OnReleaseHardware(m_host.Get()), S_OK);
    EXPECT_EQ(gates.uninitialized.load(), 1);
    m_host->CloseFile(file.Get());
}

}  // namespace
