// The device's named property store: values by name, kept in the state directory across hosts,
// and a damaged file reported and replaced by its previous generation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "host/host_device.h"
#include "platform/com/propvariant.h"
#include "platform_testing/faults.h"
#include "platform_testing/wpd.h"
#include "sim/state_directory.h"
#include "support/temp_dir.h"

namespace {

using platform::ComPtr;
using platform::host::CHostDevice;
using platform::host::RecordKind;
using ::testing::HasSubstr;

constexpr char16_t kRadioState[] = u"SENSOR_PROPERTY_RADIO_STATE";
constexpr char16_t kPreviousRadioState[] = u"SENSOR_PROPERTY_PREVIOUS_RADIO_STATE";

// A PROPVARIANT cleared on every way out.
struct Value {
    PROPVARIANT pv{};
    Value() = default;
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    ~Value() { PropVariantClear(&pv); }
};

class HostPropertyStore : public ::testing::Test {
protected:
    HostPropertyStore() { EXPECT_TRUE(sim::SetStateDirectory(m_dir.path())); }
    ~HostPropertyStore() override { sim::ClearStateDirectory(); }

    // A new host device, as a restarted host makes it.
    static ComPtr<CHostDevice> NewDevice()
    {
        ComPtr<CHostDevice> device;
        EXPECT_EQ(CHostDevice::Create({}, nullptr, &device), S_OK);
        return device;
    }

    static ComPtr<IWDFNamedPropertyStore> Open(CHostDevice* device,
                                               WDF_PROPERTY_STORE_DISPOSITION* disposition = nullptr,
                                               HRESULT expected = S_OK)
    {
        ComPtr<IWDFNamedPropertyStore> store;
        EXPECT_EQ(device->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing, store.GetAddressOf(),
                                                      disposition),
                  expected);
        return store;
    }

    static void SetUInt(IWDFNamedPropertyStore* store, PCWSTR name, ULONG value)
    {
        Value v;
        InitPropVariantFromUInt32(value, &v.pv);
        EXPECT_EQ(store->SetNamedValue(name, &v.pv), S_OK);
    }

    static std::optional<ULONG> GetUInt(IWDFNamedPropertyStore* store, PCWSTR name)
    {
        Value v;
        if (FAILED(store->GetNamedValue(name, &v.pv)) || v.pv.vt != VT_UI4) return std::nullopt;
        return v.pv.ulVal;
    }

    std::filesystem::path File() const { return m_dir.path() / "device-properties"; }

    test_support::TempDir m_dir;
    platform::testing::ScopedFaults m_faults;
};

