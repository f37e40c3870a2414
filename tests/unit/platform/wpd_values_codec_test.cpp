#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/runtime.h"
#include "platform_testing/faults.h"
#include "platform_testing/wpd.h"
#include "transport/values_codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::ComPtr;
using platform::testing::FailCall;
using platform::testing::LivePortableDeviceCollections;
using platform::testing::ScopedFaults;
using transport::kEncodingTooLarge;
using transport::kMalformedEncoding;

DEFINE_PROPERTYKEY(kStateKey, "{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}", 3);
constexpr GUID kSet = platform::MakeGuid("{7F8383EC-D3EC-495C-A8CF-B8BBE85C2920}");
constexpr GUID kCategory = platform::MakeGuid("{323439AA-7F66-492B-BA0C-73E9AA0A65D5}");

class CToken final : public platform::ComObject<CToken, IUnknown> {};

PROPERTYKEY Key(DWORD pid)
{
    return PROPERTYKEY{kSet, pid};
}

ComPtr<IPortableDeviceValues> NewValues()
{
    ComPtr<IPortableDeviceValues> values;
    EXPECT_EQ(CoCreateInstance(CLSID_PortableDeviceValues, nullptr, CLSCTX_INPROC_SERVER, IID_IPortableDeviceValues,
                               reinterpret_cast<void**>(values.GetAddressOf())),
              S_OK);
    return values;
}

// A values set with a value of every type the encoding carries, one nested set inside.
ComPtr<IPortableDeviceValues> EveryType()
{
    auto values = NewValues();
    auto nested = NewValues();
    nested->SetFloatValue(Key(1), 5.0f);
    nested->SetStringValue(Key(2), u"");
    PROPVARIANT v{};
    values->SetValue(Key(10), &v);  // VT_EMPTY
    v.vt = VT_NULL;
    values->SetValue(Key(11), &v);
    values->SetSignedIntegerValue(Key(12), -3000);
    values->SetUnsignedIntegerValue(Key(13), 0xFFFFFFFFu);
    v.vt = VT_I8;
    v.hVal.QuadPart = -(1ll << 40);
    values->SetValue(Key(14), &v);
    v.vt = VT_UI8;
    v.uhVal.QuadPart = 0x8000000000000001ull;
    values->SetValue(Key(15), &v);
    values->SetFloatValue(Key(16), -1024.0f);
    v.vt = VT_R8;
    v.dblVal = 29.75;
    values->SetValue(Key(17), &v);
    values->SetBoolValue(Key(18), TRUE);
    values->SetBoolValue(Key(19), FALSE);
    values->SetErrorValue(Key(20), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    values->SetStringValue(Key(21), u"probe reading: 21.5 \u00b0C \U0001F321");
    const FILETIME time{0x89ABCDEF, 0x01D9F00D};
    InitPropVariantFromFileTime(&time, &v);
    values->SetValue(Key(22), &v);
    values->SetGuidValue(Key(23), kCategory);
    values->SetIPortableDeviceValuesValue(Key(24), nested.Get());
    return values;
}

// Compares two values sets entry by entry: same order, keys, types and values.
void ExpectSameValues(IPortableDeviceValues* expected, IPortableDeviceValues* actual)
{
    DWORD expectedCount = 0;
    DWORD actualCount = 0;
    ASSERT_EQ(expected->GetCount(&expectedCount), S_OK);
    ASSERT_EQ(actual->GetCount(&actualCount), S_OK);
    ASSERT_EQ(expectedCount, actualCount);
    for (DWORD i = 0; i < expectedCount; ++i) {
        PROPERTYKEY a{};
        PROPERTYKEY b{};
        PROPVARIANT x;
        PROPVARIANT y;
        ASSERT_EQ(expected->GetAt(i, &a, &x), S_OK);
        ASSERT_EQ(actual->GetAt(i, &b, &y), S_OK);
        SCOPED_TRACE(testing::Message() << "pid " << a.pid);
        EXPECT_EQ(a, b);
        EXPECT_EQ(x.vt, y.vt);
        if (x.vt == y.vt) {
            switch (x.vt) {
                case VT_LPWSTR:
                    EXPECT_EQ(std::u16string(x.pwszVal), std::u16string(y.pwszVal));
                    break;
                case VT_CLSID:
                    EXPECT_EQ(*x.puuid, *y.puuid);
                    break;
                case VT_UNKNOWN: {
                    ComPtr<IPortableDeviceValues> nx;
                    ComPtr<IPortableDeviceValues> ny;
                    ASSERT_EQ(x.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                                        reinterpret_cast<void**>(nx.GetAddressOf())),
                              S_OK);
                    ASSERT_EQ(y.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                                        reinterpret_cast<void**>(ny.GetAddressOf())),
                              S_OK);
                    ExpectSameValues(nx.Get(), ny.Get());
                    break;
                }
                default:  // the value lives in the eight bytes of the union
                    EXPECT_EQ(x.uhVal.QuadPart & (x.vt == VT_BOOL ? 0xFFFF : ~0ull),
                              y.uhVal.QuadPart & (x.vt == VT_BOOL ? 0xFFFF : ~0ull));
            }
        }
        PropVariantClear(&x);
        PropVariantClear(&y);
    }
}

