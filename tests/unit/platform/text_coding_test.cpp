// The one UTF-16 codec and HRESULT-name table that the platform, the host and the programs share.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/win32_error.h"
#include "platform_support/hresult_text.h"
#include "platform_support/text_coding.h"

namespace {

using platform::support::HresultText;
using platform::support::StrictUtf8ToUtf16;
using platform::support::Utf16ToUtf8;
using platform::support::Utf8ToUtf16;

TEST(TextCoding, Utf8AndUtf16_ConvertValidTextBothWaysAndMarkWhatIsNotValid)
{
    const struct {
        std::string utf8;
        std::u16string utf16;    // what the lenient decoder gives
        bool valid;              // whether the strict decoder accepts it
    } cases[] = {
        {"plain", u"plain", true},
        {"25.0 \u00B0C \u20AC", u"25.0 \u00B0C \u20AC", true},
        {"\xF0\x9F\x8C\xA1", u"\U0001F321", true},  // beyond the BMP: a surrogate pair
        {"\xC3\x28", u"\uFFFD(", false},            // a lead byte without its continuation
        {"\xC0\xAF", u"\uFFFD\uFFFD", false},       // an overlong form
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},  // a surrogate written in UTF-8
        {"cut \xE2\x82", u"cut \uFFFD\uFFFD", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        const std::optional<std::u16string> strict = StrictUtf8ToUtf16(c.utf8);
        EXPECT_EQ(strict.has_value(), c.valid) << c.utf8;
        if (c.valid) {
            EXPECT_EQ(Utf16ToUtf8(*strict), c.utf8);
        }
    }
    EXPECT_EQ(Utf16ToUtf8(u"a\xD800" u"b\xDC00"), "a\uFFFD" "b\uFFFD");  // unpaired surrogates
}

TEST(TextCoding, HresultText_NamesWellKnownResultsAndShowsOthersInHexadecimal)
{
    EXPECT_EQ(HresultText(S_OK), "S_OK");
    EXPECT_EQ(HresultText(S_FALSE), "S_FALSE");
    EXPECT_EQ(HresultText(E_INVALIDARG), "E_INVALIDARG (0x80070057)");
    EXPECT_EQ(HresultText(HRESULT_FROM_WIN32(ERROR_NOT_FOUND)), "ERROR_NOT_FOUND (0x80070490)");
    EXPECT_EQ(HresultText(static_cast<HRESULT>(0x8007045A)), "0x8007045A");
}

}  // namespace
