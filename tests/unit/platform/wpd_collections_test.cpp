#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform/wpd/portable_device_values.h"
#include "platform_testing/faults.h"
#include "platform_testing/wpd.h"
#include "support/com_test_kit.h"

namespace {

using platform::ComPtr;
using platform::testing::CollectionFault;
using platform::testing::FailCall;
using platform::testing::LivePortableDeviceCollections;
using platform::testing::ScopedFaults;
using test_support::ExpectInterface;
using test_support::RefCount;

DEFINE_PROPERTYKEY(kStateKey, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 3);
DEFINE_PROPERTYKEY(kIntervalKey, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 13);
DEFINE_PROPERTYKEY(kTemperatureKey, "{8B0AA2F1-2D57-42EE-8CC0-4D27622B46C4}", 2);
constexpr GUID kCategory = platform::MakeGuid("{323439AA-7F66-492B-BA0C-73E9AA0A65D5}");
constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

// One key per typed getter.
constexpr GUID kObjectSet = platform::MakeGuid("{EF6B490D-5CD8-437A-AFFC-DA8B60EE4A3C}");
constexpr PROPERTYKEY kString{kObjectSet, 1};
constexpr PROPERTYKEY kUnsigned{kObjectSet, 2};
constexpr PROPERTYKEY kSigned{kObjectSet, 3};
constexpr PROPERTYKEY kFloat{kObjectSet, 4};
constexpr PROPERTYKEY kError{kObjectSet, 5};
constexpr PROPERTYKEY kBool{kObjectSet, 6};
constexpr PROPERTYKEY kGuid{kObjectSet, 7};
constexpr PROPERTYKEY kUnknown{kObjectSet, 8};
constexpr PROPERTYKEY kValues{kObjectSet, 9};
constexpr PROPERTYKEY kMissing{kObjectSet, 10};

class CToken final : public platform::ComObject<CToken, IUnknown> {};

template <class Interface>
ComPtr<Interface> Create(REFCLSID clsid)
{
    ComPtr<Interface> object;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(Interface),
                               reinterpret_cast<void**>(object.GetAddressOf())),
              S_OK);
    return object;
}

ComPtr<IUnknown> Token()
{
    ComPtr<IUnknown> token;
    EXPECT_EQ(platform::MakeAndQuery<CToken>(IID_IUnknown, reinterpret_cast<void**>(token.GetAddressOf())), S_OK);
    return token;
}

class PortableDeviceCollections : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(LivePortableDeviceCollections(), 0u); }

    ScopedFaults m_faults;
};

// The keys of a values set in order, each with the unsigned value stored under it.
std::vector<std::pair<DWORD, ULONG>> Entries(IPortableDeviceValues* values)
{
    DWORD count = 0;
    EXPECT_EQ(values->GetCount(&count), S_OK);
    std::vector<std::pair<DWORD, ULONG>> entries;
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        PROPVARIANT value;
        EXPECT_EQ(values->GetAt(i, &key, &value), S_OK);
        entries.emplace_back(key.pid, value.ulVal);
        PropVariantClear(&value);
    }
    return entries;
}