Bytes Encode(IPortableDeviceValues* values)
{
    Bytes bytes;
    EXPECT_EQ(transport::EncodeValues(values, &bytes), S_OK);
    return bytes;
}

HRESULT Decode(const Bytes& bytes)
{
    ComPtr<IPortableDeviceValues> values;
    const HRESULT hr = transport::DecodeValues(bytes, values.GetAddressOf());
    EXPECT_EQ(values == nullptr, FAILED(hr));
    return hr;
}

class ValuesCodec : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_EQ(LivePortableDeviceCollections(), 0u); }

    ScopedFaults m_faults;
};

TEST_F(ValuesCodec, ValuesSetOfEveryTypeRoundTripsExactly)
{
    auto values = EveryType();
    const Bytes bytes = Encode(values.Get());
    ComPtr<IPortableDeviceValues> decoded;
    ASSERT_EQ(transport::DecodeValues(bytes, decoded.GetAddressOf()), S_OK);
    ExpectSameValues(values.Get(), decoded.Get());
    EXPECT_EQ(Encode(decoded.Get()), bytes);
}

TEST_F(ValuesCodec, EncodingIsTheDocumentedLittleEndianForm)
{
    auto values = NewValues();
    values->SetUnsignedIntegerValue(kStateKey, 0x01020304);
    values->SetBoolValue(Key(4), TRUE);
    values->SetStringValue(Key(5), u"A\u00e9");
    // clang-format off
    const Bytes expected = {
        0x50, 0x44, 0x01, 0x01,                                          // "PD", version 1, values set
        0x03, 0x00, 0x00, 0x00,                                          // 3 entries
        0xEC, 0x83, 0x83, 0x7F, 0xEC, 0xD3, 0x5C, 0x49,                  // {7F8383EC-D3EC-495C-
        0xA8, 0xCF, 0xB8, 0xBB, 0xE8, 0x5C, 0x29, 0x20,                  //  A8CF-B8BBE85C2920}
        0x03, 0x00, 0x00, 0x00, 0x13, 0x00, 0x04, 0x03, 0x02, 0x01,      // pid 3, VT_UI4
        0xEC, 0x83, 0x83, 0x7F, 0xEC, 0xD3, 0x5C, 0x49, 0xA8, 0xCF, 0xB8, 0xBB, 0xE8, 0x5C, 0x29, 0x20,
        0x04, 0x00, 0x00, 0x00, 0x0B, 0x00, 0x01,                        // pid 4, VT_BOOL true
        0xEC, 0x83, 0x83, 0x7F, 0xEC, 0xD3, 0x5C, 0x49, 0xA8, 0xCF, 0xB8, 0xBB, 0xE8, 0x5C, 0x29, 0x20,
        0x05, 0x00, 0x00, 0x00, 0x1F, 0x00, 0x02, 0x00, 0x00, 0x00,      // pid 5, VT_LPWSTR, 2 units
        0x41, 0x00, 0xE9, 0x00,
    };
    // clang-format on
    EXPECT_EQ(Encode(values.Get()), expected);

    ComPtr<IPortableDeviceKeyCollection> keys;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(keys.GetAddressOf())),
              S_OK);
    Bytes encodedKeys = {0xAA};  // encoders append
    ASSERT_EQ(transport::EncodeKeys(keys.Get(), &encodedKeys), S_OK);
    EXPECT_EQ(encodedKeys, (Bytes{0xAA, 0x50, 0x44, 0x01, 0x02, 0x00, 0x00, 0x00, 0x00}));
}

