#include "core/text_coding.h"

namespace platform::detail {

std::u16string FoldCase(std::u16string_view text)
{
    std::u16string folded(text);
    for (auto& c : folded) {
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    }
    return folded;
}

std::string HexBytes(const std::uint8_t* data, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text.empty() ? "-" : text;
}

std::string HexUtf16(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (const char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return HexBytes(bytes.data(), bytes.size());
}

std::optional<std::vector<std::uint8_t>> UnhexBytes(const std::string& text)
{
    if (text == "-") return std::vector<std::uint8_t>{};
    if (text.empty() || text.size() % 2 != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (std::size_t k = 0; k < 2; ++k) {
            const char c = text[i + k];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return std::nullopt;
            value = value * 16 + digit;
        }
        bytes.push_back(static_cast<std::uint8_t>(value));
    }
    return bytes;
}

std::optional<std::u16string> UnhexUtf16(const std::string& text)
{
    const auto bytes = UnhexBytes(text);
    if (!bytes || bytes->size() % 2 != 0) return std::nullopt;
    std::u16string result;
    result.reserve(bytes->size() / 2);
    for (std::size_t i = 0; i < bytes->size(); i += 2) {
        result += static_cast<char16_t>((*bytes)[i] | ((*bytes)[i + 1] << 8));
    }
    return result;
}

}  // namespace platform::detail
