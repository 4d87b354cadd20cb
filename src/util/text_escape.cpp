#include "util/text_escape.h"

#include "util/text_encoding.h"

#include <cstdio>

namespace gd {

namespace {

// The length of the escaped character at the start of valid UTF-8 `text`
// (C1 or U+2028/U+2029), its code in `code`; 0 for any other character.
std::size_t unicodeControl(std::string_view text, unsigned& code) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (text.size() >= 2 && byte(0) == 0xC2 && byte(1) < 0xA0) {
        code = byte(1);
        return 2;
    }
    if (text.size() >= 3 && byte(0) == 0xE2 && byte(1) == 0x80 &&
        (byte(2) == 0xA8 || byte(2) == 0xA9)) {
        code = 0x2000 + (byte(2) & 0x3F);
        return 3;
    }
    return 0;
}

}  // namespace

std::string escapeControls(std::string_view text, std::string_view kept) {
    const bool utf8 = isValidUtf8(text);
    std::string out;
    out.reserve(text.size());
    char escaped[8];
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        unsigned code = 0;
        const std::size_t length = utf8 ? unicodeControl(text.substr(i), code) : 0;
        if (length > 0) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
            out += escaped;
            i += length;
            continue;
        }
        if ((byte < 0x20 || byte == 0x7F) && kept.find(text[i]) == std::string_view::npos) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += text[i];
        }
        ++i;
    }
    return out;
}

}  // namespace gd