TEST_F(PortableDeviceCollections, EachClassIsMadeByCoCreateInstanceAndCanBeMadeToFail)
{
    struct Class {
        CLSID clsid;
        IID iid;
        const char* fault;
    };
    const IID all[] = {IID_IPortableDeviceValues, IID_IPortableDeviceKeyCollection,
                       IID_IPortableDeviceValuesCollection};
    for (const Class& c : {Class{CLSID_PortableDeviceValues, IID_IPortableDeviceValues,
                                 "CoCreateInstance:{0C15D503-D017-47CE-9016-7B3F978721CC}"},
                           Class{CLSID_PortableDeviceKeyCollection, IID_IPortableDeviceKeyCollection,
                                 "CoCreateInstance:{DE2D022D-2480-43BE-97F0-D1FA2CF98F4F}"},
                           Class{CLSID_PortableDeviceValuesCollection, IID_IPortableDeviceValuesCollection,
                                 "CoCreateInstance:{3882134D-14CF-4220-9CB4-435F86D83F60}"}}) {
        SCOPED_TRACE(c.fault);
        IUnknown* object = nullptr;
        ASSERT_EQ(CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, c.iid, reinterpret_cast<void**>(&object)),
                  S_OK);
        EXPECT_EQ(LivePortableDeviceCollections(), 1u);
        ExpectInterface(object, IID_IUnknown, true);
        for (const IID& other : all) ExpectInterface(object, other, other == c.iid);
        EXPECT_EQ(object->Release(), 0u);
        EXPECT_EQ(LivePortableDeviceCollections(), 0u);

        FailCall(c.fault);
        object = reinterpret_cast<IUnknown*>(0x1);
        EXPECT_EQ(CoCreateInstance(c.clsid, nullptr, CLSCTX_INPROC_SERVER, c.iid, reinterpret_cast<void**>(&object)),
                  E_OUTOFMEMORY);
        EXPECT_EQ(object, nullptr);
    }
}

TEST_F(PortableDeviceCollections, ValuesKeepFirstInsertionOrderAndReplaceInPlace)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kIntervalKey, 1000), S_OK);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kStateKey, 0), S_OK);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kTemperatureKey, 7), S_OK);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kStateKey, 1), S_OK);
    EXPECT_EQ(Entries(values.Get()), (std::vector<std::pair<DWORD, ULONG>>{{13, 1000}, {3, 1}, {2, 7}}));

    EXPECT_EQ(values->RemoveValue(kStateKey), S_OK);
    EXPECT_EQ(values->RemoveValue(kStateKey), kNotFound);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kStateKey, 2), S_OK);
    EXPECT_EQ(Entries(values.Get()), (std::vector<std::pair<DWORD, ULONG>>{{13, 1000}, {2, 7}, {3, 2}}));

    PROPERTYKEY key{};
    PROPVARIANT value;
    EXPECT_EQ(values->GetAt(3, &key, &value), E_INVALIDARG);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(values->GetAt(0, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(values->GetAt(1, &key, nullptr), S_OK);
    EXPECT_EQ(key, kTemperatureKey);

    EXPECT_EQ(values->Clear(), S_OK);
    EXPECT_EQ(Entries(values.Get()).size(), 0u);
}

// A few entries are held in the object and more move to the heap: order, removal and clearing
// read the same on both sides of that move.
TEST_F(PortableDeviceCollections, ManyEntriesKeepTheirOrderThroughRemovalAndClear)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    auto keys = Create<IPortableDeviceKeyCollection>(CLSID_PortableDeviceKeyCollection);
    std::vector<std::pair<DWORD, ULONG>> expected;
    for (DWORD pid = 1; pid <= 9; ++pid) {
        ASSERT_EQ(values->SetUnsignedIntegerValue(PROPERTYKEY{kObjectSet, pid}, pid * 10), S_OK);
        ASSERT_EQ(keys->Add(PROPERTYKEY{kObjectSet, pid}), S_OK);
        expected.emplace_back(pid, pid * 10);
    }
    for (DWORD pid : {2u, 9u, 5u}) {
        EXPECT_EQ(values->RemoveValue(PROPERTYKEY{kObjectSet, pid}), S_OK);
        std::erase(expected, std::pair<DWORD, ULONG>{pid, pid * 10});
    }
    EXPECT_EQ(Entries(values.Get()), expected);
    EXPECT_EQ(keys->RemoveAt(8), S_OK);
    EXPECT_EQ(keys->RemoveAt(0), S_OK);
    DWORD count = 0;
    EXPECT_EQ(keys->GetCount(&count), S_OK);
    EXPECT_EQ(count, 7u);
    PROPERTYKEY first{};
    PROPERTYKEY last{};
    EXPECT_EQ(keys->GetAt(0, &first), S_OK);
    EXPECT_EQ(keys->GetAt(6, &last), S_OK);
    EXPECT_EQ(first.pid, 2u);
    EXPECT_EQ(last.pid, 8u);

    EXPECT_EQ(values->Clear(), S_OK);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kStateKey, 1), S_OK);
    EXPECT_EQ(Entries(values.Get()), (std::vector<std::pair<DWORD, ULONG>>{{3, 1}}));
}

