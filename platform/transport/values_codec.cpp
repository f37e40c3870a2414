// The wire form of the portable-device collections (docs/values-encoding.md).
#include "transport/values_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/com/runtime.h"
#include "wpd/collections.h"

namespace transport {
namespace {

using platform::ComPtr;
using platform::detail::ReturnOutOfMemoryOnThrow;
using platform::detail::ValueEntries;
using platform::detail::ValueEntry;

constexpr std::uint8_t kMagic0 = 0x50;  // 'P'
constexpr std::uint8_t kMagic1 = 0x44;  // 'D'

enum class Kind : std::uint8_t { Values = 1, Keys = 2, ValuesCollection = 3 };

constexpr std::size_t kGuidBytes = 16;
constexpr std::size_t kKeyBytes = kGuidBytes + 4;
constexpr std::size_t kTagBytes = 2;
constexpr std::size_t kCountBytes = 4;
constexpr std::size_t kUsualEncodingBytes = 512;

// Appends little-endian fields to a buffer, and takes them back out unless committed.
class Writer {
public:
    explicit Writer(std::vector<std::uint8_t>* out) : m_out(out), m_start(out->size()) {}
    ~Writer()
    {
        if (!m_committed) m_out->resize(m_start);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void Commit() { m_committed = true; }

    HRESULT Unsigned(std::uint64_t value, std::size_t bytes)
    {
        std::uint8_t littleEndian[8];
        for (std::size_t i = 0; i < bytes; ++i) littleEndian[i] = static_cast<std::uint8_t>(value >> (8 * i));
        return Append(littleEndian, bytes);
    }
    // UTF-16 units, each little-endian.
    HRESULT Units(const WCHAR* text, std::size_t length)
    {
        if (m_out->size() - m_start + 2 * length > kMaxEncodedBytes) return kEncodingTooLarge;
        const std::size_t at = m_out->size();
        m_out->resize(at + 2 * length);
        std::uint8_t* bytes = m_out->data() + at;
        for (std::size_t i = 0; i < length; ++i) {
            bytes[2 * i] = static_cast<std::uint8_t>(text[i]);
            bytes[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
        }
        return S_OK;
    }
    HRESULT U8(std::uint8_t value) { return Unsigned(value, 1); }
    HRESULT U16(std::uint16_t value) { return Unsigned(value, 2); }
    HRESULT U32(std::uint32_t value) { return Unsigned(value, 4); }
    HRESULT U64(std::uint64_t value) { return Unsigned(value, 8); }

    // In one piece: a key's GUID is most of an encoded collection.
    HRESULT Guid(const GUID& guid)
    {
        std::uint8_t bytes[kGuidBytes];
        for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(guid.Data1 >> (8 * i));
        for (std::size_t i = 0; i < 2; ++i) bytes[4 + i] = static_cast<std::uint8_t>(guid.Data2 >> (8 * i));
        for (std::size_t i = 0; i < 2; ++i) bytes[6 + i] = static_cast<std::uint8_t>(guid.Data3 >> (8 * i));
        std::memcpy(bytes + 8, guid.Data4, sizeof(guid.Data4));
        return Append(bytes, sizeof(bytes));
    }

private:
    HRESULT Append(const std::uint8_t* bytes, std::size_t count)
    {
        if (m_out->size() - m_start + count > kMaxEncodedBytes) return kEncodingTooLarge;
        m_out->insert(m_out->end(), bytes, bytes + count);
        return S_OK;
    }

    std::vector<std::uint8_t>* m_out;
    std::size_t m_start;
    bool m_committed = false;
};

// Holds a PROPVARIANT filled by a collection and clears it on every way out.
struct OwnedValue {
    PROPVARIANT value{};
    OwnedValue() = default;
    OwnedValue(const OwnedValue&) = delete;
    OwnedValue& operator=(const OwnedValue&) = delete;
    ~OwnedValue() { PropVariantClear(&value); }
};

class Encoder {
public:
    explicit Encoder(std::vector<std::uint8_t>* out) : m_writer(out) {}

    HRESULT Header(Kind kind)
    {
        RETURN_IF_FAILED(m_writer.U8(kMagic0));
        RETURN_IF_FAILED(m_writer.U8(kMagic1));
        RETURN_IF_FAILED(m_writer.U8(kValuesEncodingVersion));
        return m_writer.U8(static_cast<std::uint8_t>(kind));
    }

    HRESULT ValuesBody(IPortableDeviceValues* values, std::uint32_t depth)
    {
        if (depth > kMaxNestingDepth) return kEncodingTooLarge;
        DWORD count = 0;
        RETURN_IF_FAILED(values->GetCount(&count));
        RETURN_IF_FAILED(Count(count));
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            OwnedValue value;
            RETURN_IF_FAILED(values->GetAt(i, &key, &value.value));
            RETURN_IF_FAILED(Key(key));
            RETURN_IF_FAILED(Value(value.value, depth));
        }
        return S_OK;
    }

    HRESULT KeysBody(IPortableDeviceKeyCollection* keys)
    {
        DWORD count = 0;
        RETURN_IF_FAILED(keys->GetCount(&count));
        RETURN_IF_FAILED(Count(count));
        for (DWORD i = 0; i < count; ++i) {
            PROPERTYKEY key{};
            RETURN_IF_FAILED(keys->GetAt(i, &key));
            RETURN_IF_FAILED(Key(key));
        }
        return S_OK;
    }

    HRESULT ValuesCollectionBody(IPortableDeviceValuesCollection* collection)
    {
        DWORD count = 0;
        RETURN_IF_FAILED(collection->GetCount(&count));
        RETURN_IF_FAILED(Count(count));
        for (DWORD i = 0; i < count; ++i) {
            ComPtr<IPortableDeviceValues> member;
            RETURN_IF_FAILED(collection->GetAt(i, member.GetAddressOf()));
            if (!member) return E_POINTER;
            RETURN_IF_FAILED(ValuesBody(member.Get(), 1));
        }
        return S_OK;
    }

    void Commit() { m_writer.Commit(); }

private:
    HRESULT Count(DWORD count)
    {
        if (count > kMaxEntriesPerCollection) return kEncodingTooLarge;
        return m_writer.U32(count);
    }

    HRESULT Key(const PROPERTYKEY& key)
    {
        RETURN_IF_FAILED(m_writer.Guid(key.fmtid));
        return m_writer.U32(key.pid);
    }

    HRESULT Value(const PROPVARIANT& value, std::uint32_t depth)
    {
        switch (value.vt) {
            case VT_EMPTY:
            case VT_NULL:
                return m_writer.U16(value.vt);
            case VT_I4:
            case VT_UI4:
            case VT_ERROR:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.U32(value.ulVal);
            case VT_I8:
            case VT_UI8:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.U64(value.uhVal.QuadPart);
            case VT_R4:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.U32(std::bit_cast<std::uint32_t>(value.fltVal));
            case VT_R8:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.U64(std::bit_cast<std::uint64_t>(value.dblVal));
            case VT_BOOL:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.U8(value.boolVal != VARIANT_FALSE ? 1 : 0);
            case VT_FILETIME:
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                RETURN_IF_FAILED(m_writer.U32(value.filetime.dwLowDateTime));
                return m_writer.U32(value.filetime.dwHighDateTime);
            case VT_CLSID:
                if (value.puuid == nullptr) return E_INVALIDARG;
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return m_writer.Guid(*value.puuid);
            case VT_LPWSTR:
                return String(value.pwszVal);
            case VT_UNKNOWN: {
                ComPtr<IPortableDeviceValues> nested;
                if (value.punkVal == nullptr ||
                    FAILED(value.punkVal->QueryInterface(IID_IPortableDeviceValues,
                                                         reinterpret_cast<void**>(nested.GetAddressOf())))) {
                    return DISP_E_BADVARTYPE;
                }
                RETURN_IF_FAILED(m_writer.U16(value.vt));
                return ValuesBody(nested.Get(), depth + 1);
            }
            default:
                return DISP_E_BADVARTYPE;
        }
    }

    HRESULT String(const WCHAR* text)
    {
        if (text == nullptr) return E_INVALIDARG;
        std::uint32_t length = 0;
        while (text[length] != 0) {
            if (++length > kMaxStringUnits) return kEncodingTooLarge;
        }
        RETURN_IF_FAILED(m_writer.U16(VT_LPWSTR));
        RETURN_IF_FAILED(m_writer.U32(length));
        return m_writer.Units(text, length);
    }

    Writer m_writer;
};

// Reads little-endian fields, never past the end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::size_t Remaining() const { return m_bytes.size() - m_pos; }

