#include "acquisition/wmi_thermal.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/com/runtime.h"
#include "platform/com/security.h"
#include "platform_testing/com_classes.h"
#include "platform_testing/com_security.h"
#include "platform_testing/faults.h"
#include "sim/wmi.h"

namespace {

using platform::testing::FailCall;
using sim::WmiValue;

constexpr int kUntouched = -77;
constexpr char16_t kMatchingName[] = u"ACPI\\PNP0C14\\0_0";

class WmiThermal : public ::testing::Test {
protected:
    void SetUp() override { platform::testing::ResetComSecurity(); }

    void TearDown() override
    {
        m_source.DeinitComComponent();
        EXPECT_EQ(sim::LiveWmiObjects(), 0u);
        sim::ResetWmi();
        platform::testing::RestoreBuiltinClasses();
        platform::testing::ResetComSecurity();
    }

    // One read: its result, and the output it left.
    struct Reading {
        int result;
        int value;
    };
    Reading Read()
    {
        int value = kUntouched;
        const int result = m_source.GetSensorVoltage(&value);
        return {result, value};
    }

    platform::testing::ScopedFaults m_faults;
    CWmiThermal m_source;
};

// Runs a body on a thread of its own, so that the test chooses the thread's apartment.
template <class Body>
void OnFreshThread(Body body)
{
    std::thread(body).join();
}

TEST_F(WmiThermal, GetSensorVoltage_PassesAVt4ValueOnUnchanged)
{
    const int zone = sim::AddThermalTemperature(kMatchingName, 3000);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().result, 1);
    EXPECT_EQ(Read().value, 3000);

    sim::SetWmiProperty(zone, u"Temperature", WmiValue::I4(-40));
    EXPECT_EQ(Read().value, -40);
}

TEST_F(WmiThermal, GetSensorVoltage_MatchesThePatternAnywhereInTheNameAndCaseSensitively)
{
    ASSERT_EQ(m_source.InitComComponent(), 1);
    for (const std::u16string name :
         {u"ACPI\\PNP0C14\\0_0", u"\\\\?\\ACPI\\PNP0C14\\0_0", u"ACPI\\PNP0C14\\0_0_1", u"xACPI\\PNP0C14\\0_0 y"}) {
        sim::ResetWmi();
        sim::AddThermalTemperature(name, 2950);
        EXPECT_EQ(Read().value, 2950) << name.size();
    }
    for (const std::u16string name :
         {u"acpi\\pnp0c14\\0_0", u"ACPI\\PNP0C14\\0_", u"ACPI/PNP0C14/0_0", u"ACPI\\PNP0C14\\1_0", u""}) {
        sim::ResetWmi();
        sim::AddThermalTemperature(name, 2950);
        const Reading reading = Read();
        EXPECT_EQ(reading.result, 0) << name.size();
        EXPECT_EQ(reading.value, kUntouched);
    }
}

TEST_F(WmiThermal, GetSensorVoltage_FirstMatchWinsAfterSkippingEarlierInstancesOneByOne)
{
    sim::AddThermalTemperature(u"ACPI\\PNP0C14\\1_0", 1);
    sim::AddThermalTemperature(u"ACPI\\THERMAL_ZONE", 2);
    sim::AddThermalTemperature(u"ACPI\\PNP0C14\\0_0", 3);
    sim::AddThermalTemperature(u"ACPI\\PNP0C14\\0_0_second", 4);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().value, 3);
    EXPECT_EQ(sim::WmiNextCalls(), 3u);
}

TEST_F(WmiThermal, GetSensorVoltage_InstanceNameThatIsNotAStringDoesNotMatch)
{
    sim::AddWmiInstance(u"ThermalTemperature", {{u"InstanceName", WmiValue::I4(0)}, {u"Temperature", WmiValue::I4(1)}});
    sim::AddWmiInstance(u"ThermalTemperature", {{u"Temperature", WmiValue::I4(2)}});
    sim::AddWmiInstance(u"ThermalTemperature",
                        {{u"InstanceName", WmiValue::Null()}, {u"Temperature", WmiValue::I4(3)}});
    sim::AddThermalTemperature(kMatchingName, 4);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().value, 4);
    EXPECT_EQ(sim::WmiNextCalls(), 4u);
}

TEST_F(WmiThermal, GetSensorVoltage_TemperatureOtherThanVt4GivesNothing)
{
    const int zone = sim::AddThermalTemperature(kMatchingName, 3000);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    for (const WmiValue& value :
         {WmiValue::I2(3000), WmiValue::UI4(3000), WmiValue::R8(3000.0), WmiValue::String(u"3000"), WmiValue::Null()}) {
        sim::SetWmiProperty(zone, u"Temperature", value);
        const Reading reading = Read();
        EXPECT_EQ(reading.result, 0) << value.Type();
        EXPECT_EQ(reading.value, kUntouched) << value.Type();
    }
    sim::RemoveWmiProperty(zone, u"Temperature");
    EXPECT_EQ(Read().result, 0);
    EXPECT_EQ(Read().value, kUntouched);
}

TEST_F(WmiThermal, GetSensorVoltage_NoInstanceGivesNothingAfterASingleNext)
{
    ASSERT_EQ(m_source.InitComComponent(), 1);
    const Reading reading = Read();
    EXPECT_EQ(reading.result, 0);
    EXPECT_EQ(reading.value, kUntouched);
    EXPECT_EQ(sim::WmiNextCalls(), 1u);
}

