#include "platform/com/propvariant.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string_view>

#include "platform/com/com_object.h"
#include "platform/com/propkey.h"
#include "platform/com/runtime.h"
#include "platform_testing/faults.h"
#include "support/com_test_kit.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using test_support::RefCount;

constexpr CLSID kSomeClass = platform::MakeGuid("{04FD0EC4-D5DA-45FA-95A9-5DB38EE19306}");

DEFINE_PROPERTYKEY(kStateKey, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 3);
DEFINE_PROPERTYKEY(kIntervalKey, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 13);
DEFINE_PROPERTYKEY(kOtherSetKey, "{DB5E0CF2-CF1F-4C18-B46C-D86011D62150}", 3);

class CToken final : public platform::ComObject<CToken, IUnknown> {};

TEST(PropertyKey, EqualWhenSetAndIdentifierBothAre)
{
    EXPECT_TRUE(IsEqualPropertyKey(kStateKey, PROPERTYKEY{kStateKey.fmtid, 3}));
    EXPECT_FALSE(kStateKey == kIntervalKey);
    EXPECT_FALSE(kStateKey == kOtherSetKey);
}

// One source value of each type handled, and how to check that a copy holds the same value.
struct TypeCase {
    const char* name;
    std::function<void(PROPVARIANT*)> fill;
    std::function<void(const PROPVARIANT& source, const PROPVARIANT& copy)> check;
};

std::vector<TypeCase> EveryType(IUnknown* token)
{
    auto same = [](auto member) {
        return [member](const PROPVARIANT& s, const PROPVARIANT& c) { EXPECT_EQ(s.*member, c.*member); };
    };
    return {
        {"VT_EMPTY", [](PROPVARIANT*) {}, [](const PROPVARIANT&, const PROPVARIANT&) {}},
        {"VT_NULL", [](PROPVARIANT* v) { v->vt = VT_NULL; }, [](const PROPVARIANT&, const PROPVARIANT&) {}},
        {"VT_I2", [](PROPVARIANT* v) { v->vt = VT_I2, v->iVal = -2; }, same(&PROPVARIANT::iVal)},
        {"VT_I4", [](PROPVARIANT* v) { v->vt = VT_I4, v->lVal = -3000; }, same(&PROPVARIANT::lVal)},
        {"VT_UI4", [](PROPVARIANT* v) { InitPropVariantFromUInt32(4000000000u, v); }, same(&PROPVARIANT::ulVal)},
        {"VT_UI8", [](PROPVARIANT* v) { v->vt = VT_UI8, v->uhVal.QuadPart = 1ull << 40; },
         [](const PROPVARIANT& s, const PROPVARIANT& c) { EXPECT_EQ(s.uhVal.QuadPart, c.uhVal.QuadPart); }},
        {"VT_R4", [](PROPVARIANT* v) { InitPropVariantFromFloat(-1024.0f, v); }, same(&PROPVARIANT::fltVal)},
        {"VT_R8", [](PROPVARIANT* v) { v->vt = VT_R8, v->dblVal = 29.75; }, same(&PROPVARIANT::dblVal)},
        {"VT_BOOL", [](PROPVARIANT* v) { InitPropVariantFromBoolean(TRUE, v); }, same(&PROPVARIANT::boolVal)},
        {"VT_ERROR", [](PROPVARIANT* v) { v->vt = VT_ERROR, v->scode = HRESULT_FROM_WIN32(ERROR_NOT_FOUND); },
         same(&PROPVARIANT::scode)},
        {"VT_FILETIME",
         [](PROPVARIANT* v) {
             const FILETIME time{0x89ABCDEF, 0x01D9F00D};
             InitPropVariantFromFileTime(&time, v);
         },
         [](const PROPVARIANT& s, const PROPVARIANT& c) {
             EXPECT_EQ(s.filetime.dwLowDateTime, c.filetime.dwLowDateTime);
             EXPECT_EQ(s.filetime.dwHighDateTime, c.filetime.dwHighDateTime);
         }},
        {"VT_LPWSTR", [](PROPVARIANT* v) { InitPropVariantFromString(u"Temperature Sensor", v); },
         [](const PROPVARIANT& s, const PROPVARIANT& c) {
             EXPECT_NE(s.pwszVal, c.pwszVal);
             EXPECT_EQ(std::u16string_view(c.pwszVal), u"Temperature Sensor");
         }},
        {"VT_CLSID", [](PROPVARIANT* v) { InitPropVariantFromCLSID(kSomeClass, v); },
         [](const PROPVARIANT& s, const PROPVARIANT& c) {
             EXPECT_NE(s.puuid, c.puuid);
             EXPECT_EQ(*c.puuid, kSomeClass);
         }},
        {"VT_BSTR",
         [](PROPVARIANT* v) {
             v->vt = VT_BSTR;
             v->bstrVal = SysAllocStringLen(u"a\0b", 3);
         },
         [](const PROPVARIANT& s, const PROPVARIANT& c) {
             EXPECT_NE(s.bstrVal, c.bstrVal);
             EXPECT_EQ(SysStringLen(c.bstrVal), 3u);
             EXPECT_EQ(std::memcmp(s.bstrVal, c.bstrVal, 6), 0);
         }},
        {"VT_UNKNOWN",
         [token](PROPVARIANT* v) {
             token->AddRef();
             v->vt = VT_UNKNOWN;
             v->punkVal = token;
         },
         [token](const PROPVARIANT&, const PROPVARIANT& c) {
             EXPECT_EQ(c.punkVal, token);
             EXPECT_EQ(RefCount(token), 3u);  // the test's, the source's and the copy's
         }},
    };
}

