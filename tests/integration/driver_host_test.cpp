// The driver host with a module: the whole life of a device at the boundary between host and
// driver, device I/O through the module's default queue, and unload. The fake module answers as
// each test tells it.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "integration/fake_driver/fake_driver_control.h"
#include "loaded_module_fixture.h"
#include "platform/kernel/handle.h"
#include "platform/kernel/synch.h"
#include "platform/probe/thermal_driver_contract.h"

namespace {

using platform::ComPtr;
using platform::host::CHostFile;
using platform::host::DeviceState;
using platform::host::FileAccess;
using platform::host::HostStep;
using platform::host::IoResult;
using platform::host::RecordKind;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

bool LibraryIsMapped(const char* path)
{
    void* library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}

// "Name(arguments)" of each callback, without the interface.
std::vector<std::string> Callbacks(const platform::host::DriverHost& host)
{
    std::vector<std::string> calls;
    for (const auto& entry : host.Record().Entries(RecordKind::kCallback)) {
        const auto colons = entry.name.find("::");
        calls.push_back((colons == std::string::npos ? entry.name : entry.name.substr(colons + 2)) +
                        (entry.arguments.empty() ? "" : "(" + entry.arguments + ")"));
    }
    return calls;
}

class FakeModuleHost : public integration::DriverHostTest {
protected:
    // Loads the fake module; its control block is then at hand.
    void LoadFake()
    {
        const HostStep step = Load(FAKE_DRIVER_MODULE_PATH);
        ASSERT_TRUE(step.ok()) << step.message;
        m_control = fake_driver::FindControl();
        ASSERT_NE(m_control, nullptr);
    }

    void LoadAndStartFake()
    {
        LoadFake();
        HostStep step = m_host.AddDevice();
        if (step.ok()) step = m_host.Start();
        ASSERT_TRUE(step.ok()) << step.message;
        ASSERT_EQ(m_host.OpenFile(FileAccess::kReadWrite, &m_file), S_OK);
    }

    void TearDown() override
    {
        if (m_file) m_host.CloseFile(m_file.Get());
        m_file = nullptr;
        if (m_release != nullptr) {
            SetEvent(m_release);  // nothing may stay held in the module at unload
            m_clock.RunUntilIdle();
        }
        integration::DriverHostTest::TearDown();
        if (m_release != nullptr) CloseHandle(m_release);
        EXPECT_FALSE(LibraryIsMapped(FAKE_DRIVER_MODULE_PATH));
    }

