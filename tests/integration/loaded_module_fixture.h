// The shared fixture of the integration tests: the real driver module, loaded through the host's
// module loader.
//
// Loading constructs the module's static objects, and one of them busy-waits on the performance
// counter; the fixture therefore loads and unloads under a virtual clock whose reads advance it.
// Between load and unload the clock stands still unless a test advances it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "host/driver_module.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"

namespace integration {

inline constexpr CLSID kDriverClass = platform::MakeGuid("{352E8CF1-6944-4E3A-8E5E-76556CEC869E}");
inline constexpr GUID kTraceControl = platform::MakeGuid("{B385B74D-5A21-43B1-A8E3-C085C8F76C8F}");

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

}  // namespace integration
