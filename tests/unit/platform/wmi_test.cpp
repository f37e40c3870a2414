#include "sim/wmi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/com/security.h"
#include "platform/kernel/synch.h"
#include "platform/wmi/wbemcli.h"
#include "platform_testing/com_security.h"
#include "platform_testing/faults.h"
#include "platform_testing/virtual_clock.h"
#include "support/com_test_kit.h"

namespace {

using namespace std::chrono_literals;
using platform::ComPtr;
using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using sim::WmiValue;
using test_support::ExpectInterface;

// A BSTR for the length of one test statement's scope.
class Bstr {
public:
    explicit Bstr(const char16_t* text) : m_bstr(SysAllocString(text)) {}
    ~Bstr() { SysFreeString(m_bstr); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return m_bstr; }

private:
    BSTR m_bstr;
};

class Wmi : public ::testing::Test {
protected:
    void TearDown() override { sim::ResetWmi(); }

    static ComPtr<IWbemLocator> Locator()
    {
        ComPtr<IWbemLocator> locator;
        EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<void**>(locator.GetAddressOf())),
                  S_OK);
        return locator;
    }

    static ComPtr<IWbemServices> Services()
    {
        ComPtr<IWbemServices> services;
        EXPECT_EQ(Locator()->ConnectServer(Bstr(u"ROOT\\WMI"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                           services.GetAddressOf()),
                  WBEM_S_NO_ERROR);
        return services;
    }

    static HRESULT Query(const char16_t* query, ComPtr<IEnumWbemClassObject>* enumerator,
                         const char16_t* language = u"WQL")
    {
        return Services()->ExecQuery(Bstr(language), Bstr(query), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                     nullptr, enumerator->ReleaseAndGetAddressOf());
    }

    // The Temperature of each instance the enumerator hands out, one Next at a time.
    static std::vector<LONG> Temperatures(IEnumWbemClassObject* enumerator)
    {
        std::vector<LONG> temperatures;
        for (;;) {
            ComPtr<IWbemClassObject> object;
            ULONG returned = 0;
            const HRESULT hr = enumerator->Next(WBEM_INFINITE, 1, object.GetAddressOf(), &returned);
            if (returned == 0) {
                EXPECT_EQ(hr, WBEM_S_FALSE);
                return temperatures;
            }
            EXPECT_EQ(hr, WBEM_S_NO_ERROR);
            VARIANT value;
            VariantInit(&value);
            EXPECT_EQ(object->Get(u"Temperature", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
            temperatures.push_back(value.lVal);
            VariantClear(&value);
        }
    }

    ScopedFaults m_faults;
};

TEST_F(Wmi, LocatorIsABuiltInClassAnsweringOnlyItsInterface)
{
    ComPtr<IWbemLocator> locator = Locator();
    ASSERT_TRUE(locator);
    ExpectInterface(locator.Get(), IID_IUnknown, true);
    ExpectInterface(locator.Get(), IID_IWbemServices, false);
    EXPECT_EQ(sim::LiveWmiObjects(), 1u);
    locator = nullptr;
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
}

TEST_F(Wmi, ConnectServerKnowsOnlyRootWmiInAnyCase)
{
    ComPtr<IWbemLocator> locator = Locator();
    ComPtr<IWbemServices> services;
    EXPECT_EQ(locator->ConnectServer(Bstr(u"root\\wmi"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     services.GetAddressOf()),
              WBEM_S_NO_ERROR);
    EXPECT_TRUE(services);
    for (const char16_t* other : {u"ROOT\\CIMV2", u"ROOT", u"ROOT\\WMI\\", u""}) {
        IWbemServices* refused = reinterpret_cast<IWbemServices*>(0x1);
        EXPECT_EQ(locator->ConnectServer(Bstr(other), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &refused),
                  WBEM_E_INVALID_NAMESPACE);
        EXPECT_EQ(refused, nullptr);
    }
    EXPECT_EQ(locator->ConnectServer(nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     services.ReleaseAndGetAddressOf()),
              WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(locator->ConnectServer(Bstr(u"ROOT\\WMI"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, nullptr),
              WBEM_E_INVALID_PARAMETER);

    FailCall("IWbemLocator::ConnectServer");
    EXPECT_EQ(locator->ConnectServer(Bstr(u"ROOT\\WMI"), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                     services.ReleaseAndGetAddressOf()),
              WBEM_E_FAILED);
    EXPECT_FALSE(services);
}

TEST_F(Wmi, ExecQueryTakesOnlySelectAllFromAClassInWql)
{
    ComPtr<IEnumWbemClassObject> enumerator;
    EXPECT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator), WBEM_S_NO_ERROR);
    EXPECT_EQ(Query(u"  select *\tfrom thermaltemperature ", &enumerator), WBEM_S_NO_ERROR);
    EXPECT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator, u"wql"), WBEM_S_NO_ERROR);

    EXPECT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator, u"SQL"), WBEM_E_INVALID_QUERY_TYPE);
    EXPECT_FALSE(enumerator);
    for (const char16_t* text :
         {u"", u"SELECT * FROM", u"SELECT Temperature FROM ThermalTemperature", u"SELECT * ThermalTemperature",
          u"SELECT * FROM ThermalTemperature WHERE Temperature > 0", u"SELECT * FROM Thermal-Temperature",
          u"SELECT * FROM 1Thermal", u"SELECT *FROM ThermalTemperature"}) {
        EXPECT_EQ(Query(text, &enumerator), WBEM_E_INVALID_QUERY) << std::u16string(text).size();
        EXPECT_FALSE(enumerator);
    }
    EXPECT_EQ(Query(u"SELECT * FROM Win32_Fan", &enumerator), WBEM_E_INVALID_CLASS);

    sim::AddWmiInstance(u"Win32_Fan", {{u"Speed", WmiValue::UI4(1200)}});
    EXPECT_EQ(Query(u"SELECT * FROM Win32_Fan", &enumerator), WBEM_S_NO_ERROR);

    FailCall("IWbemServices::ExecQuery", 1, static_cast<std::uint32_t>(WBEM_E_OUT_OF_MEMORY));
    EXPECT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator), WBEM_E_OUT_OF_MEMORY);
    EXPECT_FALSE(enumerator);
}