    bool Unsigned(std::uint64_t* value, std::size_t bytes)
    {
        if (Remaining() < bytes) return false;
        std::uint64_t result = 0;
        for (std::size_t i = 0; i < bytes; ++i) result |= std::uint64_t{m_bytes[m_pos + i]} << (8 * i);
        m_pos += bytes;
        *value = result;
        return true;
    }

    template <class T>
    bool Read(T* value)
    {
        std::uint64_t raw = 0;
        if (!Unsigned(&raw, sizeof(T))) return false;
        *value = static_cast<T>(raw);
        return true;
    }

    bool Guid(GUID* guid)
    {
        if (Remaining() < kGuidBytes) return false;
        Read(&guid->Data1);
        Read(&guid->Data2);
        Read(&guid->Data3);
        for (std::uint8_t& byte : guid->Data4) Read(&byte);
        return true;
    }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

bool KeyLess(const PROPERTYKEY& a, const PROPERTYKEY& b)
{
    const int order = std::memcmp(&a.fmtid, &b.fmtid, sizeof(GUID));
    return order != 0 ? order < 0 : a.pid < b.pid;
}

class Decoder {
public:
    explicit Decoder(std::span<const std::uint8_t> bytes) : m_reader(bytes), m_size(bytes.size()) {}

    HRESULT Header(Kind expected)
    {
        if (m_size > kMaxEncodedBytes) return kMalformedEncoding;
        std::uint8_t magic0 = 0;
        std::uint8_t magic1 = 0;
        std::uint8_t version = 0;
        std::uint8_t kind = 0;
        if (!m_reader.Read(&magic0) || !m_reader.Read(&magic1) || magic0 != kMagic0 || magic1 != kMagic1) {
            return kMalformedEncoding;
        }
        if (!m_reader.Read(&version)) return kMalformedEncoding;
        if (version != kValuesEncodingVersion) return kUnsupportedVersion;
        if (!m_reader.Read(&kind) || kind != static_cast<std::uint8_t>(expected)) return kMalformedEncoding;
        return S_OK;
    }

