#include "settings/number_text.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace {

struct LeadingNumber {
    bool Negative = false;
    std::string_view Whole;     // integer digits without leading zeros (empty for zero)
    std::string_view Fraction;  // digits after the point
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

LeadingNumber ParseLeadingNumber(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    LeadingNumber number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        number.Negative = text[i] == '-';
        ++i;
    }
    const size_t wholeStart = i;
    while (i < text.size() && IsDigit(text[i])) {
        ++i;
    }
    std::string_view whole = text.substr(wholeStart, i - wholeStart);
    std::string_view fraction;
    if (i < text.size() && text[i] == '.') {
        const size_t fractionStart = ++i;
        while (i < text.size() && IsDigit(text[i])) {
            ++i;
        }
        fraction = text.substr(fractionStart, i - fractionStart);
    }
    if (whole.empty() && fraction.empty()) {
        return {};  // no digits at all: the text reads as 0
    }
    while (!whole.empty() && whole.front() == '0') {
        whole.remove_prefix(1);
    }
    number.Whole = whole;
    number.Fraction = fraction;
    return number;
}

}  // namespace

std::optional<int64_t> LeadingInteger(std::string_view text, int64_t min, int64_t max) {
    const LeadingNumber number = ParseLeadingNumber(text);
    // Eighteen digits always fit an int64; anything longer is far outside every range we are asked for.
    if (number.Whole.size() > 18) {
        return std::nullopt;
    }
    int64_t magnitude = 0;
    for (const char digit : number.Whole) {
        magnitude = magnitude * 10 + (digit - '0');
    }
    if (!number.Fraction.empty()) {
        const char first = number.Fraction.front();
        bool roundUp = first > '5';
        if (first == '5') {
            const bool beyondHalf = number.Fraction.find_first_not_of('0', 1) != std::string_view::npos;
            roundUp = beyondHalf || (magnitude % 2 != 0);
        }
        if (roundUp) {
            ++magnitude;
        }
    }
    const int64_t value = number.Negative ? -magnitude : magnitude;
    if (value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> LeadingNumberText(std::string_view text) {
    const LeadingNumber number = ParseLeadingNumber(text);
    std::string digits(number.Whole.empty() ? "0" : number.Whole);
    if (!number.Fraction.empty()) {
        digits += '.';
        digits += number.Fraction;
    }
    double value = 0.0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        if (!number.Whole.empty()) {
            return std::nullopt;  // too large for a double
        }
        value = 0.0;  // below the smallest double: zero
    } else if (error != std::errc()) {
        return std::nullopt;
    }
    if (number.Negative && value != 0.0) {
        value = -value;
    }
    // Plain decimal, never an exponent: the text goes back into the file and is read again by its
    // leading number, which would take "1e-04" for 1. The longest such text of a double is about 330
    // characters.
    char buffer[512];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (written.ec != std::errc()) {
        return std::nullopt;
    }
    return std::string(buffer, written.ptr);
}

std::optional<double> NumberTextValue(std::string_view text) {
    double value = 0.0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;  // from_chars takes no plus sign
    }
    const auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error != std::errc() || end != last || text.empty() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}
