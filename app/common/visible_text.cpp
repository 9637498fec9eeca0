#include "common/visible_text.h"

#include <cstdint>

namespace {

// The length of the valid UTF-8 sequence at the start of `s` and its code point; 0 when none starts there.
size_t DecodeOne(std::string_view s, uint32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() < length) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3F);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < min || code > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string VisibleText(std::string_view utf8) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(utf8.size());
    while (!utf8.empty()) {
        uint32_t code = 0;
        const size_t length = DecodeOne(utf8, code);
        if (length == 0) {
            out += "\xEF\xBF\xBD";  // U+FFFD
            utf8.remove_prefix(1);
            continue;
        }
        const bool control = (code < 0x20 && code != '\t') || (code >= 0x7F && code <= 0x9F);
        if (control) {
            out += "\\x";
            out += kHex[code >> 4];
            out += kHex[code & 0xF];
        } else {
            out.append(utf8.substr(0, length));
        }
        utf8.remove_prefix(length);
    }
    return out;
}

std::string VisibleLines(std::string_view utf8) {
    std::string out;
    while (true) {
        const size_t end = utf8.find("\r\n");
        out += VisibleText(utf8.substr(0, end));
        if (end == std::string_view::npos) {
            return out;
        }
        out += "\r\n";
        utf8.remove_prefix(end + 2);
    }
}
