#pragma once

#include <string>
#include <string_view>

// Conversions between the terminal's CP932 bytes and UTF-8. Used only where a consumer needs Unicode
// (windows, workbook cells, database values, mail headers, file names); stored records stay CP932.

// CP932 → UTF-8. A byte sequence that does not convert becomes U+FFFD; nothing is dropped.
std::string Cp932ToUtf8(std::string_view cp932);

// UTF-8 → CP932. A character without a CP932 form (or invalid UTF-8) becomes "?"; `lossless`, when
// given, tells whether every character converted.
std::string Utf8ToCp932(std::string_view utf8, bool* lossless = nullptr);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);
