#include "common/text.h"

#include <cstdio>

namespace apps {

using platform::support::DecodeUtf8At;

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

}  // namespace apps