    fake_driver::Control* m_control = nullptr;
    ComPtr<CHostFile> m_file;
    HANDLE m_release = nullptr;
};

TEST_F(FakeModuleHost, WholeLife_CallsTheModuleInOrder)
{
    LoadAndStartFake();
    ASSERT_EQ(m_host.CloseFile(m_file.Get()), S_OK);
    m_file = nullptr;
    ASSERT_TRUE(Unload().ok());
    EXPECT_THAT(Callbacks(m_host),
                ElementsAre("DllMain(reason=DLL_PROCESS_ATTACH)",
                            "DllGetClassObject(" + platform::GuidToString(CLSID_ThermalDriver) + " IClassFactory)",
                            "CreateInstance(IDriverEntry)", "OnInitialize", "OnDeviceAdd", "OnPrepareHardware",
                            "OnD0Entry(previousState=5)", "OnSelfManagedIoInit", "OnCleanupFile(file#1)",
                            "OnSelfManagedIoSuspend", "OnD0Exit(targetState=5)", "OnSelfManagedIoFlush",
                            "OnSelfManagedIoCleanup", "OnReleaseHardware", "OnDeinitialize", "DllCanUnloadNow",
                            "DllMain(reason=DLL_PROCESS_DETACH)"));
    EXPECT_THAT(
        m_host.Record().Names(RecordKind::kDriverCall),
        ElementsAre("IWDFDeviceInitialize::SetLockingConstraint", "IWDFDeviceInitialize::SetPowerPolicyOwnership",
                    "IWDFDriver::CreateDevice", "IWDFDevice3::AssignS0IdleSettingsEx", "IWDFDevice::GetDefaultIoQueue",
                    "IWDFDevice::CreateIoQueue", "IWDFIoQueue::PurgeSynchronously", "IWDFIoQueue::Start",
                    "IWDFIoQueue::PurgeSynchronously"));
    EXPECT_EQ(m_host.Record().Named("DllCanUnloadNow")[0].result, "S_OK");
    EXPECT_EQ(m_host.Record().LastIdleSettings()->DxState, PowerDeviceD3);
    EXPECT_THAT(m_host.Record().Entries(RecordKind::kDriverError), IsEmpty());
    EXPECT_EQ(m_host.Module(), nullptr);
    EXPECT_FALSE(LibraryIsMapped(FAKE_DRIVER_MODULE_PATH));
}

TEST_F(FakeModuleHost, SuspendAndResume_KeepIoFlowing)
{
    LoadAndStartFake();
    const std::vector<BYTE> input{7, 8};
    ASSERT_TRUE(m_host.Suspend(WdfPowerDeviceD3).ok());
    const IoResult lowPower = m_host.DeviceIoControl(m_file.Get(), fake_driver::kEcho, input, 2);
    EXPECT_EQ(lowPower.status, S_OK);
    EXPECT_EQ(lowPower.output, input);
    ASSERT_TRUE(m_host.Resume().ok());
    EXPECT_EQ(m_host.DeviceIoControl(m_file.Get(), fake_driver::kEcho, input, 2).output, input);
    EXPECT_THAT(Callbacks(m_host), ::testing::IsSupersetOf({"OnD0Exit(targetState=4)", "OnD0Entry(previousState=4)",
                                                            "OnSelfManagedIoRestart"}));
}

TEST_F(FakeModuleHost, SurpriseRemove_IsFollowedByTheReleasePath)
{
    LoadAndStartFake();
    m_host.Record().Clear();
    ASSERT_TRUE(m_host.SurpriseRemove().ok());
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    EXPECT_THAT(Callbacks(m_host), ElementsAre("OnSurpriseRemoval", "OnSelfManagedIoSuspend", "OnD0Exit(targetState=5)",
                                               "OnSelfManagedIoFlush", "OnSelfManagedIoCleanup", "OnReleaseHardware"));
}

TEST_F(FakeModuleHost, SurpriseRemove_NewRequestsAndFilesAreRefusedByTheHostNotTheDriver)
{
    LoadAndStartFake();
    ASSERT_TRUE(m_host.SurpriseRemove().ok());
    m_host.Record().Clear();
    const std::vector<BYTE> input{1, 2};
    EXPECT_EQ(m_host.DeviceIoControl(m_file.Get(), fake_driver::kEcho, input, 2).status,
              HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    ComPtr<CHostFile> second;
    EXPECT_EQ(m_host.OpenFile(FileAccess::kReadWrite, &second), HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(second, nullptr);
    // The released driver never sees them.
    EXPECT_THAT(Callbacks(m_host), IsEmpty());
}

TEST_F(FakeModuleHost, Requests_RunSeveralAtOnceInTheModule)
{
    LoadAndStartFake();
    m_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_control->holdRelease = m_release;
    std::atomic<int> completed{0};
    for (int i = 0; i < 3; ++i) {
        m_host.DeviceIoControl(m_file.Get(), fake_driver::kHold, {}, 0, [&](IoResult result) {
            if (result.status == S_OK) ++completed;
        });
    }
    m_clock.RunUntilIdle();
    EXPECT_EQ(m_control->held.load(), 3);
    EXPECT_EQ(completed.load(), 0);
    SetEvent(m_release);
    m_clock.RunUntilIdle();
    EXPECT_EQ(completed.load(), 3);
}

TEST_F(FakeModuleHost, WriteCodeOnAReadFile_IsRefusedBeforeTheModule)
{
    LoadAndStartFake();
    ComPtr<CHostFile> readOnly;
    ASSERT_EQ(m_host.OpenFile(FileAccess::kRead, &readOnly), S_OK);
    EXPECT_EQ(m_host.DeviceIoControl(readOnly.Get(), fake_driver::kWriteEcho, {}, 0).status, E_ACCESSDENIED);
    EXPECT_EQ(m_host.Record().Count("IQueueCallbackDeviceIoControl::OnDeviceIoControl"), 0u);
    EXPECT_EQ(m_host.DeviceIoControl(readOnly.Get(), fake_driver::kReadEcho, {}, 0).status, S_OK);
    EXPECT_EQ(m_host.DeviceIoControl(m_file.Get(), fake_driver::kWriteEcho, {}, 0).status, S_OK);
    EXPECT_EQ(m_host.CloseFile(readOnly.Get()), S_OK);
}

TEST_F(FakeModuleHost, ModuleMistakes_AreRecordedAndTheCallerStillGetsOneAnswer)
{
    LoadAndStartFake();
    EXPECT_EQ(m_host.DeviceIoControl(m_file.Get(), fake_driver::kCompleteTwice, {}, 0).status, S_OK);
    EXPECT_EQ(m_host.DeviceIoControl(m_file.Get(), fake_driver::kNeverComplete, {}, 0).status,
              HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED));
    m_clock.RunUntilIdle();
    std::vector<std::string> errors;
    for (const auto& entry : m_host.Record().Entries(RecordKind::kDriverError)) errors.push_back(entry.result);
    // The second completion may be recorded after the caller already has its answer.
    EXPECT_THAT(errors, UnorderedElementsAre("completed a second time; ignored",
                                             "released without being completed; completed as aborted"));
}

TEST_F(FakeModuleHost, CloseFile_CallsTheModulesCleanup)
{
    LoadAndStartFake();
    ASSERT_EQ(m_host.CloseFile(m_file.Get()), S_OK);
    EXPECT_EQ(m_control->cleanups.load(), 1);
    m_file = nullptr;
}

TEST_F(FakeModuleHost, FailedDeviceAdd_IsReportedAndTheModuleStillUnloads)
{
    LoadFake();
    m_control->deviceAddResult = E_NOTIMPL;
    const HostStep step = m_host.AddDevice();
    EXPECT_EQ(step.status, E_NOTIMPL);
    EXPECT_EQ(step.message, "the driver's OnDeviceAdd failed with E_NOTIMPL (0x80004001); no device was added");
    EXPECT_EQ(m_host.State(), DeviceState::kNone);
    ASSERT_TRUE(Unload().ok());
    EXPECT_EQ(m_host.Record().Named("DllCanUnloadNow")[0].result, "S_OK");
}

TEST_F(FakeModuleHost, FailedD0Entry_ReleasesTheHardware)
{
    LoadFake();
    m_control->d0EntryResult = E_FAIL;
    ASSERT_TRUE(m_host.AddDevice().ok());
    const HostStep step = m_host.Start();
    EXPECT_EQ(step.status, E_FAIL);
    EXPECT_THAT(step.message, HasSubstr("OnD0Entry(5) failed with E_FAIL"));
    EXPECT_EQ(m_host.State(), DeviceState::kRemoved);
    EXPECT_EQ(Callbacks(m_host).back(), "OnReleaseHardware");
}

TEST_F(FakeModuleHost, ModuleWithLiveObjects_IsLeftLoaded)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The module stays mapped for the rest of the process, so the scenario runs in a fresh one.
    EXPECT_EXIT(
        {
            LoadAndStartFake();
            m_control->leakDriverAtDeinitialize = true;
            m_host.CloseFile(m_file.Get());
            m_file = nullptr;
            const HostStep step = Unload();
            const bool refused =
                step.status == E_FAIL && step.message.find("DllCanUnloadNow answered S_FALSE") != std::string::npos;
            const bool mapped = LibraryIsMapped(FAKE_DRIVER_MODULE_PATH);
            const bool noDetach = m_host.Record().Count("DllMain") == 1;  // the attach only
            std::exit(refused && mapped && noDetach ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