TEST_F(WmiThermal, GetSensorVoltage_EachReadRunsItsOwnQuery)
{
    const int zone = sim::AddThermalTemperature(kMatchingName, 3000);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().value, 3000);
    sim::SetWmiProperty(zone, u"Temperature", WmiValue::I4(3100));
    EXPECT_EQ(Read().value, 3100);
    sim::RemoveWmiInstance(zone);
    EXPECT_EQ(Read().result, 0);
    // Nothing of a read outlives it: only the locator and the services remain.
    EXPECT_EQ(sim::LiveWmiObjects(), 2u);
}

TEST_F(WmiThermal, GetSensorVoltage_FailsWithoutAFullInitOrAnOutput)
{
    sim::AddThermalTemperature(kMatchingName, 3000);
    EXPECT_EQ(Read().result, 0);
    EXPECT_EQ(Read().value, kUntouched);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(m_source.GetSensorVoltage(nullptr), 0);
    EXPECT_EQ(m_source.DeinitComComponent(), 1);
    EXPECT_EQ(Read().result, 0);
    EXPECT_EQ(Read().value, kUntouched);
    EXPECT_EQ(sim::WmiNextCalls(), 0u);
}

TEST_F(WmiThermal, GetSensorVoltage_FailureOfAnyPlatformCallGivesNothing)
{
    sim::AddThermalTemperature(kMatchingName, 3000);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    platform::testing::StartCountingCheckedCalls();
    ASSERT_EQ(Read().value, 3000);
    const std::uint64_t calls = platform::testing::CheckedCallCount();
    ASSERT_GE(calls, 8u);  // the strings, the query, Next, both Gets and the name's copy
    for (std::uint64_t k = 1; k <= calls; ++k) {
        platform::testing::StartCountingCheckedCalls(k);
        const Reading reading = Read();
        EXPECT_EQ(reading.result, 0) << "failing call " << k << ": " << platform::testing::LastInjectedFault();
        EXPECT_EQ(reading.value, kUntouched);
        EXPECT_EQ(sim::LiveWmiObjects(), 2u);
    }
}

TEST_F(WmiThermal, GetSensorVoltage_EveryBstrAllocationFailureGivesNothing)
{
    sim::AddThermalTemperature(kMatchingName, 3000);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    int failed = 0;
    for (;; ++failed) {
        platform::testing::ResetFaults();
        FailCall("SysAllocString", 1, 0, failed);
        const Reading reading = Read();
        if (platform::testing::InjectedFaultCount() == 0) {
            EXPECT_EQ(reading.value, 3000);
            break;
        }
        EXPECT_EQ(reading.result, 0) << "allocation " << failed;
        EXPECT_EQ(reading.value, kUntouched);
    }
    EXPECT_GE(failed, 5);  // language, query, both property names, the pattern
}

TEST_F(WmiThermal, InitComComponent_SecurityAlreadySetGoesOn)
{
    ASSERT_EQ(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                   RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr),
              S_OK);
    sim::AddThermalTemperature(kMatchingName, 3000);
    EXPECT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().value, 3000);
}

TEST_F(WmiThermal, InitComComponent_AnyFailingStepLeavesNothingHeld)
{
    sim::AddThermalTemperature(kMatchingName, 3000);
    for (const char* point : {"CoInitializeEx", "CoInitializeSecurity", "CoCreateInstance", "SysAllocString",
                              "IWbemLocator::ConnectServer", "CoSetProxyBlanket"}) {
        FailCall(point, 1, static_cast<std::uint32_t>(E_ACCESSDENIED));
        EXPECT_EQ(m_source.InitComComponent(), 0) << point;
        EXPECT_EQ(sim::LiveWmiObjects(), 0u) << point;
        EXPECT_EQ(Read().value, kUntouched) << point;
    }
    EXPECT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(Read().value, 3000);
}

TEST_F(WmiThermal, InitComComponent_RepeatedWithoutDeinitReleasesWhatItHeld)
{
    ASSERT_EQ(m_source.InitComComponent(), 1);
    ASSERT_EQ(m_source.InitComComponent(), 1);
    EXPECT_EQ(sim::LiveWmiObjects(), 2u);
    m_source.DeinitComComponent();
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
    m_source.DeinitComComponent();  // a second de-init finds nothing to do
    CoUninitialize();               // balances the apartment of the repeated init
}

TEST_F(WmiThermal, DeinitComComponent_LeavesTheApartmentItEntered)
{
    OnFreshThread([] {
        CWmiThermal source;
        ASSERT_EQ(source.InitComComponent(), 1);
        EXPECT_EQ(source.DeinitComComponent(), 1);
        // The thread is out of every apartment: another model may be chosen.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CoUninitialize();
    });
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CWmiThermal source;
        ASSERT_EQ(source.InitComComponent(), 1);  // joins the thread's apartment once more
        source.DeinitComComponent();
        // The thread's own entry remains.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
    });
}

TEST_F(WmiThermal, DeinitComComponent_KeepsAForeignApartment)
{
    sim::AddThermalTemperature(kMatchingName, 3000);
    OnFreshThread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        CWmiThermal source;
        ASSERT_EQ(source.InitComComponent(), 1);  // RPC_E_CHANGED_MODE: goes on
        int value = kUntouched;
        EXPECT_EQ(source.GetSensorVoltage(&value), 1);
        EXPECT_EQ(value, 3000);
        EXPECT_EQ(source.DeinitComComponent(), 1);
        // Still in the single-threaded apartment it had before: no CoUninitialize was made.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), RPC_E_CHANGED_MODE);
        CoUninitialize();
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        CoUninitialize();
    });
}

}  // namespace