TEST_F(HostPropertyStore, NamedValues_AreSetAndReadByName)
{
    auto device = NewDevice();
    auto store = Open(device.Get());
    SetUInt(store.Get(), kRadioState, 2);
    EXPECT_EQ(GetUInt(store.Get(), kRadioState), 2u);
    EXPECT_EQ(GetUInt(store.Get(), u"sensor_property_radio_state"), 2u);  // names ignore case

    Value missing;
    EXPECT_EQ(store->GetNamedValue(kPreviousRadioState, &missing.pv), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(missing.pv.vt, VT_EMPTY);

    // Every store object of the device sees the same values.
    auto again = Open(device.Get());
    EXPECT_EQ(GetUInt(again.Get(), kRadioState), 2u);
    EXPECT_EQ(device->Record().Named("IWDFNamedPropertyStore::SetNamedValue")[0].arguments,
              "SENSOR_PROPERTY_RADIO_STATE VT_UI4 2");
    EXPECT_EQ(device->Record().Named("IWDFNamedPropertyStore::GetNamedValue")[0].result, "S_OK VT_UI4 2");
}

TEST_F(HostPropertyStore, NamedValues_KeepEveryTypeTheWireFormCarries)
{
    auto store = Open(NewDevice().Get());
    Value text, guid, number, refused;
    InitPropVariantFromString(u"on", &text.pv);
    InitPropVariantFromCLSID(platform::MakeGuid("{7721DDEC-EEA7-41B7-A89C-C716A17F713A}"), &guid.pv);
    InitPropVariantFromFloat(5.0f, &number.pv);
    refused.pv.vt = VT_I2;
    ASSERT_EQ(store->SetNamedValue(u"text", &text.pv), S_OK);
    ASSERT_EQ(store->SetNamedValue(u"guid", &guid.pv), S_OK);
    ASSERT_EQ(store->SetNamedValue(u"number", &number.pv), S_OK);
    EXPECT_EQ(store->SetNamedValue(u"refused", &refused.pv), DISP_E_BADVARTYPE);

    auto reopened = Open(NewDevice().Get());
    Value readText, readGuid, readNumber, readRefused;
    ASSERT_EQ(reopened->GetNamedValue(u"text", &readText.pv), S_OK);
    EXPECT_EQ(std::u16string(readText.pv.pwszVal), u"on");
    ASSERT_EQ(reopened->GetNamedValue(u"guid", &readGuid.pv), S_OK);
    EXPECT_EQ(*readGuid.pv.puuid, *guid.pv.puuid);
    ASSERT_EQ(reopened->GetNamedValue(u"number", &readNumber.pv), S_OK);
    EXPECT_EQ(readNumber.pv.fltVal, 5.0f);
    EXPECT_EQ(reopened->GetNamedValue(u"refused", &readRefused.pv), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(platform::testing::LivePortableDeviceCollections(), 0u);
}

TEST_F(HostPropertyStore, Values_SurviveANewHostOnTheSameStateDirectory)
{
    WDF_PROPERTY_STORE_DISPOSITION disposition = OpenedExistingStore;
    {
        auto store = Open(NewDevice().Get(), &disposition);
        EXPECT_EQ(disposition, CreatedNewStore);
        SetUInt(store.Get(), kRadioState, 1);
        SetUInt(store.Get(), kPreviousRadioState, 0);
        SetUInt(store.Get(), kRadioState, 3);
    }
    EXPECT_TRUE(std::filesystem::exists(File()));

    auto store = Open(NewDevice().Get(), &disposition);
    EXPECT_EQ(disposition, OpenedExistingStore);
    EXPECT_EQ(GetUInt(store.Get(), kRadioState), 3u);
    EXPECT_EQ(GetUInt(store.Get(), kPreviousRadioState), 0u);
}

TEST_F(HostPropertyStore, WithoutAStateDirectory_ValuesLiveAsLongAsTheDevice)
{
    sim::ClearStateDirectory();
    SetUInt(Open(NewDevice().Get()).Get(), kRadioState, 1);
    WDF_PROPERTY_STORE_DISPOSITION disposition = OpenedExistingStore;
    auto store = Open(NewDevice().Get(), &disposition);
    EXPECT_EQ(disposition, CreatedNewStore);
    EXPECT_EQ(GetUInt(store.Get(), kRadioState), std::nullopt);
}

TEST_F(HostPropertyStore, DamagedFile_IsMovedAsideForItsPreviousGenerationOrAnEmptyStore)
{
    SetUInt(Open(NewDevice().Get()).Get(), kRadioState, 1);
    SetUInt(Open(NewDevice().Get()).Get(), kRadioState, 2);  // 1 is the previous generation now
    std::string contents;
    {
        std::ifstream in(File());
        contents.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto previous = m_dir.path() / "device-properties.previous";
    // A file cut short (its end line lost) is as damaged as one full of noise; each falls back to
    // the previous generation, and when that is damaged too the store starts empty.
    struct Case {
        std::string current;
        std::string previousGeneration;  // empty: left as it is
        WDF_PROPERTY_STORE_DISPOSITION disposition;
        std::optional<ULONG> radio;
        const char* problem;
    } const cases[] = {
        {contents.substr(0, contents.size() - 6), {}, OpenedExistingStore, 1u, "previous generation"},
        {"\x01garbage\n", {}, OpenedExistingStore, 1u, "previous generation"},
        {"\x01garbage\n", "thermal-device-properties 1\nend 9\n", CreatedNewStore, std::nullopt, "damaged too"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.problem);
        std::ofstream(File(), std::ios::trunc) << c.current;
        if (!c.previousGeneration.empty()) std::ofstream(previous, std::ios::trunc) << c.previousGeneration;
        auto device = NewDevice();
        WDF_PROPERTY_STORE_DISPOSITION disposition = OpenedExistingStore;
        auto store = Open(device.Get(), &disposition);
        EXPECT_EQ(disposition, c.disposition);
        EXPECT_EQ(GetUInt(store.Get(), kRadioState), c.radio);
        EXPECT_THAT(device->PropertyStoreProblem(), HasSubstr("is damaged"));
        EXPECT_THAT(device->PropertyStoreProblem(), HasSubstr(c.problem));
        EXPECT_EQ(device->Record().Count("LoadDevicePropertyStore"), 1u);
        EXPECT_TRUE(std::filesystem::exists(m_dir.path() / "device-properties.corrupt"));
        // What the device found is in the file again, for the next host.
        EXPECT_EQ(GetUInt(Open(NewDevice().Get()).Get(), kRadioState), c.radio);
    }
}

TEST_F(HostPropertyStore, Retrieve_RefusesOtherStoresAndMissingOnesWithoutCreate)
{
    auto device = NewDevice();
    ComPtr<IWDFNamedPropertyStore> store;
    EXPECT_EQ(device->RetrieveDevicePropertyStore(u"OtherService", WdfPropertyStoreCreateIfMissing,
                                                  store.GetAddressOf(), nullptr),
              HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(device->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreNormal, store.GetAddressOf(), nullptr),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(device->RetrieveDevicePropertyStore(nullptr, WdfPropertyStoreCreateIfMissing, nullptr, nullptr),
              E_POINTER);
    EXPECT_EQ(store, nullptr);

    platform::testing::FailCall("IWDFDevice2::RetrieveDevicePropertyStore");
    Open(device.Get(), nullptr, E_OUTOFMEMORY);
    auto opened = Open(device.Get());
    ASSERT_NE(opened, nullptr);
    EXPECT_EQ(opened->SetNamedValue(nullptr, nullptr), E_POINTER);
    Value v;
    EXPECT_EQ(opened->GetNamedValue(u"", &v.pv), E_INVALIDARG);
}

TEST_F(HostPropertyStore, SetNamedValue_AFailedSetLeavesTheValueAsItWas)
{
    auto store = Open(NewDevice().Get());
    SetUInt(store.Get(), kRadioState, 1);
    platform::testing::FailCall("IWDFNamedPropertyStore::SetNamedValue", 1, static_cast<std::uint32_t>(E_FAIL));
    Value v;
    InitPropVariantFromUInt32(0, &v.pv);
    EXPECT_EQ(store->SetNamedValue(kRadioState, &v.pv), E_FAIL);
    EXPECT_EQ(GetUInt(store.Get(), kRadioState), 1u);
    EXPECT_EQ(GetUInt(Open(NewDevice().Get()).Get(), kRadioState), 1u);
}

}  // namespace