TEST_F(PortableDeviceCollections, ValuesStoreCopiesAndHandOutCopiesThatBelongToTheCaller)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    PROPVARIANT source;
    ASSERT_EQ(InitPropVariantFromString(u"Temperature Sensor", &source), S_OK);
    EXPECT_EQ(values->SetValue(kStateKey, &source), S_OK);
    source.pwszVal[0] = u'X';  // the store kept its own copy
    PropVariantClear(&source);

    PROPVARIANT first;
    PROPVARIANT second;
    ASSERT_EQ(values->GetValue(kStateKey, &first), S_OK);
    ASSERT_EQ(values->GetValue(kStateKey, &second), S_OK);
    ASSERT_EQ(first.vt, VT_LPWSTR);
    EXPECT_NE(first.pwszVal, second.pwszVal);
    EXPECT_EQ(std::u16string_view(first.pwszVal), u"Temperature Sensor");
    PropVariantClear(&first);
    PropVariantClear(&second);

    LPWSTR text = nullptr;
    ASSERT_EQ(values->GetStringValue(kStateKey, &text), S_OK);
    EXPECT_EQ(std::u16string_view(text), u"Temperature Sensor");
    CoTaskMemFree(text);

    // An interface value is held by one reference, given back on replacement, Clear and release.
    ComPtr<IUnknown> token = Token();
    EXPECT_EQ(values->SetIUnknownValue(kIntervalKey, token.Get()), S_OK);
    EXPECT_EQ(values->SetIUnknownValue(kTemperatureKey, token.Get()), S_OK);
    EXPECT_EQ(RefCount(token.Get()), 3u);
    EXPECT_EQ(values->SetUnsignedIntegerValue(kTemperatureKey, 5), S_OK);
    EXPECT_EQ(RefCount(token.Get()), 2u);
    ComPtr<IUnknown> read;
    ASSERT_EQ(values->GetIUnknownValue(kIntervalKey, read.GetAddressOf()), S_OK);
    EXPECT_EQ(read, token);
    read = nullptr;
    EXPECT_EQ(values->Clear(), S_OK);
    EXPECT_EQ(RefCount(token.Get()), 1u);
    EXPECT_EQ(values->SetIUnknownValue(kIntervalKey, token.Get()), S_OK);
    values = nullptr;
    EXPECT_EQ(RefCount(token.Get()), 1u);
}