TEST_F(Wmi, NextHandsOutTheClassesInstancesInOrderAndSaysWhenFewerRemain)
{
    sim::AddThermalTemperature(u"first", 1);
    sim::AddWmiInstance(u"Win32_Fan", {{u"Temperature", WmiValue::I4(99)}});
    sim::AddThermalTemperature(u"second", 2);
    sim::AddThermalTemperature(u"third", 3);

    ComPtr<IEnumWbemClassObject> enumerator;
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator), WBEM_S_NO_ERROR);
    IWbemClassObject* objects[6] = {};
    ULONG returned = 7;
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 2, objects, &returned), WBEM_S_NO_ERROR);
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(enumerator->Next(0, 4, objects + 2, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 1u);
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects + 3, &returned), WBEM_S_FALSE);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(sim::WmiNextCalls(), 3u);
    for (LONG expected = 1; expected <= 3; ++expected) {
        VARIANT value;
        VariantInit(&value);
        EXPECT_EQ(objects[expected - 1]->Get(u"temperature", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
        EXPECT_EQ(value.vt, VT_I4);
        EXPECT_EQ(value.lVal, expected);
        objects[expected - 1]->Release();
    }

    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 0, objects, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(enumerator->Next(-2, 1, objects, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, nullptr, &returned), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(enumerator->Next(WBEM_INFINITE, 1, objects, nullptr), WBEM_E_INVALID_PARAMETER);
}

TEST_F(Wmi, QueryIsASnapshotOfItsMoment)
{
    const int kept = sim::AddThermalTemperature(u"kept", 10);
    const int removed = sim::AddThermalTemperature(u"removed", 20);
    ComPtr<IEnumWbemClassObject> before;
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &before), WBEM_S_NO_ERROR);

    EXPECT_TRUE(sim::SetWmiProperty(kept, u"Temperature", WmiValue::I4(11)));
    EXPECT_TRUE(sim::RemoveWmiInstance(removed));
    sim::AddThermalTemperature(u"added", 30);
    ComPtr<IEnumWbemClassObject> after;
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &after), WBEM_S_NO_ERROR);

    EXPECT_EQ(Temperatures(before.Get()), (std::vector<LONG>{10, 20}));
    EXPECT_EQ(Temperatures(after.Get()), (std::vector<LONG>{11, 30}));

    EXPECT_FALSE(sim::RemoveWmiInstance(removed));
    EXPECT_FALSE(sim::SetWmiProperty(removed, u"Temperature", WmiValue::I4(1)));
    EXPECT_FALSE(sim::RemoveWmiProperty(kept, u"NoSuchProperty"));
}

