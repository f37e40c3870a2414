#include "driver/module.h"

#include <gtest/gtest.h>

#include "base/module_reference.h"
#include "base/scope_timer.h"
#include "base/trace.h"
#include "driver/class_factory.h"
#include "driver/thermal_driver.h"
#include "platform/com/com_ptr.h"
#include "platform/kernel/module.h"
#include "platform/probe/thermal_driver_contract.h"
#include "platform_testing/faults.h"
#include "platform_testing/trace_session.h"
#include "support/com_test_kit.h"

namespace {

using platform::ComPtr;
using test_support::ExpectInterface;
using test_support::RefCount;

// Any object will do as an outer unknown: creation must refuse it before using it.
IUnknown* const kOuter = reinterpret_cast<IUnknown*>(0x10);
void* const kGarbage = reinterpret_cast<void*>(0x1);

class DriverModule : public ::testing::Test {
protected:
    platform::testing::ScopedFaults m_faults;
    const LONG m_baseline = GetModuleLockCount();
};

TEST_F(DriverModule, ThermalDriverRefusesAggregationAndNullOut)
{
    void* out = kGarbage;
    EXPECT_EQ(CThermalDriver::CreateInstance(kOuter, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CThermalDriver::CreateInstance(kOuter, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(CThermalDriver::CreateInstance(nullptr, __uuidof(IDriverEntry), nullptr), E_POINTER);
    EXPECT_EQ(GetModuleLockCount(), m_baseline);
}

TEST_F(DriverModule, ThermalDriverAnswersIDriverEntryAndCountsOnTheModule)
{
    ComPtr<IDriverEntry> driver;
    ASSERT_EQ(CThermalDriver::CreateInstance(nullptr, __uuidof(IDriverEntry),
                                             reinterpret_cast<void**>(driver.GetAddressOf())),
              S_OK);
    EXPECT_EQ(GetModuleLockCount(), m_baseline + 1);
    EXPECT_EQ(RefCount(driver.Get()), 1u);
    ExpectInterface(driver.Get(), IID_IUnknown, true);
    ExpectInterface(driver.Get(), __uuidof(IDriverEntry), true);
    ExpectInterface(driver.Get(), IID_IClassFactory, false);

    EXPECT_EQ(driver->OnInitialize(nullptr), S_OK);
    EXPECT_EQ(driver->OnDeviceAdd(nullptr, nullptr), E_INVALIDARG);
    driver->OnDeinitialize(nullptr);

    EXPECT_EQ(driver.Detach()->Release(), 0u);
    EXPECT_EQ(GetModuleLockCount(), m_baseline);
}

TEST_F(DriverModule, ThermalDriverCreationFailuresLeaveNothingBehind)
{
    void* out = kGarbage;
    EXPECT_EQ(CThermalDriver::CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(GetModuleLockCount(), m_baseline);

    platform::testing::FailCall("InitializeCriticalSection");
    EXPECT_EQ(CThermalDriver::CreateInstance(nullptr, IID_IUnknown, &out), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    platform::testing::FailCall("InitializeCriticalSection", 1, ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_EQ(CThermalDriver::CreateInstance(nullptr, IID_IUnknown, &out),
              HRESULT_FROM_WIN32(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(GetModuleLockCount(), m_baseline);
}

TEST_F(DriverModule, FactoryCountsOnTheModuleOnlyWhileSomeoneElseHoldsIt)
{
    ComPtr<IUnknown> cached;  // stands for the module's own reference
    ASSERT_EQ(CClassFactory::Create(&CThermalDriver::CreateInstance, IID_IUnknown,
                                    reinterpret_cast<void**>(cached.GetAddressOf())),
              S_OK);
    EXPECT_EQ(GetModuleLockCount(), m_baseline);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(cached.As(&factory), S_OK);  // 1 -> 2
    EXPECT_EQ(GetModuleLockCount(), m_baseline + 1);
    factory->AddRef();  // 2 -> 3
    EXPECT_EQ(GetModuleLockCount(), m_baseline + 1);
    factory->Release();  // 3 -> 2
    EXPECT_EQ(GetModuleLockCount(), m_baseline + 1);
    factory.Reset();  // 2 -> 1
    EXPECT_EQ(GetModuleLockCount(), m_baseline);
}

TEST_F(DriverModule, FactoryCreatesDriversAndRefusesAggregation)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(CClassFactory::Create(&CThermalDriver::CreateInstance, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);

    void* out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(kOuter, __uuidof(IDriverEntry), &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    out = kGarbage;
    EXPECT_EQ(factory->CreateInstance(kOuter, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);

    ComPtr<IDriverEntry> driver;
    EXPECT_EQ(factory->CreateInstance(nullptr, __uuidof(IDriverEntry), reinterpret_cast<void**>(driver.GetAddressOf())),
              S_OK);
    EXPECT_NE(driver.Get(), nullptr);

    const LONG held = GetModuleLockCount();
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(GetModuleLockCount(), held + 1);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(GetModuleLockCount(), held);
}

TEST_F(DriverModule, RegistrationEntryPointsDoNothing)
{
    EXPECT_EQ(g_Module.DllRegisterServer(), S_OK);
    EXPECT_EQ(g_Module.DllUnregisterServer(), S_OK);
}

// Runs the module object's whole life, so it must stay the only test that detaches it.
TEST_F(DriverModule, DetachEndsTracingAndTheClassObjectEntryPoint)
{
    platform::testing::TraceRecorder recorder;
    platform::testing::TraceSession session(recorder);
    session.Enable(GUID_THERMAL_DRIVER_TRACE_CONTROL, TRACE_LEVEL_VERBOSE, 0x1);

    ASSERT_EQ(g_Module.DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr), TRUE);
    EXPECT_TRUE(platform::testing::IsTraceProviderRegistered(GUID_THERMAL_DRIVER_TRACE_CONTROL));
    EXPECT_EQ(g_Module.DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), TRUE);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(g_Module.DllGetClassObject(CLSID_ThermalDriver, IID_IClassFactory,
                                         reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    factory.Reset();

    ASSERT_EQ(g_Module.DllMain(nullptr, DLL_PROCESS_DETACH, nullptr), TRUE);
    EXPECT_FALSE(platform::testing::IsTraceProviderRegistered(GUID_THERMAL_DRIVER_TRACE_CONTROL));
    const std::size_t issued = recorder.Count();
    EXPECT_GT(issued, 0u);

    // Methods that run after detach trace nothing.
    {
        CScopeTimer timer("DllMain");
        ComPtr<IDriverEntry> driver;
        EXPECT_EQ(CThermalDriver::CreateInstance(nullptr, __uuidof(IDriverEntry),
                                                 reinterpret_cast<void**>(driver.GetAddressOf())),
                  S_OK);
    }
    EXPECT_EQ(recorder.Count(), issued);

    void* out = kGarbage;
    EXPECT_EQ(g_Module.DllGetClassObject(CLSID_ThermalDriver, IID_IClassFactory, &out), E_UNEXPECTED);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(g_Module.DllCanUnloadNow(), S_OK);
}

}  // namespace