    HRESULT End() const { return m_reader.Remaining() == 0 ? S_OK : kMalformedEncoding; }

    HRESULT ValuesBody(std::uint32_t depth, ComPtr<IPortableDeviceValues>* out)
    {
        if (depth > kMaxNestingDepth) return kMalformedEncoding;
        std::uint32_t count = 0;
        RETURN_IF_FAILED(Count(&count, kKeyBytes + kTagBytes));
        ValueEntries entries;
        entries.reserve(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            ValueEntry entry;
            RETURN_IF_FAILED(Key(&entry.key));
            RETURN_IF_FAILED(Value(depth, &entry.value));
            entries.push_back(std::move(entry));
        }
        RETURN_IF_FAILED(CheckDistinctKeys(entries));
        return platform::detail::CreatePortableDeviceValues(std::move(entries), out->ReleaseAndGetAddressOf());
    }

    HRESULT KeysBody(ComPtr<IPortableDeviceKeyCollection>* out)
    {
        std::uint32_t count = 0;
        RETURN_IF_FAILED(Count(&count, kKeyBytes));
        std::vector<PROPERTYKEY> keys(count);
        for (PROPERTYKEY& key : keys) RETURN_IF_FAILED(Key(&key));
        return platform::detail::CreatePortableDeviceKeyCollection(std::move(keys), out->ReleaseAndGetAddressOf());
    }

