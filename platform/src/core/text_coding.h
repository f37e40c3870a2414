// Small text codings shared by the platform's state files: hexadecimal bytes and UTF-16 text, and
// the ASCII case folding that registry-style names compare under.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::detail {

// ASCII letters to lower case; other units unchanged.
std::u16string FoldCase(std::u16string_view text);

// Lower-case hexadecimal, two digits a byte; "-" stands for no bytes.
std::string HexBytes(const std::uint8_t* data, std::size_t size);
// The UTF-16 units as little-endian bytes, in hexadecimal.
std::string HexUtf16(std::u16string_view text);
// The reverse of HexBytes and HexUtf16; nothing for malformed text.
std::optional<std::vector<std::uint8_t>> UnhexBytes(const std::string& text);
std::optional<std::u16string> UnhexUtf16(const std::string& text);

}  // namespace platform::detail
