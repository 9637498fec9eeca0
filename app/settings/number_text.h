#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Numbers as they stand in the settings file.
//
// A value is read by its leading number: blanks (space, tab) are skipped, then an optional sign, digits
// and an optional fraction ("2.5", "-.5", "7."). Whatever follows is ignored ("12abc" is 12, "1e3" is 1:
// exponents and hexadecimal prefixes are not number forms here), and a text that does not start with a
// number reads as 0.

// Rounds the leading number of `text` to the nearest integer, a tie going to the even neighbour, and
// returns it when it lies in [min, max]; nullopt when it does not fit (the caller's read error). The
// rounding is done on the decimal digits themselves, so long fractions round exactly.
std::optional<int64_t> LeadingInteger(std::string_view text, int64_t min, int64_t max);

// The leading number of `text` in its shortest plain decimal text form ("1", "0.5", "0.0001": never an
// exponent, so that the text reads back as the same number); nullopt when it is too large for a double
// (the caller's read error). A magnitude too small for a double reads as "0".
std::optional<std::string> LeadingNumberText(std::string_view text);

// The value of a text made by LeadingNumberText (or any plain or scientific decimal); nullopt when the
// text is not such a number from its first to its last character.
std::optional<double> NumberTextValue(std::string_view text);
