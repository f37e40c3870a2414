#include <gtest/gtest.h>

#include <cstring>
#include <string_view>

#include "platform/com/com_object.h"
#include "platform/com/oleauto.h"
#include "platform_testing/faults.h"
#include "support/com_test_kit.h"

namespace {

using platform::testing::FailCall;
using platform::testing::ScopedFaults;
using test_support::RefCount;

std::uint32_t PrefixOf(BSTR bstr)
{
    std::uint32_t bytes = 0;
    std::memcpy(&bytes, reinterpret_cast<const BYTE*>(bstr) - sizeof bytes, sizeof bytes);
    return bytes;
}

class CToken final : public platform::ComObject<CToken, IUnknown> {};

IUnknown* MakeToken()
{
    IUnknown* token = nullptr;
    EXPECT_EQ(platform::MakeAndQuery<CToken>(IID_IUnknown, reinterpret_cast<void**>(&token)), S_OK);
    return token;
}

TEST(Bstr, AllocStringStoresByteLengthBeforeTheTextAndATerminatorAfter)
{
    BSTR text = SysAllocString(u"ROOT\\WMI");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(PrefixOf(text), 16u);
    EXPECT_EQ(SysStringLen(text), 8u);
    EXPECT_EQ(SysStringByteLen(text), 16u);
    EXPECT_EQ(std::u16string_view(text), u"ROOT\\WMI");
    EXPECT_EQ(text[8], 0);
    SysFreeString(text);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

TEST(Bstr, LengthNotTheFirstNulEndsTheString)
{
    const char16_t withNul[] = {u'a', 0, u'b'};
    BSTR text = SysAllocStringLen(withNul, 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(SysStringLen(text), 3u);
    EXPECT_EQ(std::u16string_view(text, 3), std::u16string_view(withNul, 3));
    EXPECT_EQ(text[3], 0);
    SysFreeString(text);

    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(SysStringLen(zeroed), 4u);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(zeroed[i], 0);
    SysFreeString(zeroed);
}

TEST(Bstr, ByteLengthMayBeOddAndIsKeptExactly)
{
    BSTR bytes = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(SysStringByteLen(bytes), 3u);
    EXPECT_EQ(SysStringLen(bytes), 1u);
    EXPECT_EQ(std::memcmp(bytes, "abc\0\0", 5), 0);
    SysFreeString(bytes);
}

TEST(Bstr, EveryAllocationFailsThroughOneFaultPoint)
{
    ScopedFaults faults;
    FailCall("SysAllocString", 3);
    EXPECT_EQ(SysAllocString(u"x"), nullptr);
    EXPECT_EQ(SysAllocStringLen(u"x", 1), nullptr);
    EXPECT_EQ(SysAllocStringByteLen("x", 1), nullptr);
    BSTR text = SysAllocString(u"x");
    EXPECT_NE(text, nullptr);
    SysFreeString(text);
}

TEST(Variant, ClearFreesTheStringAndReleasesTheObject)
{
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(value.vt, VT_EMPTY);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(u"owned");
    EXPECT_EQ(VariantClear(&value), S_OK);  // a leak here fails the sanitizer run
    EXPECT_EQ(value.vt, VT_EMPTY);

    IUnknown* token = MakeToken();
    token->AddRef();
    value.vt = VT_UNKNOWN;
    value.punkVal = token;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(RefCount(token), 1u);
    token->Release();

    value.vt = VT_BSTR;
    value.bstrVal = nullptr;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, CopyDuplicatesStringsAndCountsObjects)
{
    const char16_t withNul[] = {u'4', 0, u'2'};
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocStringLen(withNul, 3);
    VARIANT copy;
    VariantInit(&copy);
    copy.vt = VT_BSTR;
    copy.bstrVal = SysAllocString(u"replaced");  // the copy clears what was there
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);
    EXPECT_EQ(std::u16string_view(copy.bstrVal, SysStringLen(copy.bstrVal)), std::u16string_view(withNul, 3));
    VariantClear(&source);
    VariantClear(&copy);

    IUnknown* token = MakeToken();
    source.vt = VT_UNKNOWN;
    source.punkVal = token;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.punkVal, token);
    EXPECT_EQ(RefCount(token), 2u);
    VariantClear(&copy);
    VariantClear(&source);

    source.vt = VT_I4;
    source.lVal = -3000;
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    EXPECT_EQ(copy.vt, VT_I4);
    EXPECT_EQ(copy.lVal, -3000);
    EXPECT_EQ(VariantCopy(&copy, &copy), S_OK);
    EXPECT_EQ(copy.lVal, -3000);
}

TEST(Variant, FailedCopyLeavesTheDestinationEmpty)
{
    ScopedFaults faults;
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(u"text");
    VARIANT copy;
    VariantInit(&copy);
    FailCall("SysAllocString");
    EXPECT_EQ(VariantCopy(&copy, &source), E_OUTOFMEMORY);
    EXPECT_EQ(copy.vt, VT_EMPTY);
    VariantClear(&source);
    EXPECT_EQ(VariantCopy(nullptr, &source), E_INVALIDARG);
    EXPECT_EQ(VariantCopy(&copy, nullptr), E_INVALIDARG);
}

TEST(Variant, UnknownTypesAreRefusedAndLeftAlone)
{
    for (const VARTYPE vt : {VARTYPE(VT_BSTR | VT_BYREF), VARTYPE(VT_ARRAY | VT_I4), VARTYPE(VT_VECTOR | VT_UI1),
                             VARTYPE(VT_LPWSTR), VARTYPE(VT_CLSID), VARTYPE(9), VARTYPE(0x7777)}) {
        VARIANT odd;
        VariantInit(&odd);
        odd.vt = vt;
        odd.llVal = 0x1234;
        EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(odd.vt, vt);
        EXPECT_EQ(odd.llVal, 0x1234);

        VARIANT copy;
        VariantInit(&copy);
        EXPECT_EQ(VariantCopy(&copy, &odd), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(copy.vt, VT_EMPTY);
    }
}

}  // namespace
