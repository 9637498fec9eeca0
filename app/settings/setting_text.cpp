#include "settings/setting_text.h"

#include "codec/text_encoding.h"

namespace {

// Length of the UTF-8 character at the start of `text`; a stray byte counts as one.
size_t Utf8CharLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return length <= text.size() ? length : text.size();
}

}  // namespace

std::string WithoutControlCharacters(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        if (!IsSettingControl(static_cast<unsigned char>(c))) {
            out += c;
        }
    }
    return out;
}

bool FitsSettingValue(std::string_view utf8) {
    // No character is shorter in CP932 than one byte, nor longer than its UTF-8 form.
    return utf8.size() <= kMaxSettingValueBytes || Cp932Length(utf8) <= kMaxSettingValueBytes;
}

std::string CutToSettingValue(std::string_view utf8) {
    if (FitsSettingValue(utf8)) {
        return std::string(utf8);
    }
    size_t bytes = 0;
    size_t at = 0;
    while (at < utf8.size()) {
        const size_t length = Utf8CharLength(utf8.substr(at));
        const size_t cp932 = Cp932Length(utf8.substr(at, length));
        if (bytes + cp932 > kMaxSettingValueBytes) {
            break;
        }
        bytes += cp932;
        at += length;
    }
    return std::string(utf8.substr(0, at));
}
