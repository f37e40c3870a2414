#include "platform_support/text_coding.h"

namespace platform::support {
namespace {

void AppendUtf8(char32_t c, std::string* out)
{
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void AppendUtf16(char32_t c, std::u16string* out)
{
    if (c < 0x10000) {
        out->push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

std::size_t DecodeUtf8At(std::string_view text, std::size_t i, char32_t* c)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    int extra = 0;
    if (lead < 0x80) {
        *c = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        *c = lead & 0x1F;
        extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
        *c = lead & 0x0F;
        extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
        *c = lead & 0x07;
        extra = 3;
    } else {
        return 0;
    }
    for (int k = 1; k <= extra; ++k) {
        if (i + k >= text.size()) return 0;
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        *c = (*c << 6) | (next & 0x3F);
    }
    constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (*c < kMinimum[extra] || *c > 0x10FFFF || (*c >= 0xD800 && *c <= 0xDFFF)) return 0;
    return static_cast<std::size_t>(extra) + 1;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00), &out);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            AppendUtf8(kReplacement, &out);
        } else {
            AppendUtf8(unit, &out);
        }
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8At(text, i, &c);
        AppendUtf16(length == 0 ? kReplacement : c, &out);
        i += length == 0 ? 1 : length;
    }
    return out;
}

std::optional<std::u16string> StrictUtf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8At(text, i, &c);
        if (length == 0) return std::nullopt;
        AppendUtf16(c, &out);
        i += length;
    }
    return out;
}


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

}  // namespace platform::support