TEST(PropVariant, CopyOfEveryTypeIsDeepAndBothSidesClearOnce)
{
    IUnknown* token = nullptr;
    ASSERT_EQ(platform::MakeAndQuery<CToken>(IID_IUnknown, reinterpret_cast<void**>(&token)), S_OK);
    for (const auto& type : EveryType(token)) {
        SCOPED_TRACE(type.name);
        PROPVARIANT source;
        PropVariantInit(&source);
        type.fill(&source);
        PROPVARIANT copy;
        PropVariantInit(&copy);
        ASSERT_EQ(PropVariantCopy(&copy, &source), S_OK);
        EXPECT_EQ(copy.vt, source.vt);
        type.check(source, copy);

        // Each side owns its own value: clearing one leaves the other intact.
        EXPECT_EQ(PropVariantClear(&source), S_OK);
        EXPECT_EQ(source.vt, VT_EMPTY);
        PROPVARIANT second;
        ASSERT_EQ(PropVariantCopy(&second, &copy), S_OK);
        EXPECT_EQ(PropVariantClear(&copy), S_OK);
        EXPECT_EQ(PropVariantClear(&second), S_OK);
    }
    EXPECT_EQ(RefCount(token), 1u);
    EXPECT_EQ(token->Release(), 0u);
}

TEST(PropVariant, NullPointersInsideOwningTypesCopyAsNull)
{
    for (const VARTYPE vt : {VARTYPE(VT_LPWSTR), VARTYPE(VT_CLSID), VARTYPE(VT_BSTR), VARTYPE(VT_UNKNOWN)}) {
        PROPVARIANT source;
        PropVariantInit(&source);
        source.vt = vt;
        PROPVARIANT copy;
        ASSERT_EQ(PropVariantCopy(&copy, &source), S_OK) << vt;
        EXPECT_EQ(copy.vt, vt);
        EXPECT_EQ(copy.punkVal, nullptr);
        EXPECT_EQ(PropVariantClear(&copy), S_OK);
    }
}

TEST(PropVariant, CopyOntoItselfKeepsTheValue)
{
    PROPVARIANT value;
    ASSERT_EQ(InitPropVariantFromString(u"kept", &value), S_OK);
    EXPECT_EQ(PropVariantCopy(&value, &value), S_OK);
    EXPECT_EQ(std::u16string_view(value.pwszVal), u"kept");
    PropVariantClear(&value);
}

