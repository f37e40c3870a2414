// The shared fixtures of the integration tests.
//
// LoadedModuleTest: the real driver module, loaded through the host's module loader.
// DriverHostTest: a module driven through the host library, as the driver-host program drives it
//   (load, device add, start, I/O, power changes, removal, unload); the host record tells what the
//   host and the driver said to each other. A state directory of its own holds the registry and
//   the device's property store.
// HostedDeviceTest: DriverHostTest with the real module loaded and its device started (prepared
//   and in D0) before each test.
//
//   class MySensorTest : public integration::HostedDeviceTest {};
//   TEST_F(MySensorTest, ...) { ComPtr<CHostFile> file; m_host.OpenFile(FileAccess::kReadWrite, &file); ... }
//
// Loading constructs the module's static objects, and one of them busy-waits on the performance
// counter; the fixtures therefore load and unload under a virtual clock whose reads advance it.
// Between load and unload the clock stands still unless a test advances it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/driver_host.h"
#include "host/driver_module.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "sim/device_tree.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace integration {

inline constexpr CLSID kDriverClass = CLSID_ThermalDriver;
inline constexpr GUID kTraceControl = GUID_THERMAL_DRIVER_TRACE_CONTROL;

class LoadedModuleTest : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kReadStep{1};

    void SetUp() override
    {
        auto loaded = Load();
        ASSERT_EQ(loaded.status, platform::host::ModuleLoadStatus::kLoaded) << loaded.message;
        m_module = std::move(loaded.module);
    }

    void TearDown() override
    {
        if (m_module) {
            EXPECT_EQ(m_module->CanUnloadNow(), S_OK) << "an object of the module is still alive";
            EXPECT_EQ(Unload(*m_module), TRUE);
        }
    }

    // Loads a module as the host does, with reads of the clock advancing it.
    platform::host::ModuleLoadResult Load(const std::string& path = THERMAL_DRIVER_MODULE_PATH)
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        auto loaded = platform::host::DriverModule::Load(path);
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        return loaded;
    }

    BOOL Unload(platform::host::DriverModule& module)
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        const BOOL detached = module.Unload();
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        return detached;
    }

    platform::host::DriverModule& Module() { return *m_module; }

    platform::testing::ScopedFaults m_faults;
    platform::testing::ScopedVirtualClock m_clock{kReadStep};
    std::unique_ptr<platform::host::DriverModule> m_module;
};

class DriverHostTest : public ::testing::Test {
protected:
    static constexpr std::chrono::milliseconds kReadStep{1};

    DriverHostTest()
    {
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        EXPECT_TRUE(sim::SetStateDirectory(m_stateDirectory.path()));
    }

    void TearDown() override
    {
        const platform::host::HostStep step = Unload();
        EXPECT_TRUE(step.ok()) << step.message;
    }

    ~DriverHostTest() override
    {
        sim::ResetHostedDevice();
        sim::ClearStateDirectory();
    }

    // Loads the module through the host, with reads of the clock advancing it.
    platform::host::HostStep Load(const std::string& path = THERMAL_DRIVER_MODULE_PATH)
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        auto step = m_host.Load(path, kDriverClass);
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        return step;
    }

    // Loads the module, adds its device and starts it; the first failure ends it.
    platform::host::HostStep LoadAndStart(const std::string& path = THERMAL_DRIVER_MODULE_PATH)
    {
        auto step = Load(path);
        if (step.ok()) step = m_host.AddDevice();
        if (step.ok()) step = m_host.Start();
        return step;
    }

    // Removes the device if it is there and unloads the module, with reads advancing the clock.
    platform::host::HostStep Unload()
    {
        platform::testing::VirtualClock::SetReadStep(kReadStep);
        auto step = m_host.Unload();
        platform::testing::VirtualClock::SetReadStep(std::chrono::nanoseconds(0));
        return step;
    }

    test_support::TempDir m_stateDirectory;
    platform::testing::ScopedFaults m_faults;
    platform::testing::ScopedVirtualClock m_clock{kReadStep};
    platform::host::DriverHost m_host;  // declared last: destroyed first, while the clock is ours
};

class HostedDeviceTest : public DriverHostTest {
protected:
    void SetUp() override
    {
        const platform::host::HostStep step = LoadAndStart();
        ASSERT_TRUE(step.ok()) << step.message;
    }
};

}  // namespace integration