TEST_F(PortableDeviceCollections, TypedGettersAnswerTheirOwnTypeOnlyAndNotFoundForAMissingKey)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    auto nested = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    ComPtr<IUnknown> token = Token();
    ASSERT_EQ(values->SetStringValue(kString, u"DEVICE"), S_OK);
    ASSERT_EQ(values->SetUnsignedIntegerValue(kUnsigned, 4000000000u), S_OK);
    ASSERT_EQ(values->SetSignedIntegerValue(kSigned, -3000), S_OK);
    ASSERT_EQ(values->SetFloatValue(kFloat, -1024.0f), S_OK);
    ASSERT_EQ(values->SetErrorValue(kError, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED)), S_OK);
    ASSERT_EQ(values->SetBoolValue(kBool, 7), S_OK);
    ASSERT_EQ(values->SetGuidValue(kGuid, kCategory), S_OK);
    ASSERT_EQ(values->SetIUnknownValue(kUnknown, token.Get()), S_OK);
    ASSERT_EQ(values->SetIPortableDeviceValuesValue(kValues, nested.Get()), S_OK);

    // Each getter reads every key: its own gives S_OK, another type DISP_E_TYPEMISMATCH.
    using Getter = std::function<HRESULT(const PROPERTYKEY&)>;
    std::vector<std::pair<PROPERTYKEY, Getter>> getters = {
        {kString,
         [&](const PROPERTYKEY& k) {
             LPWSTR v = nullptr;
             const HRESULT hr = values->GetStringValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(std::u16string_view(v), u"DEVICE");
             }
             CoTaskMemFree(v);
             return hr;
         }},
        {kUnsigned,
         [&](const PROPERTYKEY& k) {
             ULONG v = 0;
             const HRESULT hr = values->GetUnsignedIntegerValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, 4000000000u);
             }
             return hr;
         }},
        {kSigned,
         [&](const PROPERTYKEY& k) {
             LONG v = 0;
             const HRESULT hr = values->GetSignedIntegerValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, -3000);
             }
             return hr;
         }},
        {kFloat,
         [&](const PROPERTYKEY& k) {
             FLOAT v = 0;
             const HRESULT hr = values->GetFloatValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, -1024.0f);
             }
             return hr;
         }},
        {kError,
         [&](const PROPERTYKEY& k) {
             HRESULT v = S_OK;
             const HRESULT hr = values->GetErrorValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
             }
             return hr;
         }},
        {kBool,
         [&](const PROPERTYKEY& k) {
             BOOL v = FALSE;
             const HRESULT hr = values->GetBoolValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, TRUE);
             }
             return hr;
         }},
        {kGuid,
         [&](const PROPERTYKEY& k) {
             GUID v{};
             const HRESULT hr = values->GetGuidValue(k, &v);
             if (hr == S_OK) {
                 EXPECT_EQ(v, kCategory);
             }
             return hr;
         }},
        {kValues,
         [&](const PROPERTYKEY& k) {
             ComPtr<IPortableDeviceValues> v;
             const HRESULT hr = values->GetIPortableDeviceValuesValue(k, v.GetAddressOf());
             if (hr == S_OK) {
                 EXPECT_EQ(v, nested);
             }
             if (hr != S_OK) {
                 EXPECT_EQ(v, nullptr);
             }
             return hr;
         }},
    };
    for (const auto& [own, get] : getters) {
        for (const auto& [other, unused] : getters) {
            SCOPED_TRACE(testing::Message() << "getter of pid " << own.pid << " reading pid " << other.pid);
            EXPECT_EQ(get(other), other == own ? S_OK : DISP_E_TYPEMISMATCH);
        }
        EXPECT_EQ(get(kUnknown), DISP_E_TYPEMISMATCH);  // an IUnknown that is not a values set
        EXPECT_EQ(get(kMissing), kNotFound);
    }
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(values->GetIUnknownValue(kValues, unknown.GetAddressOf()), S_OK);
    EXPECT_EQ(values->GetIUnknownValue(kFloat, unknown.ReleaseAndGetAddressOf()), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(unknown, nullptr);
    PROPVARIANT value;
    EXPECT_EQ(values->GetValue(kMissing, &value), kNotFound);
    EXPECT_EQ(value.vt, VT_EMPTY);
}

TEST_F(PortableDeviceCollections, SetValueRefusesValuesItCannotHoldAndKeepsWhatWasThere)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    ASSERT_EQ(values->SetUnsignedIntegerValue(kStateKey, 1), S_OK);
    PROPVARIANT refused{};
    for (const VARTYPE vt : {VARTYPE{VT_LPWSTR}, VARTYPE{VT_CLSID}, VARTYPE{VT_UNKNOWN}}) {
        refused.vt = vt;  // with a null pointer
        EXPECT_EQ(values->SetValue(kStateKey, &refused), E_INVALIDARG);
    }
    refused.vt = VT_VECTOR | VT_UI4;
    EXPECT_EQ(values->SetValue(kStateKey, &refused), DISP_E_BADVARTYPE);
    EXPECT_EQ(values->SetValue(kStateKey, nullptr), E_POINTER);
    EXPECT_EQ(values->SetStringValue(kStateKey, nullptr), E_POINTER);
    EXPECT_EQ(values->SetIUnknownValue(kStateKey, nullptr), E_POINTER);
    EXPECT_EQ(Entries(values.Get()), (std::vector<std::pair<DWORD, ULONG>>{{3, 1}}));
}

