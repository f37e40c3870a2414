// The programs' text helpers: control characters made visible for the host's log.
#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace {

TEST(AppText, EscapeControls_KeepsEachLineOneLineAndPlainTextAsItIs)
{
    const struct {
        std::string text;
        std::string escaped;
    } cases[] = {
        {"power dc -> power: dc", "power dc -> power: dc"},
        {"25.0 \u00B0C in ACPI\\PNP0C14\\0_0", "25.0 \u00B0C in ACPI\\PNP0C14\\0_0"},  // UTF-8, backslashes
        {"power dc\n[   9.999] forged", "power dc\\n[   9.999] forged"},
        {"a\rb\tc", "a\\rb\\tc"},
        {"\x1B[2J\x07", "\\x1B[2J\\x07"},  // C0 controls: a terminal's escape, the bell
        {std::string("nul\0byte", 8), "nul\\x00byte"},
        {"del\x7F", "del\\x7F"},
        {"csi\u009B31m", "csi\\u009B31m"},     // a C1 control, written in UTF-8
        {"stray\x9B\xFF", "stray\\x9B\\xFF"},  // bytes that are not UTF-8
        {"cut \xE2\x82", "cut \\xE2\\x82"},    // a sequence cut short
    };
    for (const auto& c : cases) EXPECT_EQ(apps::EscapeControls(c.text), c.escaped);
}

}  // namespace
