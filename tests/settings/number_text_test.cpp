#include "settings/number_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

namespace {

constexpr int64_t kNoFit = INT64_MIN;  // marks a row whose number does not fit the range

struct IntegerRow {
    const char* Text;
    int64_t Expected;
};

TEST(LeadingInteger, ReadsTheLeadingNumberAndRoundsTiesToEven) {
    const IntegerRow rows[] = {
        {"2.5", 2},    {"3.5", 4},     {"-2.5", -2},
        {"-3.5", -4},  {"2.51", 3},    {"2.5000000001", 3},
        {"2.49", 2},   {"0.5", 0},     {"1.5", 2},
        {".5", 0},     {".51", 1},     {"-.5", 0},
        {"7.", 7},     {" \t 42", 42}, {"+5", 5},
        {"12abc", 12}, {"abc", 0},     {"", 0},
        {"-", 0},      {".", 0},       {"1e3", 1},
        {"0x10", 0},   {"1 2", 1},     {"- 1", 0},
        {"-0", 0},     {"007", 7},     {"0000000000000000000000000001", 1},
    };
    for (const IntegerRow& row : rows) {
        EXPECT_EQ(LeadingInteger(row.Text, INT16_MIN, INT16_MAX), row.Expected) << '"' << row.Text << '"';
    }
}

TEST(LeadingInteger, RejectsNumbersOutsideTheTypeAfterRounding) {
    const IntegerRow rows16[] = {
        {"32767", 32767},   {"32767.4", 32767}, {"32767.5", kNoFit},
        {"32766.5", 32766}, {"-32768", -32768}, {"-32768.5", -32768},
        {"-32769", kNoFit}, {"70000", kNoFit},  {"99999999999999999999999", kNoFit},
    };
    for (const IntegerRow& row : rows16) {
        const auto got = LeadingInteger(row.Text, INT16_MIN, INT16_MAX);
        EXPECT_EQ(got, row.Expected == kNoFit ? std::nullopt : std::optional<int64_t>(row.Expected))
            << '"' << row.Text << '"';
    }
    EXPECT_EQ(LeadingInteger("2147483647", INT32_MIN, INT32_MAX), 2147483647);
    EXPECT_EQ(LeadingInteger("2147483647.5", INT32_MIN, INT32_MAX), std::nullopt);
    EXPECT_EQ(LeadingInteger("-2147483648", INT32_MIN, INT32_MAX), INT32_MIN);
    EXPECT_EQ(LeadingInteger("3000000000", INT32_MIN, INT32_MAX), std::nullopt);
}

TEST(LeadingNumberText, KeepsTheShortestDecimalForm) {
    const std::string manyNines(400, '9');
    const std::string tiny = "0." + std::string(400, '0') + "1";
    const struct {
        std::string Text;
        std::optional<std::string> Expected;
    } rows[] = {
        {"1", "1"},
        {"1.0", "1"},
        {"0.5", "0.5"},
        {" 0.50x", "0.5"},
        {"1.2", "1.2"},
        {"0.1", "0.1"},
        {"abc", "0"},
        {"", "0"},
        {"-0", "0"},
        {"-0.25", "-0.25"},
        {"007.50", "7.5"},
        {"1e3", "1"},
        {"0.0001", "0.0001"},  // no exponent form: "1e-04" would read back as 1
        {"0.00000125", "0.00000125"},
        {"100000000000000000000", "100000000000000000000"},
        {manyNines, std::nullopt},
        {tiny, "0"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(LeadingNumberText(row.Text), row.Expected) << '"' << row.Text.substr(0, 20) << '"';
    }
}

TEST(NumberTextValue, AcceptsOnlyAWholeNumber) {
    EXPECT_EQ(NumberTextValue("0.5"), 0.5);
    EXPECT_EQ(NumberTextValue("1e+20"), 1e20);  // a form LeadingNumberText makes for large values
    EXPECT_EQ(NumberTextValue("1"), 1.0);
    EXPECT_EQ(NumberTextValue(""), std::nullopt);
    EXPECT_EQ(NumberTextValue("1x"), std::nullopt);
    EXPECT_EQ(NumberTextValue("inf"), std::nullopt);
}

}  // namespace