TEST_F(ValuesCodec, KeyAndValuesCollectionsRoundTrip)
{
    ComPtr<IPortableDeviceKeyCollection> keys;
    ASSERT_EQ(CoCreateInstance(CLSID_PortableDeviceKeyCollection, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPortableDeviceKeyCollection, reinterpret_cast<void**>(keys.GetAddressOf())),
              S_OK);
    for (const DWORD pid : {13u, 3u, 13u}) keys->Add(Key(pid));
    Bytes bytes;
    ASSERT_EQ(transport::EncodeKeys(keys.Get(), &bytes), S_OK);
    ComPtr<IPortableDeviceKeyCollection> decodedKeys;
    ASSERT_EQ(transport::DecodeKeys(bytes, decodedKeys.GetAddressOf()), S_OK);
    DWORD count = 0;
    ASSERT_EQ(decodedKeys->GetCount(&count), S_OK);
    ASSERT_EQ(count, 3u);
    for (DWORD i = 0; i < count; ++i) {
        PROPERTYKEY key{};
        decodedKeys->GetAt(i, &key);
        EXPECT_EQ(key, Key(i == 1 ? 3 : 13));
    }

    ComPtr<IPortableDeviceValuesCollection> collection;
    ASSERT_EQ(
        CoCreateInstance(CLSID_PortableDeviceValuesCollection, nullptr, CLSCTX_INPROC_SERVER,
                         IID_IPortableDeviceValuesCollection, reinterpret_cast<void**>(collection.GetAddressOf())),
        S_OK);
    auto full = EveryType();
    auto empty = NewValues();
    collection->Add(full.Get());
    collection->Add(empty.Get());
    bytes.clear();
    ASSERT_EQ(transport::EncodeValuesCollection(collection.Get(), &bytes), S_OK);
    ComPtr<IPortableDeviceValuesCollection> decoded;
    ASSERT_EQ(transport::DecodeValuesCollection(bytes, decoded.GetAddressOf()), S_OK);
    ASSERT_EQ(decoded->GetCount(&count), S_OK);
    ASSERT_EQ(count, 2u);
    ComPtr<IPortableDeviceValues> member;
    decoded->GetAt(0, member.GetAddressOf());
    ExpectSameValues(full.Get(), member.Get());
    decoded->GetAt(1, member.ReleaseAndGetAddressOf());
    ExpectSameValues(empty.Get(), member.Get());

    // A whole encoding of one kind is not accepted as another.
    ComPtr<IPortableDeviceValues> wrongKind;
    EXPECT_EQ(transport::DecodeValues(bytes, wrongKind.GetAddressOf()), kMalformedEncoding);
}

TEST_F(ValuesCodec, EveryTruncationIsRefusedWithoutLeaking)
{
    auto values = EveryType();
    const Bytes bytes = Encode(values.Get());
    values = nullptr;
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        SCOPED_TRACE(size);
        EXPECT_EQ(Decode(Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size))), kMalformedEncoding);
        EXPECT_EQ(LivePortableDeviceCollections(), 0u);
    }
}