TEST_F(PortableDeviceCollections, ValuesFaultPointsFailOneFamilyOrOneKeyAndChangeNothing)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    ASSERT_EQ(values->SetUnsignedIntegerValue(kStateKey, 1), S_OK);

    FailCall("IPortableDeviceValues::SetValue");
    EXPECT_EQ(values->SetGuidValue(kIntervalKey, kCategory), E_OUTOFMEMORY);
    FailCall(CollectionFault("IPortableDeviceValues::SetValue", kStateKey), 1, static_cast<std::uint32_t>(E_FAIL));
    EXPECT_EQ(values->SetErrorValue(kIntervalKey, E_INVALIDARG), S_OK);  // another key passes
    EXPECT_EQ(values->SetUnsignedIntegerValue(kStateKey, 2), E_FAIL);
    FailCall("PropVariantCopy");
    PROPVARIANT replacement;
    InitPropVariantFromUInt32(3, &replacement);
    EXPECT_EQ(values->SetValue(kStateKey, &replacement), E_OUTOFMEMORY);
    FailCall("IPortableDeviceValues::Clear");
    EXPECT_EQ(values->Clear(), E_OUTOFMEMORY);

    FailCall("IPortableDeviceValues::GetCount");
    DWORD count = 7;
    EXPECT_EQ(values->GetCount(&count), E_OUTOFMEMORY);
    EXPECT_EQ(count, 7u);
    FailCall(CollectionFault("IPortableDeviceValues::GetAt", kIntervalKey));
    PROPERTYKEY key{};
    PROPVARIANT value;
    EXPECT_EQ(values->GetAt(0, &key, &value), S_OK);
    PropVariantClear(&value);
    EXPECT_EQ(values->GetAt(1, &key, &value), E_OUTOFMEMORY);
    EXPECT_EQ(value.vt, VT_EMPTY);
    FailCall(CollectionFault("IPortableDeviceValues::GetValue", kStateKey));
    ULONG state = 9;
    EXPECT_EQ(values->GetUnsignedIntegerValue(kStateKey, &state), E_OUTOFMEMORY);
    EXPECT_EQ(state, 9u);
    FailCall("CoTaskMemAlloc");
    LPWSTR text = reinterpret_cast<LPWSTR>(0x1);
    ASSERT_EQ(values->SetStringValue(kTemperatureKey, u"x"), E_OUTOFMEMORY);
    ASSERT_EQ(values->SetStringValue(kTemperatureKey, u"x"), S_OK);
    FailCall("CoTaskMemAlloc");
    EXPECT_EQ(values->GetStringValue(kTemperatureKey, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);

    EXPECT_EQ(values->GetCount(&count), S_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(values->GetUnsignedIntegerValue(kStateKey, &state), S_OK);
    EXPECT_EQ(state, 1u);
}

TEST_F(PortableDeviceCollections, KeyCollectionIsAnOrderedListWithFaultPoints)
{
    auto keys = Create<IPortableDeviceKeyCollection>(CLSID_PortableDeviceKeyCollection);
    for (const PROPERTYKEY& key : {kStateKey, kIntervalKey, kStateKey, kTemperatureKey}) {
        EXPECT_EQ(keys->Add(key), S_OK);
    }
    EXPECT_EQ(keys->RemoveAt(1), S_OK);
    EXPECT_EQ(keys->RemoveAt(3), E_INVALIDARG);
    auto read = [&] {
        DWORD count = 0;
        EXPECT_EQ(keys->GetCount(&count), S_OK);
        std::vector<DWORD> pids;
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            EXPECT_EQ(keys->GetAt(i, &key), S_OK);
            pids.push_back(key.pid);
        }
        return pids;
    };
    EXPECT_EQ(read(), (std::vector<DWORD>{3, 3, 2}));
    PROPERTYKEY key{};
    EXPECT_EQ(keys->GetAt(3, &key), E_INVALIDARG);
    EXPECT_EQ(keys->GetAt(0, nullptr), E_POINTER);

    FailCall(CollectionFault("IPortableDeviceKeyCollection::Add", kIntervalKey));
    EXPECT_EQ(keys->Add(kIntervalKey), E_OUTOFMEMORY);
    for (const char* point : {"IPortableDeviceKeyCollection::GetCount", "IPortableDeviceKeyCollection::GetAt",
                              "IPortableDeviceKeyCollection::Clear"}) {
        FailCall(point);
    }
    DWORD count = 0;
    EXPECT_EQ(keys->GetCount(&count), E_OUTOFMEMORY);
    EXPECT_EQ(keys->GetAt(0, &key), E_OUTOFMEMORY);
    EXPECT_EQ(keys->Clear(), E_OUTOFMEMORY);
    EXPECT_EQ(read(), (std::vector<DWORD>{3, 3, 2}));
    EXPECT_EQ(keys->Clear(), S_OK);
    EXPECT_EQ(read(), std::vector<DWORD>{});
}

