// The host's module loader with the real driver module, and with libraries that are not one.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "loaded_module_fixture.h"
#include "platform_testing/trace_session.h"

namespace {

using integration::kTraceControl;
using platform::host::ModuleLoadStatus;

bool LibraryIsMapped(const char* path)
{
    void* library = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return false;
    dlclose(library);
    return true;
}

class ModuleLoader : public integration::LoadedModuleTest {
protected:
    void SetUp() override {}  // each test loads what it needs
};

TEST_F(ModuleLoader, UnloadDetachesAndUnmapsTheModule)
{
    auto loaded = Load();
    ASSERT_EQ(loaded.status, ModuleLoadStatus::kLoaded) << loaded.message;
    EXPECT_TRUE(loaded.message.empty());
    EXPECT_TRUE(LibraryIsMapped(THERMAL_DRIVER_MODULE_PATH));

    EXPECT_EQ(Unload(*loaded.module), TRUE);
    EXPECT_FALSE(loaded.module->IsLoaded());
    EXPECT_FALSE(LibraryIsMapped(THERMAL_DRIVER_MODULE_PATH));
    EXPECT_EQ(loaded.module->Unload(), TRUE);  // a second unload does nothing

    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(loaded.module->GetClassObject(integration::kDriverClass, IID_IClassFactory, &out), E_UNEXPECTED);
    EXPECT_EQ(out, nullptr);
}

TEST_F(ModuleLoader, ModuleIsLoadedOnceAtATime)
{
    auto first = Load();
    ASSERT_EQ(first.status, ModuleLoadStatus::kLoaded) << first.message;
    auto second = Load();
    EXPECT_EQ(second.status, ModuleLoadStatus::kAlreadyLoaded);
    EXPECT_EQ(second.module, nullptr);
    EXPECT_TRUE(first.module->IsLoaded());
    EXPECT_EQ(Unload(*first.module), TRUE);

    // Loaded again, the module starts from fresh static objects.
    auto again = Load();
    ASSERT_EQ(again.status, ModuleLoadStatus::kLoaded) << again.message;
    EXPECT_EQ(again.module->CanUnloadNow(), S_OK);
    EXPECT_EQ(Unload(*again.module), TRUE);
}

TEST_F(ModuleLoader, CriticalSectionFailureAtLoadRefusesTheModule)
{
    platform::testing::FailCallAlways("InitializeCriticalSection");
    auto loaded = Load();
    platform::testing::ResetFaults();
    EXPECT_EQ(loaded.status, ModuleLoadStatus::kAttachFailed);
    EXPECT_EQ(loaded.module, nullptr);
    EXPECT_NE(loaded.message.find("DllMain(DLL_PROCESS_ATTACH)"), std::string::npos) << loaded.message;
    // The refused attach was undone before the library went away.
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kTraceControl));
    EXPECT_FALSE(LibraryIsMapped(THERMAL_DRIVER_MODULE_PATH));

    auto retry = Load();
    ASSERT_EQ(retry.status, ModuleLoadStatus::kLoaded) << retry.message;
    EXPECT_EQ(Unload(*retry.module), TRUE);
}

TEST_F(ModuleLoader, MissingFileIsReportedWithTheSystemText)
{
    const std::string path = std::string(THERMAL_DRIVER_MODULE_PATH) + ".missing";
    auto loaded = Load(path);
    EXPECT_EQ(loaded.status, ModuleLoadStatus::kOpenFailed);
    EXPECT_EQ(loaded.module, nullptr);
    EXPECT_NE(loaded.message.find(path), std::string::npos) << loaded.message;
    EXPECT_NE(loaded.message.find("No such file"), std::string::npos) << loaded.message;
}

TEST_F(ModuleLoader, LibraryWithoutTheEntryPointsIsRefused)
{
    auto loaded = Load(PLATFORM_LIBRARY_PATH);
    EXPECT_EQ(loaded.status, ModuleLoadStatus::kMissingExport);
    EXPECT_EQ(loaded.module, nullptr);
    EXPECT_NE(loaded.message.find("does not export DllMain"), std::string::npos) << loaded.message;
    EXPECT_TRUE(LibraryIsMapped(PLATFORM_LIBRARY_PATH));  // still in use by this process
}

}  // namespace
