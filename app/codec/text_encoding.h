#pragma once

#include <string>
#include <string_view>

// Conversions between the terminal's CP932 bytes and UTF-8. Used only where a consumer needs Unicode
// (windows, workbook cells, database values, mail headers, file names, the settings file); stored records
// stay CP932. Each thread keeps one converter per direction and reuses it; a whole text is converted in
// one call of the converter.

// CP932 → UTF-8. Nothing valid is dropped: a byte that cannot start a character, a lead byte whose next
// byte cannot be a trail byte, and a well-formed but unassigned code each become U+FFFD. After a lone lead
// byte, and after an unassigned code whose trail byte is ASCII, that next byte is decoded on its own.
// `converted`, when given, is false when no converter could be opened: the result then keeps only the
// ASCII bytes and has U+FFFD for every other character, so raw CP932 never passes for UTF-8.
std::string Cp932ToUtf8(std::string_view cp932, bool* converted = nullptr);

// UTF-8 → CP932. A character without a CP932 form (or invalid UTF-8) becomes "?"; `lossless`, when
// given, tells whether every character converted. Without a converter only ASCII converts, and
// `lossless` is false as soon as anything else was replaced.
std::string Utf8ToCp932(std::string_view utf8, bool* lossless = nullptr);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// True when this thread's converters in both directions can be opened. A writer asks once before it
// stores anything, so a missing converter fails the store instead of filling it with U+FFFD and "?".
bool Cp932ConvertersAvailable();

// Text of that failure for the operator, after a writer's own failure head.
inline constexpr const char* kNoCp932ConverterText = "文字ｺｰﾄﾞ変換(CP932)が使えません";

// Length in bytes of `utf8` once converted to CP932 ("?" for a character without a CP932 form).
size_t Cp932Length(std::string_view utf8);

// Test seam: the character set name the converters open instead of "CP932" (an unknown name makes them
// fail to open). Empty restores "CP932". Affects every thread from its next conversion.
void SetCp932CharsetForTesting(std::string_view name);
