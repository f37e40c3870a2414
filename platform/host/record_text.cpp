#include "record_text.h"

#include "platform_support/text_coding.h"

namespace platform::host {

const char* BoolText(BOOL value)
{
    return value ? "TRUE" : "FALSE";
}

std::string Hex32(std::uint32_t value)
{
    // Written by hand: every request's record lines carry a control code, and a formatted print
    // cost more than the rest of the line.
    std::string text = "0x00000000";
    for (std::size_t digit = text.size() - 1; value != 0; --digit, value >>= 4)
        text[digit] = "0123456789ABCDEF"[value & 0xF];
    return text;
}

std::string Utf8(std::u16string_view text)
{
    return support::Utf16ToUtf8(text);
}

std::string Utf8(PCWSTR text)
{
    return text != nullptr ? Utf8(std::u16string_view(text)) : std::string("null");
}

std::string PropVariantText(const PROPVARIANT& value)
{
    switch (value.vt) {
        case VT_EMPTY:
            return "VT_EMPTY";
        case VT_NULL:
            return "VT_NULL";
        case VT_I4:
            return "VT_I4 " + std::to_string(value.lVal);
        case VT_UI4:
            return "VT_UI4 " + std::to_string(value.ulVal);
        case VT_I8:
            return "VT_I8 " + std::to_string(value.hVal.QuadPart);
        case VT_UI8:
            return "VT_UI8 " + std::to_string(value.uhVal.QuadPart);
        case VT_R4:
            return "VT_R4 " + std::to_string(value.fltVal);
        case VT_R8:
            return "VT_R8 " + std::to_string(value.dblVal);
        case VT_BOOL:
            return std::string("VT_BOOL ") + (value.boolVal ? "TRUE" : "FALSE");
        case VT_ERROR:
            return "VT_ERROR " + Hex32(static_cast<std::uint32_t>(value.scode));
        case VT_LPWSTR:
            return "VT_LPWSTR \"" + Utf8(value.pwszVal) + "\"";
        case VT_CLSID:
            return "VT_CLSID " + (value.puuid != nullptr ? GuidToString(*value.puuid) : std::string("null"));
        default:
            return "VT_" + std::to_string(value.vt);
    }
}

}  // namespace platform::host