    HRESULT ValuesCollectionBody(ComPtr<IPortableDeviceValuesCollection>* out)
    {
        std::uint32_t count = 0;
        RETURN_IF_FAILED(Count(&count, kCountBytes));
        std::vector<ComPtr<IPortableDeviceValues>> members(count);
        for (ComPtr<IPortableDeviceValues>& member : members) RETURN_IF_FAILED(ValuesBody(1, &member));
        return platform::detail::CreatePortableDeviceValuesCollection(std::move(members),
                                                                      out->ReleaseAndGetAddressOf());
    }

private:
    // A count, checked against the limits and against the bytes its items need at the least,
    // before anything is allocated for them.
    HRESULT Count(std::uint32_t* count, std::size_t minimumItemBytes)
    {
        if (!m_reader.Read(count)) return kMalformedEncoding;
        if (*count > kMaxEntriesPerCollection) return kMalformedEncoding;
        if (std::size_t{*count} * minimumItemBytes > m_reader.Remaining()) return kMalformedEncoding;
        return S_OK;
    }

    HRESULT Key(PROPERTYKEY* key)
    {
        if (!m_reader.Guid(&key->fmtid) || !m_reader.Read(&key->pid)) return kMalformedEncoding;
        return S_OK;
    }

    // Fills *value (VT_EMPTY on entry); on failure it is VT_EMPTY again.
    HRESULT Value(std::uint32_t depth, PROPVARIANT* value)
    {
        std::uint16_t tag = 0;
        if (!m_reader.Read(&tag)) return kMalformedEncoding;
        PROPVARIANT result{};
        result.vt = tag;
        bool complete = false;
        switch (tag) {
            case VT_EMPTY:
            case VT_NULL:
                complete = true;
                break;
            case VT_I4:
            case VT_UI4:
            case VT_ERROR:
                complete = m_reader.Read(&result.ulVal);
                break;
            case VT_I8:
            case VT_UI8:
                complete = m_reader.Read(&result.uhVal.QuadPart);
                break;
            case VT_R4: {
                std::uint32_t bits = 0;
                complete = m_reader.Read(&bits);
                result.fltVal = std::bit_cast<FLOAT>(bits);
                break;
            }
            case VT_R8: {
                std::uint64_t bits = 0;
                complete = m_reader.Read(&bits);
                result.dblVal = std::bit_cast<DOUBLE>(bits);
                break;
            }
            case VT_BOOL: {
                std::uint8_t flag = 0;
                complete = m_reader.Read(&flag) && flag <= 1;
                result.boolVal = flag != 0 ? VARIANT_TRUE : VARIANT_FALSE;
                break;
            }
            case VT_FILETIME:
                complete =
                    m_reader.Read(&result.filetime.dwLowDateTime) && m_reader.Read(&result.filetime.dwHighDateTime);
                break;
            case VT_CLSID: {
                GUID guid{};
                if (!m_reader.Guid(&guid)) return kMalformedEncoding;
                return InitPropVariantFromCLSID(guid, value);
            }
            case VT_LPWSTR:
                return String(value);
            case VT_UNKNOWN: {
                ComPtr<IPortableDeviceValues> nested;
                RETURN_IF_FAILED(ValuesBody(depth + 1, &nested));
                value->vt = VT_UNKNOWN;
                value->punkVal = nested.Detach();
                return S_OK;
            }
            default:
                return kMalformedEncoding;
        }
        if (!complete) return kMalformedEncoding;
        *value = result;
        return S_OK;
    }

    HRESULT String(PROPVARIANT* value)
    {
        std::uint32_t length = 0;
        if (!m_reader.Read(&length) || length > kMaxStringUnits) return kMalformedEncoding;
        if (std::size_t{length} * 2 > m_reader.Remaining()) return kMalformedEncoding;
        auto* text = static_cast<LPWSTR>(CoTaskMemAlloc((std::size_t{length} + 1) * sizeof(WCHAR)));
        if (text == nullptr) return E_OUTOFMEMORY;
        for (std::uint32_t i = 0; i < length; ++i) {
            m_reader.Read(&text[i]);
            if (text[i] == 0) {
                CoTaskMemFree(text);
                return kMalformedEncoding;
            }
        }
        text[length] = 0;
        value->vt = VT_LPWSTR;
        value->pwszVal = text;
        return S_OK;
    }

