// GUID, IID and CLSID, with a compile-time parser for their registry text form and a way to
// name the identifier of an interface type.
#pragma once

#include <compare>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/export.h"
#include "platform/types.h"

PLATFORM_API_BEGIN

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b)
    {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
        for (int i = 0; i < 8; ++i) {
            if (a.Data4[i] != b.Data4[i]) return false;
        }
        return true;
    }
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPGUID = GUID*;

inline constexpr GUID GUID_NULL{};

constexpr bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }
constexpr bool IsEqualIID(REFIID a, REFIID b) { return a == b; }
constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return a == b; }

namespace platform {

namespace detail {
constexpr std::uint32_t HexDigit(char c)
{
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
    throw "invalid hexadecimal digit in GUID text";  // only reachable in constant evaluation
}

constexpr std::uint32_t HexField(std::string_view text, std::size_t pos, std::size_t digits)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < digits; ++i) value = (value << 4) | HexDigit(text[pos + i]);
    return value;
}
}  // namespace detail

// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", with or without braces, at compile time.
consteval GUID MakeGuid(std::string_view text)
{
    if (text.size() == 38) text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        throw "GUID text must be 8-4-4-4-12 hexadecimal digits";
    }
    GUID g{};
    g.Data1 = detail::HexField(text, 0, 8);
    g.Data2 = static_cast<std::uint16_t>(detail::HexField(text, 9, 4));
    g.Data3 = static_cast<std::uint16_t>(detail::HexField(text, 14, 4));
    g.Data4[0] = static_cast<std::uint8_t>(detail::HexField(text, 19, 2));
    g.Data4[1] = static_cast<std::uint8_t>(detail::HexField(text, 21, 2));
    for (int i = 0; i < 6; ++i) {
        g.Data4[2 + i] = static_cast<std::uint8_t>(detail::HexField(text, 24 + 2 * static_cast<std::size_t>(i), 2));
    }
    return g;
}

// Parses GUID text at run time; returns false and leaves *out untouched when it is malformed.
bool ParseGuid(std::string_view text, GUID* out);

// Formats as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case.
std::string GuidToString(REFGUID guid);

// The identifier of an interface type. Each interface declares its own with
// PLATFORM_INTERFACE_ID right after its definition, at global scope.
template <class Interface>
struct InterfaceId;

template <class Interface>
inline constexpr const IID& iid_of = InterfaceId<Interface>::value;

}  // namespace platform

#define PLATFORM_INTERFACE_ID(Interface, text)                                                   \
    template <>                                                                                  \
    struct platform::InterfaceId<Interface> {                                                    \
        static constexpr IID value = platform::MakeGuid(text);                                   \
    }

// The platform's spelling for the identifier of an interface type.
#define __uuidof(Interface) (::platform::iid_of<Interface>)
#define IID_PPV_ARGS(pp) __uuidof(std::remove_pointer_t<std::remove_reference_t<decltype(*(pp))>>), \
                         reinterpret_cast<void**>(pp)
PLATFORM_API_END
