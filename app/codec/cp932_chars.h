#pragma once

#include <cstddef>
#include <string_view>

// The one walk over CP932 characters that frames and lines use to count: a lead byte 0x81–0x9F or
// 0xE0–0xFC starts a two-byte character whatever byte follows it; every other byte is a character of its
// own. Decoding to Unicode checks trail bytes on its own (text_encoding.h); counting never does, so a
// frame's positions stay where the terminal put them.

inline bool IsCp932LeadByte(unsigned char byte) {
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

// Number of bytes of the CP932 character that starts with `lead` (1 or 2).
inline int Cp932CharLength(unsigned char lead) {
    return IsCp932LeadByte(lead) ? 2 : 1;
}

// Byte offset just past the character that starts at `at` (at < text.size()). A lead byte at the very end
// of the text, with no byte left for it, is a character of its own, so the walk never leaves the text.
inline size_t NextCp932Char(std::string_view text, size_t at) {
    const size_t length = static_cast<size_t>(Cp932CharLength(static_cast<unsigned char>(text[at])));
    return at + length <= text.size() ? at + length : at + 1;
}
