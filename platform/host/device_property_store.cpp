#include "device_property_store.h"

#include <sstream>

#include "platform_support/state_file.h"
#include "platform_support/text_coding.h"
#include "host/device_property_file.h"
#include "platform/com/com_ptr.h"
#include "transport/values_codec.h"
#include "platform_support/values.h"

namespace platform::host {
namespace {

using support::FoldCase;
using support::HexBytes;
using support::HexUtf16;
using support::UnhexBytes;
using support::UnhexUtf16;

constexpr const char* kHeader = "thermal-device-properties 1";
// The key under which a value sits alone in its values set.
constexpr PROPERTYKEY kValueKey = {platform::MakeGuid("{4E4F8C51-6B2A-4C1D-9F0E-2A7B3C5D8E61}"), 2};

// The encoding of a values set that holds `value` alone under kValueKey.
HRESULT Encode(const PROPVARIANT& value, std::vector<std::uint8_t>* out)
{
    PROPVARIANT copy;
    PropVariantInit(&copy);
    RETURN_IF_FAILED(PropVariantCopy(&copy, &value));
    std::vector<support::ValueEntry> entries;
    HRESULT hr = support::ReturnOutOfMemoryOnThrow([&] {
        entries.emplace_back(kValueKey, copy);  // takes over the copy
        return S_OK;
    });
    if (FAILED(hr)) {
        PropVariantClear(&copy);
        return hr;
    }
    platform::ComPtr<IPortableDeviceValues> values;
    RETURN_IF_FAILED(support::CreatePortableDeviceValues(std::move(entries), values.GetAddressOf()));
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

std::optional<DevicePropertyStore::Values> DevicePropertyStore::Parse(const std::string& contents)
{
    Values values;
    std::istringstream in(contents);
    std::string line;
    if (!std::getline(in, line) || line != kHeader) return std::nullopt;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string kind, first, second, rest;
        fields >> kind >> first >> second;
        if (kind == "end") {
            if (!second.empty() || first != std::to_string(values.size()) || std::getline(in, rest))
                return std::nullopt;
            return values;
        }
        if (kind != "value" || (fields >> rest)) return std::nullopt;
        const auto name = UnhexUtf16(first);
        const auto bytes = UnhexBytes(second);
        if (!name || name->empty() || !bytes || !Decodes(*bytes) ||
            !values.emplace(FoldCase(*name), std::make_pair(*name, *bytes)).second) {
            return std::nullopt;
        }
    }
    return std::nullopt;  // no end line: a truncated file
}

sim::StateFileLoad DevicePropertyStore::Load()
{
    std::lock_guard guard(m_mutex);
    m_values.clear();
    if (m_file.empty()) return {};
    std::optional<Values> parsed;
    support::StateFileRead read = support::ReadStateFile(
        m_file, [&parsed](const std::string& contents) { return (parsed = Parse(contents)).has_value(); },
        "the device property file", "the store starts empty");
    const sim::StateFileOutcome outcome = read.load.outcome;
    if ((outcome == sim::StateFileOutcome::kLoaded || outcome == sim::StateFileOutcome::kRestored) && parsed) {
        m_values = std::move(*parsed);
    }
    return std::move(read.load);
}

std::map<std::u16string, ULONG> DevicePropertyStore::Numbers() const
{
    std::map<std::u16string, ULONG> numbers;
    std::vector<std::pair<std::u16string, std::vector<std::uint8_t>>> entries;
    {
        std::lock_guard guard(m_mutex);
        for (const auto& [folded, entry] : m_values) entries.push_back(entry);
    }
    for (const auto& [name, bytes] : entries) {
        PROPVARIANT value;
        if (SUCCEEDED(Decode(bytes, &value)) && value.vt == VT_UI4) numbers[name] = value.ulVal;
        PropVariantClear(&value);
    }
    return numbers;
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
    HRESULT hr = support::ReturnOutOfMemoryOnThrow([&] {
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
    return support::ReturnOutOfMemoryOnThrow([&] {
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
    return support::ReturnOutOfMemoryOnThrow([&] {
        std::ostringstream out;
        out << kHeader << '\n';
        for (const auto& [folded, entry] : values) {
            out << "value " << HexUtf16(entry.first) << ' ' << HexBytes(entry.second.data(), entry.second.size()) << '\n';
        }
        out << "end " << values.size() << '\n';
        const std::string error = support::WriteStateFile(m_file, out.str());
        return error.empty() ? S_OK : HRESULT_FROM_WIN32(ERROR_GEN_FAILURE);
    });
}

}  // namespace platform::host

namespace platform::host {

PropertyFileCheck CheckDevicePropertyFile()
{
    const std::filesystem::path directory = sim::StateDirectory();
    if (directory.empty()) return {};
    DevicePropertyStore store(directory / DevicePropertyStore::kFileName);
    PropertyFileCheck check;
    check.load = store.Load();
    check.numbers = store.Numbers();
    return check;
}

}  // namespace platform::host
