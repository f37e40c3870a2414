#include "common/text.h"

#include <cstdint>
#include <cstdio>

namespace apps {
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

// The code point of the UTF-8 sequence at text[i] in *c, and its length; 0 for a byte that starts
// no valid sequence (a stray continuation, an overlong form, a surrogate, beyond U+10FFFF).
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

struct NamedResult {
    HRESULT hr;
    const char* name;
};

constexpr NamedResult kNamedResults[] = {
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_ABORT, "E_ABORT"},
    {E_FAIL, "E_FAIL"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_HANDLE, "E_HANDLE"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {HRESULT_FROM_WIN32(1), "ERROR_INVALID_FUNCTION"},
    {HRESULT_FROM_WIN32(13), "ERROR_INVALID_DATA"},
    {HRESULT_FROM_WIN32(50), "ERROR_NOT_SUPPORTED"},
    {HRESULT_FROM_WIN32(111), "ERROR_BUFFER_OVERFLOW"},
    {HRESULT_FROM_WIN32(234), "ERROR_MORE_DATA"},
    {HRESULT_FROM_WIN32(1115), "ERROR_SHUTDOWN_IN_PROGRESS"},
    {HRESULT_FROM_WIN32(1167), "ERROR_DEVICE_NOT_CONNECTED"},
    {HRESULT_FROM_WIN32(1168), "ERROR_NOT_FOUND"},
    {HRESULT_FROM_WIN32(1306), "ERROR_REVISION_MISMATCH"},
    {HRESULT_FROM_WIN32(1460), "ERROR_TIMEOUT"},
};

}  // namespace

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

std::string EscapeControls(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    char escaped[16];
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const std::size_t length = DecodeUtf8At(text, i, &c);
        if (length == 0) {
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escaped;
            ++i;
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned>(c));
            out += escaped;
        } else if (c >= 0x80 && c <= 0x9F) {
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.append(text.substr(i, length));
        }
        i += length;
    }
    return out;
}

std::string HresultHex(HRESULT hr)
{
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned>(hr));
    return hex;
}

std::string HresultText(HRESULT hr)
{
    if (hr == S_OK) return "S_OK";
    if (hr == S_FALSE) return "S_FALSE";
    for (const NamedResult& named : kNamedResults) {
        if (named.hr == hr) return std::string(named.name) + " (" + HresultHex(hr) + ")";
    }
    return HresultHex(hr);
}

}  // namespace apps
