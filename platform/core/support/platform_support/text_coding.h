// Small text codings shared by the platform, the host and the programs: UTF-16 (the platform's
// wide text) to and from UTF-8, hexadecimal bytes and UTF-16 text for the state files, and the
// ASCII case folding that registry-style names compare under.
//
// Thread safety: the functions keep no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/export.h"

PLATFORM_API_BEGIN
namespace platform::support {

// UTF-16 as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);
// UTF-8 as UTF-16; each byte that starts no valid sequence becomes U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// UTF-8 as UTF-16; nothing when the text is not valid UTF-8.
std::optional<std::u16string> StrictUtf8ToUtf16(std::string_view text);
// The code point of the UTF-8 sequence at text[i] in *c, and its length; 0 for a byte that starts
// no valid sequence (a stray continuation, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t DecodeUtf8At(std::string_view text, std::size_t i, char32_t* c);

// A writable copy of UTF-16 text with its terminating NUL, held in place when it is short (object
// IDs and value names are), so that handing such a string on allocates nothing. Longer text is
// copied to the heap (std::bad_alloc when that fails).
class TerminatedText {
public:
    TerminatedText() { m_short[0] = u'\0'; }
    explicit TerminatedText(std::u16string_view text) { Assign(text); }
    TerminatedText(const TerminatedText& other) { Assign(other.View()); }
    TerminatedText& operator=(const TerminatedText& other)
    {
        if (this != &other) Assign(other.View());
        return *this;
    }

    void Assign(std::u16string_view text)
    {
        m_size = text.size();
        if (m_size < kShortUnits) {
            text.copy(m_short, m_size);
            m_short[m_size] = u'\0';
        } else {
            m_long.assign(text);
        }
    }
    char16_t* Get() { return m_size < kShortUnits ? m_short : m_long.data(); }
    std::u16string_view View() const { return {m_size < kShortUnits ? m_short : m_long.data(), m_size}; }

private:
    static constexpr std::size_t kShortUnits = 64;
    char16_t m_short[kShortUnits];
    std::size_t m_size = 0;
    std::u16string m_long;
};

// ASCII letters to lower case; other units unchanged.
std::u16string FoldCase(std::u16string_view text);
// Lower-case hexadecimal, two digits a byte; "-" stands for no bytes.
std::string HexBytes(const std::uint8_t* data, std::size_t size);
// The UTF-16 units as little-endian bytes, in hexadecimal.
std::string HexUtf16(std::u16string_view text);
// The reverse of HexBytes and HexUtf16; nothing for malformed text.
std::optional<std::vector<std::uint8_t>> UnhexBytes(const std::string& text);
std::optional<std::u16string> UnhexUtf16(const std::string& text);

}  // namespace platform::support
PLATFORM_API_END