TEST(PropVariant, CopyThatCannotAllocateFailsWithOutOfMemoryAndLeavesEmpty)
{
    ScopedFaults faults;
    PROPVARIANT text;
    PROPVARIANT clsid;
    PROPVARIANT bstr;
    ASSERT_EQ(InitPropVariantFromString(u"text", &text), S_OK);
    ASSERT_EQ(InitPropVariantFromCLSID(kSomeClass, &clsid), S_OK);
    PropVariantInit(&bstr);
    bstr.vt = VT_BSTR;
    bstr.bstrVal = SysAllocString(u"text");

    PROPVARIANT copy;
    FailCall("CoTaskMemAlloc", 2);
    EXPECT_EQ(PropVariantCopy(&copy, &text), E_OUTOFMEMORY);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    EXPECT_EQ(PropVariantCopy(&copy, &clsid), E_OUTOFMEMORY);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    FailCall("SysAllocString");
    EXPECT_EQ(PropVariantCopy(&copy, &bstr), E_OUTOFMEMORY);
    EXPECT_EQ(copy.vt, VT_EMPTY);

    // The copy itself is a checked call, whatever the type.
    PROPVARIANT number;
    InitPropVariantFromUInt32(7, &number);
    FailCall("PropVariantCopy");
    EXPECT_EQ(PropVariantCopy(&copy, &number), E_OUTOFMEMORY);
    EXPECT_EQ(copy.vt, VT_EMPTY);

    PropVariantClear(&text);
    PropVariantClear(&clsid);
    PropVariantClear(&bstr);
}

TEST(PropVariant, UnsupportedTypesAreRefusedAndLeftAlone)
{
    for (const VARTYPE vt : {VARTYPE(VT_VECTOR | VT_UI1), VARTYPE(VT_ARRAY | VT_I4), VARTYPE(VT_BYREF | VT_I4),
                             VARTYPE(VT_LPSTR), VARTYPE(9), VARTYPE(0x7777)}) {
        PROPVARIANT odd;
        PropVariantInit(&odd);
        odd.vt = vt;
        odd.hVal.QuadPart = 0x1234;
        EXPECT_EQ(PropVariantClear(&odd), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(odd.vt, vt);
        EXPECT_EQ(odd.hVal.QuadPart, 0x1234);

        PROPVARIANT copy;
        EXPECT_EQ(PropVariantCopy(&copy, &odd), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(copy.vt, VT_EMPTY);
    }
    PROPVARIANT value;
    EXPECT_EQ(PropVariantCopy(nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(PropVariantCopy(&value, nullptr), E_INVALIDARG);
    EXPECT_EQ(PropVariantClear(nullptr), S_OK);
}

TEST(PropVariant, InitialisersSetTypeAndValueOrFailCleanly)
{
    ScopedFaults faults;
    PROPVARIANT value;
    ASSERT_EQ(InitPropVariantFromInt32(-5, &value), S_OK);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, -5);
    ASSERT_EQ(InitPropVariantFromFloat(-1024.0f, &value), S_OK);
    EXPECT_EQ(value.vt, VT_R4);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value.fltVal, sizeof bits);
    EXPECT_EQ(bits, 0xC4800000u);
    ASSERT_EQ(InitPropVariantFromBoolean(FALSE, &value), S_OK);
    EXPECT_EQ(value.boolVal, VARIANT_FALSE);

    FailCall("CoTaskMemAlloc", 2);
    EXPECT_EQ(InitPropVariantFromCLSID(kSomeClass, &value), E_OUTOFMEMORY);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(InitPropVariantFromString(u"x", &value), E_OUTOFMEMORY);
    EXPECT_EQ(value.vt, VT_EMPTY);

    EXPECT_EQ(InitPropVariantFromString(nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(InitPropVariantFromFileTime(nullptr, &value), E_INVALIDARG);
    EXPECT_EQ(InitPropVariantFromUInt32(1, nullptr), E_INVALIDARG);
}

}  // namespace