TEST_F(PortableDeviceCollections, ValuesCollectionHoldsReferencesInOrderWithFaultPoints)
{
    auto collection = Create<IPortableDeviceValuesCollection>(CLSID_PortableDeviceValuesCollection);
    auto first = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    auto second = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    EXPECT_EQ(collection->Add(first.Get()), S_OK);
    EXPECT_EQ(collection->Add(second.Get()), S_OK);
    EXPECT_EQ(collection->Add(first.Get()), S_OK);
    EXPECT_EQ(collection->Add(nullptr), E_POINTER);
    EXPECT_EQ(RefCount(first.Get()), 3u);
    ComPtr<IPortableDeviceValues> member;
    EXPECT_EQ(collection->GetAt(1, member.GetAddressOf()), S_OK);
    EXPECT_EQ(member, second);
    EXPECT_EQ(collection->GetAt(3, member.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(member, nullptr);
    EXPECT_EQ(collection->RemoveAt(0), S_OK);
    EXPECT_EQ(RefCount(first.Get()), 2u);

    for (const char* point : {"IPortableDeviceValuesCollection::Add", "IPortableDeviceValuesCollection::GetCount",
                              "IPortableDeviceValuesCollection::GetAt", "IPortableDeviceValuesCollection::Clear"}) {
        FailCall(point);
    }
    DWORD count = 0;
    EXPECT_EQ(collection->Add(first.Get()), E_OUTOFMEMORY);
    EXPECT_EQ(collection->GetCount(&count), E_OUTOFMEMORY);
    EXPECT_EQ(collection->GetAt(0, member.ReleaseAndGetAddressOf()), E_OUTOFMEMORY);
    EXPECT_EQ(collection->Clear(), E_OUTOFMEMORY);
    EXPECT_EQ(collection->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(RefCount(first.Get()), 2u);
    EXPECT_EQ(collection->Clear(), S_OK);
    EXPECT_EQ(RefCount(first.Get()), 1u);
    EXPECT_EQ(RefCount(second.Get()), 1u);
}

TEST_F(PortableDeviceCollections, ValuesSetIsSafeForConcurrentWritersAndReaders)
{
    auto values = Create<IPortableDeviceValues>(CLSID_PortableDeviceValues);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&values, t] {
            for (ULONG i = 0; i < 2000; ++i) {
                values->SetUnsignedIntegerValue(PROPERTYKEY{kStateKey.fmtid, i % 8}, i);
                values->SetStringValue(kTemperatureKey, u"reading");
                PROPVARIANT value;
                values->GetValue(kTemperatureKey, &value);
                PropVariantClear(&value);
                if (t == 0 && i % 100 == 0) values->Clear();
            }
        });
    }
    for (auto& thread : threads) thread.join();
    DWORD count = 0;
    EXPECT_EQ(values->GetCount(&count), S_OK);
    EXPECT_LE(count, 9u);
}

}  // namespace