TEST_F(Wmi, GetCopiesAnyTypeAndReportsMissingProperties)
{
    const int instance =
        sim::AddWmiInstance(u"ThermalTemperature", {{u"InstanceName", WmiValue::String(u"ACPI\\PNP0C14\\0_0")},
                                                    {u"Temperature", WmiValue::R8(29.5)},
                                                    {u"Active", WmiValue::Bool(true)},
                                                    {u"Unset", WmiValue::Null()}});
    ComPtr<IEnumWbemClassObject> enumerator;
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator), WBEM_S_NO_ERROR);
    ComPtr<IWbemClassObject> object;
    ULONG returned = 0;
    ASSERT_EQ(enumerator->Next(WBEM_INFINITE, 1, object.GetAddressOf(), &returned), WBEM_S_NO_ERROR);
    sim::RemoveWmiInstance(instance);  // the object keeps what it had

    VARIANT value;
    VariantInit(&value);
    CIMTYPE type = -1;
    LONG flavor = -1;
    ASSERT_EQ(object->Get(u"InstanceName", 0, &value, &type, &flavor), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(value.bstrVal, SysStringLen(value.bstrVal)), u"ACPI\\PNP0C14\\0_0");
    EXPECT_EQ(type, CIM_STRING);
    EXPECT_EQ(flavor, WBEM_FLAVOR_ORIGIN_LOCAL);
    VariantClear(&value);

    ASSERT_EQ(object->Get(u"Temperature", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_R8);
    EXPECT_EQ(value.dblVal, 29.5);
    EXPECT_EQ(type, CIM_REAL64);
    ASSERT_EQ(object->Get(u"Active", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.boolVal, VARIANT_TRUE);
    ASSERT_EQ(object->Get(u"Unset", 0, &value, nullptr, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_NULL);

    // Failures leave the caller's VARIANT as it was.
    value.vt = VT_I4;
    value.lVal = 5;
    EXPECT_EQ(object->Get(u"Missing", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(object->Get(u"Temperature", 1, &value, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
    EXPECT_EQ(object->Get(nullptr, 0, &value, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
    FailCall("IWbemClassObject::Get:InstanceName");
    EXPECT_EQ(object->Get(u"InstanceName", 0, &value, nullptr, nullptr), WBEM_E_FAILED);
    FailCall("SysAllocString");
    EXPECT_EQ(object->Get(u"InstanceName", 0, &value, nullptr, nullptr), WBEM_E_OUT_OF_MEMORY);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 5);
}

TEST_F(Wmi, EveryObjectIsGoneOnceTheClientReleasedIt)
{
    sim::AddThermalTemperature(u"one", 1);
    {
        ComPtr<IEnumWbemClassObject> enumerator;
        ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &enumerator), WBEM_S_NO_ERROR);
        ComPtr<IWbemClassObject> object;
        ULONG returned = 0;
        enumerator->Next(WBEM_INFINITE, 1, object.GetAddressOf(), &returned);
        EXPECT_EQ(sim::LiveWmiObjects(), 2u);  // the enumerator holds no reference to the services
    }
    EXPECT_EQ(sim::LiveWmiObjects(), 0u);
}

struct HeldRead {
    ComPtr<IEnumWbemClassObject> enumerator;
    LONG timeout = WBEM_INFINITE;
    HRESULT hr = E_FAIL;
    ULONG returned = 0;
};

DWORD WINAPI ReadOnce(LPVOID parameter)
{
    auto* read = static_cast<HeldRead*>(parameter);
    IWbemClassObject* object = nullptr;
    read->hr = read->enumerator->Next(read->timeout, 1, &object, &read->returned);
    if (object != nullptr) object->Release();
    return 0;
}

TEST_F(Wmi, HeldReadBlocksUntilReleasedOrItsTimeOutOnTheOneClock)
{
    platform::testing::ScopedVirtualClock clock;
    sim::AddThermalTemperature(u"one", 1);
    sim::HoldWmiReads();

    HeldRead forever;
    HeldRead timed;
    timed.timeout = 500;
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &forever.enumerator), WBEM_S_NO_ERROR);
    ASSERT_EQ(Query(u"SELECT * FROM ThermalTemperature", &timed.enumerator), WBEM_S_NO_ERROR);
    HANDLE foreverThread = CreateThread(nullptr, 0, ReadOnce, &forever, 0, nullptr);
    HANDLE timedThread = CreateThread(nullptr, 0, ReadOnce, &timed, 0, nullptr);
    clock.RunUntilIdle();
    EXPECT_EQ(sim::BlockedWmiReads(), 2u);

    clock.AdvanceBy(500ms);
    ASSERT_EQ(WaitForSingleObject(timedThread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(timed.hr, WBEM_S_TIMEDOUT);
    EXPECT_EQ(timed.returned, 0u);
    EXPECT_EQ(sim::BlockedWmiReads(), 1u);

    clock.AdvanceBy(1h);
    EXPECT_EQ(WaitForSingleObject(foreverThread, 0), WAIT_TIMEOUT);
    sim::ReleaseWmiReads();
    ASSERT_EQ(WaitForSingleObject(foreverThread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(forever.hr, WBEM_S_NO_ERROR);
    EXPECT_EQ(forever.returned, 1u);
    CloseHandle(foreverThread);
    CloseHandle(timedThread);
}

class ComSecurity : public ::testing::Test {
protected:
    void SetUp() override { platform::testing::ResetComSecurity(); }
    void TearDown() override { platform::testing::ResetComSecurity(); }

    static HRESULT Initialize(LONG services = -1, DWORD authnLevel = RPC_C_AUTHN_LEVEL_DEFAULT,
                              void* reserved = nullptr)
    {
        return CoInitializeSecurity(nullptr, services, nullptr, reserved, authnLevel, RPC_C_IMP_LEVEL_IMPERSONATE,
                                    nullptr, EOAC_NONE, nullptr);
    }

    ScopedFaults m_faults;
};

TEST_F(ComSecurity, IsSetOnceForTheProcess)
{
    EXPECT_EQ(Initialize(), S_OK);
    EXPECT_EQ(Initialize(), RPC_E_TOO_LATE);
    HRESULT fromOtherThread = S_OK;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID result) -> DWORD {
            *static_cast<HRESULT*>(result) = Initialize();
            return 0;
        },
        &fromOtherThread, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(fromOtherThread, RPC_E_TOO_LATE);
}

TEST_F(ComSecurity, RefusesBadArgumentsWithoutSettingAnything)
{
    EXPECT_EQ(Initialize(-2), E_INVALIDARG);
    EXPECT_EQ(Initialize(1), E_INVALIDARG);  // a count without a list
    EXPECT_EQ(Initialize(-1, RPC_C_AUTHN_LEVEL_PKT_PRIVACY + 1), E_INVALIDARG);
    int reserved = 0;
    EXPECT_EQ(Initialize(-1, RPC_C_AUTHN_LEVEL_DEFAULT, &reserved), E_INVALIDARG);
    FailCall("CoInitializeSecurity");
    EXPECT_EQ(Initialize(), E_OUTOFMEMORY);
    EXPECT_EQ(Initialize(), S_OK);
}

TEST_F(ComSecurity, ProxyBlanketNeedsAProxyAndCanBeMadeToFail)
{
    ComPtr<IWbemLocator> locator;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                               reinterpret_cast<void**>(locator.GetAddressOf())),
              S_OK);
    auto blanket = [](IUnknown* proxy, DWORD authnLevel = RPC_C_AUTHN_LEVEL_CALL) {
        return CoSetProxyBlanket(proxy, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, authnLevel,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    };
    EXPECT_EQ(blanket(locator.Get()), S_OK);
    EXPECT_EQ(blanket(nullptr), E_INVALIDARG);
    EXPECT_EQ(blanket(locator.Get(), 99), E_INVALIDARG);
    FailCall("CoSetProxyBlanket", 1, static_cast<std::uint32_t>(E_ACCESSDENIED));
    EXPECT_EQ(blanket(locator.Get()), E_ACCESSDENIED);
}

}  // namespace
