// The module's entry points, reached through the host's module loader.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "loaded_module_fixture.h"
#include "platform/com/com_ptr.h"
#include "platform/wdf/driver.h"
#include "platform_testing/trace_session.h"
#include "support/com_test_kit.h"

namespace {

using integration::kDriverClass;
using integration::kTraceControl;
using platform::ComPtr;
using test_support::ExpectInterface;

constexpr GUID kScopeTimerComponent = platform::MakeGuid("{5E0B7C41-9A3D-4C2E-8F61-2D7A9B3C4E10}");
IUnknown* const kOuter = reinterpret_cast<IUnknown*>(0x10);
void* const kGarbage = reinterpret_cast<void*>(0x1);

class ModuleEntry : public integration::LoadedModuleTest {
protected:
    ComPtr<IClassFactory> Factory()
    {
        ComPtr<IClassFactory> factory;
        EXPECT_EQ(
            Module().GetClassObject(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
            S_OK);
        return factory;
    }
};

TEST_F(ModuleEntry, GetClassObjectHandsOutOneCachedFactory)
{
    ComPtr<IClassFactory> first = Factory();
    ComPtr<IClassFactory> second = Factory();
    ASSERT_NE(first.Get(), nullptr);
    EXPECT_EQ(first.Get(), second.Get());

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(Module().GetClassObject(kDriverClass, IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())),
              S_OK);
    ExpectInterface(unknown.Get(), IID_IClassFactory, true);
}

TEST_F(ModuleEntry, GetClassObjectRefusesOtherClassesInterfacesAndNullOut)
{
    void* out = kGarbage;
    EXPECT_EQ(Module().GetClassObject(kTraceControl, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    out = kGarbage;
    EXPECT_EQ(Module().GetClassObject(kDriverClass, __uuidof(IDriverEntry), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Module().GetClassObject(kDriverClass, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(Module().GetClassObject(kTraceControl, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ModuleEntry, CanUnloadNowWaitsForFactoriesObjectsAndServerLocks)
{
    EXPECT_EQ(Module().CanUnloadNow(), S_OK);
    ComPtr<IClassFactory> factory = Factory();
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);

    ComPtr<IDriverEntry> driver;
    ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(IDriverEntry), reinterpret_cast<void**>(driver.GetAddressOf())),
              S_OK);
    ASSERT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);  // driver object and server lock

    driver.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_FALSE);  // server lock

    factory = Factory();
    ASSERT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(Module().CanUnloadNow(), S_OK);
}

TEST_F(ModuleEntry, DriverObjectAnswersItsInterfacesAndRefusesAggregation)
{
    ComPtr<IClassFactory> factory = Factory();
    void* out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(kOuter, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(kOuter, __uuidof(IDriverEntry), &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IDriverEntry), nullptr), E_POINTER);

    ComPtr<IUnknown> driver;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(driver.GetAddressOf())), S_OK);
    ExpectInterface(driver.Get(), __uuidof(IDriverEntry), true);
    ExpectInterface(driver.Get(), IID_IClassFactory, false);
    EXPECT_EQ(driver.Detach()->Release(), 0u);
}

TEST_F(ModuleEntry, FirstClassObjectRequestsFromManyThreadsShareOneFactory)
{
    constexpr int kThreads = 4;
    std::vector<IClassFactory*> factories(kThreads, nullptr);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            Module().GetClassObject(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factories[i]));
        });
    }
    for (auto& thread : threads) thread.join();
    for (IClassFactory* factory : factories) {
        ASSERT_NE(factory, nullptr);
        EXPECT_EQ(factory, factories[0]);
    }
    for (IClassFactory* factory : factories) factory->Release();
}

TEST_F(ModuleEntry, RegistrationEntryPointsAndVersionRecord)
{
    EXPECT_EQ(Module().RegisterServer(), S_OK);
    EXPECT_EQ(Module().UnregisterServer(), S_OK);
    EXPECT_EQ(Module().Version().MajorNumber, 1u);
    EXPECT_EQ(Module().Version().MinorNumber, 11u);
    EXPECT_EQ(Module().Version().Reserved, nullptr);
}

// Tracing across the module's life: a session enabled before the load sees attach finish, and
// nothing after detach has unregistered the provider.
TEST_F(ModuleEntry, TracesFromAttachUntilDetach)
{
    Unload(Module());
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kTraceControl));

    platform::testing::TraceRecorder recorder;
    platform::testing::TraceSession session(recorder);
    session.Enable(kTraceControl, 4, 0x1);
    auto loaded = Load();
    ASSERT_EQ(loaded.status, platform::host::ModuleLoadStatus::kLoaded) << loaded.message;
    m_module = std::move(loaded.module);
    EXPECT_TRUE(platform::testing::IsTraceProviderRegistered(kTraceControl));

    // Attach began before the provider was registered: only its end is traced.
    EXPECT_TRUE(recorder.Find(kScopeTimerComponent, 10).empty());
    const auto attachEnd = recorder.Find(kScopeTimerComponent, 11);
    ASSERT_EQ(attachEnd.size(), 1u);
    EXPECT_EQ(attachEnd[0].flags, 0x2Bu);
    EXPECT_EQ(attachEnd[0].arguments.at(0), (std::vector<BYTE>{'D', 'l', 'l', 'M', 'a', 'i', 'n', 0}));

    recorder.Clear();
    Module().RegisterServer();
    EXPECT_EQ(recorder.Find(kScopeTimerComponent, 10).size(), 1u);
    EXPECT_EQ(recorder.Find(kScopeTimerComponent, 11).size(), 1u);

    // Detach begins while the provider is registered, and ends after it is gone.
    recorder.Clear();
    EXPECT_EQ(Unload(Module()), TRUE);
    EXPECT_EQ(recorder.Find(kScopeTimerComponent, 10).size(), 1u);
    EXPECT_TRUE(recorder.Find(kScopeTimerComponent, 11).empty());
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kTraceControl));
}

TEST_F(ModuleEntry, FailedProviderRegistrationIsSilent)
{
    Unload(Module());
    platform::testing::TraceRecorder recorder;
    platform::testing::TraceSession session(recorder);
    session.Enable(kTraceControl, 5, 0x1);
    platform::testing::FailCall("RegisterTraceGuidsW");
    auto loaded = Load();
    ASSERT_EQ(loaded.status, platform::host::ModuleLoadStatus::kLoaded) << loaded.message;
    m_module = std::move(loaded.module);
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(kTraceControl));
    Module().RegisterServer();
    EXPECT_EQ(recorder.Count(), 0u);
}

}  // namespace
