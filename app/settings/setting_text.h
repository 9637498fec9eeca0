#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The rules for a settings value as text, shared by the store (reading the file) and the dialog's line
// edits (typing and pasting): one line, no control characters, and at most 254 bytes counted in CP932,
// so a Japanese value holds as many characters as older settings files written in Shift-JIS did.

inline constexpr size_t kMaxSettingValueBytes = 254;

// True for CR, LF and every other control character (U+0000–U+001F, U+007F).
inline bool IsSettingControl(char32_t c) {
    return c < 0x20 || c == 0x7F;
}

// `utf8` without its control characters.
std::string WithoutControlCharacters(std::string_view utf8);

// True when `utf8` takes at most kMaxSettingValueBytes bytes in CP932.
bool FitsSettingValue(std::string_view utf8);

// The longest start of `utf8` that fits, cut between characters.
std::string CutToSettingValue(std::string_view utf8);