// A values set of one entry whose value is `tag` followed by `payload`.
Bytes OneEntry(std::uint16_t tag, const Bytes& payload, std::uint32_t pid = 3)
{
    Bytes bytes = {0x50, 0x44, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00};
    for (int i = 0; i < 16; ++i) bytes.push_back(0x11);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(pid >> (8 * i)));
    bytes.push_back(static_cast<std::uint8_t>(tag));
    bytes.push_back(static_cast<std::uint8_t>(tag >> 8));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes Le32(std::uint32_t value)
{
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// A values set of empty values under the keys of these property IDs.
Bytes EmptyEntries(const std::vector<std::uint32_t>& pids)
{
    Bytes bytes = {0x50, 0x44, 0x01, 0x01};
    const Bytes count = Le32(static_cast<std::uint32_t>(pids.size()));
    bytes.insert(bytes.end(), count.begin(), count.end());
    for (std::uint32_t pid : pids) {
        const Bytes one = OneEntry(VT_EMPTY, {}, pid);
        bytes.insert(bytes.end(), one.begin() + 8, one.end());
    }
    return bytes;
}

// A values set nested `depth` deep: each set holds one VT_UNKNOWN entry, the innermost none.
Bytes Nested(int depth)
{
    Bytes bytes = {0x50, 0x44, 0x01, 0x01};
    Bytes entryHead(20, 0x22);
    entryHead.push_back(VT_UNKNOWN);
    entryHead.push_back(0);
    for (int level = 1; level < depth; ++level) {
        Bytes count = Le32(1);
        bytes.insert(bytes.end(), count.begin(), count.end());
        bytes.insert(bytes.end(), entryHead.begin(), entryHead.end());
    }
    Bytes none = Le32(0);
    bytes.insert(bytes.end(), none.begin(), none.end());
    return bytes;
}

TEST_F(ValuesCodec, MalformedInputIsRefusedWithAClearResult)
{
    Bytes tooManyStringUnits = Le32(transport::kMaxStringUnits + 1);
    tooManyStringUnits.resize(tooManyStringUnits.size() + 2 * (transport::kMaxStringUnits + 1), 0x41);
    Bytes duplicate = OneEntry(VT_EMPTY, {});
    duplicate[4] = 2;
    const Bytes entry(duplicate.begin() + 8, duplicate.end());
    duplicate.insert(duplicate.end(), entry.begin(), entry.end());
    Bytes tooManyEntries = {0x50, 0x44, 0x01, 0x01};
    Bytes count = Le32(transport::kMaxEntriesPerCollection + 1);
    tooManyEntries.insert(tooManyEntries.end(), count.begin(), count.end());
    tooManyEntries.resize(tooManyEntries.size() + 22 * (transport::kMaxEntriesPerCollection + 1), 0);
    Bytes oversized = OneEntry(VT_LPWSTR, Le32(0));
    oversized.resize(transport::kMaxEncodedBytes + 1);

    struct Case {
        const char* name;
        Bytes bytes;
        HRESULT expected;
    };
    const std::vector<Case> cases = {
        {"empty input", {}, kMalformedEncoding},
        {"bad magic", {0x50, 0x45, 0x01, 0x01, 0, 0, 0, 0}, kMalformedEncoding},
        {"later version", {0x50, 0x44, 0x02, 0x01, 0, 0, 0, 0}, transport::kUnsupportedVersion},
        {"key collection kind", {0x50, 0x44, 0x01, 0x02, 0, 0, 0, 0}, kMalformedEncoding},
        {"unknown kind", {0x50, 0x44, 0x01, 0x07, 0, 0, 0, 0}, kMalformedEncoding},
        {"trailing byte", {0x50, 0x44, 0x01, 0x01, 0, 0, 0, 0, 0}, kMalformedEncoding},
        {"unknown type tag", OneEntry(VT_BSTR, Le32(0)), kMalformedEncoding},
        {"vector type tag", OneEntry(VT_VECTOR | VT_UI4, Le32(0)), kMalformedEncoding},
        {"bool of 2", OneEntry(VT_BOOL, {2}), kMalformedEncoding},
        {"string with a NUL", OneEntry(VT_LPWSTR, {2, 0, 0, 0, 0x41, 0, 0, 0}), kMalformedEncoding},
        {"string longer than its bytes", OneEntry(VT_LPWSTR, {3, 0, 0, 0, 0x41, 0, 0x41, 0}), kMalformedEncoding},
        {"string over the limit", OneEntry(VT_LPWSTR, tooManyStringUnits), kMalformedEncoding},
        {"count beyond the bytes", {0x50, 0x44, 0x01, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, kMalformedEncoding},
        {"count over the limit", tooManyEntries, kMalformedEncoding},
        {"duplicate key", duplicate, kMalformedEncoding},
        {"duplicate keys apart", EmptyEntries({1, 2, 3, 1}), kMalformedEncoding},
        {"duplicate keys among many", EmptyEntries({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 9}),
         kMalformedEncoding},
        {"many distinct keys", EmptyEntries({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}), S_OK},
        {"nested nine deep", Nested(9), kMalformedEncoding},
        {"over the size limit", oversized, kMalformedEncoding},
        {"nested eight deep", Nested(8), S_OK},
        {"string at the limit",
         OneEntry(VT_LPWSTR,
                  [] {
                      Bytes b = Le32(transport::kMaxStringUnits);
                      b.resize(b.size() + 2 * transport::kMaxStringUnits, 0x41);
                      return b;
                  }()),
         S_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.bytes), c.expected);
        EXPECT_EQ(LivePortableDeviceCollections(), 0u);
    }
}

TEST_F(ValuesCodec, EncoderRefusesWhatItCannotCarryAndLeavesTheBufferAsItWas)
{
    const Bytes prefix = {1, 2, 3};
    auto refuse = [&](IPortableDeviceValues* values, HRESULT expected) {
        Bytes bytes = prefix;
        EXPECT_EQ(transport::EncodeValues(values, &bytes), expected);
        EXPECT_EQ(bytes, prefix);
    };
    PROPVARIANT bstr{};
    bstr.vt = VT_BSTR;
    bstr.bstrVal = SysAllocString(u"text");
    auto values = NewValues();
    values->SetValue(kStateKey, &bstr);
    SysFreeString(bstr.bstrVal);
    refuse(values.Get(), DISP_E_BADVARTYPE);

    ComPtr<IUnknown> token;
    platform::MakeAndQuery<CToken>(IID_IUnknown, reinterpret_cast<void**>(token.GetAddressOf()));
    values->SetIUnknownValue(kStateKey, token.Get());
    refuse(values.Get(), DISP_E_BADVARTYPE);

    std::u16string longText(transport::kMaxStringUnits + 1, u'x');
    values->SetStringValue(kStateKey, longText.c_str());
    refuse(values.Get(), kEncodingTooLarge);

    // A set that holds itself ends at the nesting limit; break the cycle afterwards.
    values->SetIPortableDeviceValuesValue(kStateKey, values.Get());
    refuse(values.Get(), kEncodingTooLarge);
    values->Clear();

    values->SetUnsignedIntegerValue(kStateKey, 1);
    FailCall("IPortableDeviceValues::GetAt");
    refuse(values.Get(), E_OUTOFMEMORY);
    EXPECT_EQ(transport::EncodeValues(nullptr, nullptr), E_POINTER);
}

// Sets inside one another: as deep as the limit they travel both ways; one deeper is refused by the
// encoder, and by the decoder when another side sends it.
TEST_F(ValuesCodec, NestingUpToTheLimitRoundTrips_OneDeeperIsRefusedBothWays)
{
    auto chain = [](std::uint32_t sets) {
        ComPtr<IPortableDeviceValues> outer = NewValues();
        for (std::uint32_t i = 1; i < sets; ++i) {
            ComPtr<IPortableDeviceValues> wrapper = NewValues();
            wrapper->SetIPortableDeviceValuesValue(kStateKey, outer.Get());
            outer = wrapper;
        }
        return outer;
    };
    Bytes deepest;
    ASSERT_EQ(transport::EncodeValues(chain(transport::kMaxNestingDepth).Get(), &deepest), S_OK);
    ComPtr<IPortableDeviceValues> decoded;
    EXPECT_EQ(transport::DecodeValues(deepest, decoded.GetAddressOf()), S_OK);
    Bytes tooDeep;
    EXPECT_EQ(transport::EncodeValues(chain(transport::kMaxNestingDepth + 1).Get(), &tooDeep), kEncodingTooLarge);

    // The encoding of the deepest chain is: header, then per outer set a count of 1, the key and the
    // nested set's tag, and at the bottom a count of 0. One more level by hand:
    constexpr std::size_t kHeader = 4;
    constexpr std::size_t kLevel = 4 + 20 + 2;
    ASSERT_EQ(deepest.size(), kHeader + kLevel * (transport::kMaxNestingDepth - 1) + 4);
    Bytes handMade(deepest.begin(), deepest.begin() + kHeader + kLevel);
    handMade.insert(handMade.end(), deepest.begin() + kHeader, deepest.end());
    ComPtr<IPortableDeviceValues> refused;
    EXPECT_EQ(transport::DecodeValues(handMade, refused.GetAddressOf()), kMalformedEncoding);
    EXPECT_EQ(refused, nullptr);
}

}  // namespace