    static HRESULT CheckDistinctKeys(const ValueEntries& entries)
    {
        // A usual set has a few entries: each key is compared with those before it, which needs no
        // sorted copy of the keys.
        constexpr std::size_t kPairwiseLimit = 16;
        if (entries.size() <= kPairwiseLimit) {
            for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
                for (auto earlier = entries.begin(); earlier != entry; ++earlier) {
                    if (earlier->key == entry->key) return kMalformedEncoding;
                }
            }
            return S_OK;
        }
        std::vector<PROPERTYKEY> keys;
        keys.reserve(entries.size());
        for (const ValueEntry& entry : entries) keys.push_back(entry.key);
        std::sort(keys.begin(), keys.end(), KeyLess);
        const auto duplicate = std::adjacent_find(keys.begin(), keys.end());
        return duplicate == keys.end() ? S_OK : kMalformedEncoding;
    }

    Reader m_reader;
    std::size_t m_size;
};

template <class Interface, class Body>
HRESULT Encode(Interface* collection, std::vector<std::uint8_t>* out, Kind kind, Body body)
{
    if (collection == nullptr || out == nullptr) return E_POINTER;
    return ReturnOutOfMemoryOnThrow([&] {
        // Room for a usual message at once rather than growing a few bytes at a time (a buffer that
        // has room already keeps its own growth).
        if (out->capacity() < kUsualEncodingBytes) out->reserve(kUsualEncodingBytes);
        Encoder encoder(out);
        RETURN_IF_FAILED(encoder.Header(kind));
        RETURN_IF_FAILED(body(encoder));
        encoder.Commit();
        return S_OK;
    });
}

template <class Interface, class Body>
HRESULT Decode(std::span<const std::uint8_t> bytes, Interface** out, Kind kind, Body body)
{
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return ReturnOutOfMemoryOnThrow([&] {
        Decoder decoder(bytes);
        RETURN_IF_FAILED(decoder.Header(kind));
        ComPtr<Interface> result;
        RETURN_IF_FAILED(body(decoder, &result));
        RETURN_IF_FAILED(decoder.End());
        *out = result.Detach();
        return S_OK;
    });
}

}  // namespace

HRESULT EncodeValues(IPortableDeviceValues* values, std::vector<std::uint8_t>* out)
{
    return Encode(values, out, Kind::Values, [values](Encoder& encoder) { return encoder.ValuesBody(values, 1); });
}

HRESULT EncodeKeys(IPortableDeviceKeyCollection* keys, std::vector<std::uint8_t>* out)
{
    return Encode(keys, out, Kind::Keys, [keys](Encoder& encoder) { return encoder.KeysBody(keys); });
}

HRESULT EncodeValuesCollection(IPortableDeviceValuesCollection* collection, std::vector<std::uint8_t>* out)
{
    return Encode(collection, out, Kind::ValuesCollection,
                  [collection](Encoder& encoder) { return encoder.ValuesCollectionBody(collection); });
}

HRESULT DecodeValues(std::span<const std::uint8_t> bytes, IPortableDeviceValues** out)
{
    return Decode(bytes, out, Kind::Values, [](Decoder& decoder, ComPtr<IPortableDeviceValues>* result) {
        return decoder.ValuesBody(1, result);
    });
}

HRESULT DecodeKeys(std::span<const std::uint8_t> bytes, IPortableDeviceKeyCollection** out)
{
    return Decode(bytes, out, Kind::Keys, [](Decoder& decoder, ComPtr<IPortableDeviceKeyCollection>* result) {
        return decoder.KeysBody(result);
    });
}

HRESULT DecodeValuesCollection(std::span<const std::uint8_t> bytes, IPortableDeviceValuesCollection** out)
{
    return Decode(bytes, out, Kind::ValuesCollection,
                  [](Decoder& decoder, ComPtr<IPortableDeviceValuesCollection>* result) {
                      return decoder.ValuesCollectionBody(result);
                  });
}

}  // namespace transport
