#include "device_property_store.h"

#include <sstream>
#include <system_error>

#include "core/atomic_file.h"
#include "core/text_coding.h"
#include "platform/com/com_ptr.h"
#include "transport/values_codec.h"
#include "wpd/collections.h"

namespace platform::host {
namespace {

using detail::FoldCase;
using detail::HexBytes;
using detail::HexUtf16;
using detail::UnhexBytes;
using detail::UnhexUtf16;

constexpr const char* kHeader = "thermal-device-properties 1";
// The key under which a value sits alone in its values set.
constexpr PROPERTYKEY kValueKey = {platform::MakeGuid("{4E4F8C51-6B2A-4C1D-9F0E-2A7B3C5D8E61}"), 2};

// The encoding of a values set that holds `value` alone under kValueKey.
HRESULT Encode(const PROPVARIANT& value, std::vector<std::uint8_t>* out)
{
    PROPVARIANT copy;
    PropVariantInit(&copy);
    RETURN_IF_FAILED(PropVariantCopy(&copy, &value));
    std::vector<detail::ValueEntry> entries;
    HRESULT hr = detail::ReturnOutOfMemoryOnThrow([&] {
        entries.emplace_back(kValueKey, copy);  // takes over the copy
        return S_OK;
    });
    if (FAILED(hr)) {
        PropVariantClear(&copy);
        return hr;
    }
    platform::ComPtr<IPortableDeviceValues> values;
    RETURN_IF_FAILED(detail::CreatePortableDeviceValues(std::move(entries), values.GetAddressOf()));
    return transport::EncodeValues(values.Get(), out);
}

// Decodes an encoding made by Encode into *value (overwritten, VT_EMPTY on failure).
HRESULT Decode(const std::vector<std::uint8_t>& bytes, PROPVARIANT* value)
{
    PropVariantInit(value);
    platform::ComPtr<IPortableDeviceValues> values;
    RETURN_IF_FAILED(transport::DecodeValues(bytes, values.GetAddressOf()));
    DWORD count = 0;
    RETURN_IF_FAILED(values->GetCount(&count));
    if (count != 1) return transport::kMalformedEncoding;
    PROPERTYKEY key{};
    RETURN_IF_FAILED(values->GetAt(0, &key, value));
    if (!(key == kValueKey)) {
        PropVariantClear(value);
        return transport::kMalformedEncoding;
    }
    return S_OK;
}

// Whether an encoding from a file decodes. Decoding makes no checked call, so a file is judged by
// its bytes alone.
bool Decodes(const std::vector<std::uint8_t>& bytes)
{
    platform::ComPtr<IPortableDeviceValues> values;
    return SUCCEEDED(transport::DecodeValues(bytes, values.GetAddressOf()));
}

}  // namespace

DevicePropertyStore::DevicePropertyStore(std::filesystem::path file) : m_file(std::move(file)) {}

DevicePropertyStore::LoadOutcome DevicePropertyStore::Load(std::string* problem)
{
    std::lock_guard guard(m_mutex);
    m_values.clear();
    if (m_file.empty()) return LoadOutcome::kMissing;
    const auto contents = detail::ReadWholeFile(m_file);
    if (!contents) return LoadOutcome::kMissing;

    Values values;
    bool ended = false;
    bool damaged = false;
    std::istringstream in(*contents);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) damaged = true;
    while (!damaged && !ended && std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, first, second, rest;
        fields >> kind >> first >> second;
        if (kind == "end") {
            const std::string count = first;
            damaged = !second.empty() || count != std::to_string(values.size()) || std::getline(in, rest);
            ended = true;
        } else if (kind == "value" && !(fields >> rest)) {
            const auto name = UnhexUtf16(first);
            const auto bytes = UnhexBytes(second);
            if (!name || name->empty() || !bytes || !Decodes(*bytes) ||
                !values.emplace(FoldCase(*name), std::make_pair(*name, *bytes)).second) {
                damaged = true;
            }
        } else {
            damaged = true;
        }
    }
    if (!damaged && ended) {
        m_values = std::move(values);
        return LoadOutcome::kLoaded;
    }

    std::filesystem::path aside = m_file;
    aside += ".corrupt";
    std::error_code error;
    std::filesystem::rename(m_file, aside, error);
    if (problem != nullptr) {
        *problem = "the device property file " + m_file.string() + " is damaged; it was moved to " + aside.string() +
                   " and the store starts empty";
    }
    return LoadOutcome::kDamaged;
}

HRESULT DevicePropertyStore::Save()
{
    std::lock_guard guard(m_mutex);
    return SaveLocked(m_values);
}

HRESULT DevicePropertyStore::Get(std::u16string_view name, PROPVARIANT* value) const
{
    PropVariantInit(value);
    std::vector<std::uint8_t> bytes;
    HRESULT hr = detail::ReturnOutOfMemoryOnThrow([&] {
        const std::u16string folded = FoldCase(name);
        std::lock_guard guard(m_mutex);
        const auto it = m_values.find(folded);
        if (it == m_values.end()) return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        bytes = it->second.second;
        return S_OK;
    });
    RETURN_IF_FAILED(hr);
    return Decode(bytes, value);
}

HRESULT DevicePropertyStore::Set(std::u16string_view name, const PROPVARIANT& value)
{
    std::vector<std::uint8_t> bytes;
    RETURN_IF_FAILED(Encode(value, &bytes));
    return detail::ReturnOutOfMemoryOnThrow([&] {
        std::lock_guard guard(m_mutex);
        Values changed = m_values;
        changed[FoldCase(name)] = {std::u16string(name), std::move(bytes)};
        RETURN_IF_FAILED(SaveLocked(changed));
        m_values = std::move(changed);
        return S_OK;
    });
}

HRESULT DevicePropertyStore::SaveLocked(const Values& values)
{
    if (m_file.empty()) return S_OK;
    return detail::ReturnOutOfMemoryOnThrow([&] {
        std::ostringstream out;
        out << kHeader << '\n';
        for (const auto& [folded, entry] : values) {
            out << "value " << HexUtf16(entry.first) << ' ' << HexBytes(entry.second.data(), entry.second.size()) << '\n';
        }
        out << "end " << values.size() << '\n';
        const std::string error = detail::WriteFileAtomically(m_file, out.str());
        return error.empty() ? S_OK : HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    });
}

}  // namespace platform::host
