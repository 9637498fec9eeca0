#include "codec/frame_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

// The test's own checksum, written apart from the production one: the byte sum modulo 256 as two
// upper-case hexadecimal digits.
std::string Sum(std::string_view text) {
    unsigned total = 0;
    for (const unsigned char byte : text) {
        total += byte;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", total % 256);
    return digits;
}

// ---- FrameChecksum ----------------------------------------------------------------------------------

struct ChecksumCase {
    const char* name;
    std::string text;
    const char* expected;
};

TEST(FrameChecksum, WorkedValues) {
    const ChecksumCase cases[] = {
        {"abc", "abc", "26"},
        {"crc_type_0_covers_start_to_separator", "^0A,1*", "56"},
        {"crc_type_1_covers_payload_and_separator", "A,1*", "C8"},
        {"two_byte_character_adds_both_bytes", "\x82\xA0", "22"},
        {"separator_alone", "*", "2A"},
        {"empty_text", "", "00"},
        {"sum_below_16_has_leading_zero", std::string("\x05\x05", 2), "0A"},
        {"wraps_modulo_256", "\xFF\x01", "00"},
        {"enquiry_answer_of_the_example", "^#T01@2*", "D2"},
        {"half_width_katakana", "\xB1", "B1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FrameChecksum(c.text), c.expected) << c.name;
    }
}

// ---- The CP932 walk ----------------------------------------------------------------------------------

TEST(Cp932Walk, CharacterBoundaries) {
    const struct {
        const char* name;
        std::string text;
        std::vector<size_t> starts;
    } cases[] = {
        {"ascii", "AB", {0, 1}},
        {"katakana_is_one_byte", "\xB1\xDF", {0, 1}},
        {"both_lead_ranges", "\x81\x40\x9F\xFC\xE0\x40\xFC\x4B", {0, 2, 4, 6}},
        {"bytes_next_to_lead_ranges_stand_alone", "\x80\xA0\xDF\xFD", {0, 1, 2, 3}},
        // Counting never checks the trail byte: a lead byte takes whatever follows, even a CR.
        {"lead_takes_any_next_byte",
         "\x81\r\x82"
         "1A",
         {0, 2, 4}},
        {"lead_at_the_end_stands_alone", "A\x82", {0, 1}},
    };
    for (const auto& c : cases) {
        std::vector<size_t> starts;
        for (size_t at = 0; at < c.text.size(); at = NextCp932Char(c.text, at)) {
            starts.push_back(at);
        }
        EXPECT_EQ(starts, c.starts) << c.name;
    }
}

// ---- CheckFrame -------------------------------------------------------------------------------------

struct FrameCase {
    const char* name;
    std::string line;
    char type;
    int16_t coverage;  // a ChecksumCoverage, or any other stored number
    FrameCheck expected;
};

TEST(CheckFrame, Results) {
    const FrameCase cases[] = {
        {"worked_example_type_0", "^0A,1*56", '0', 0, FrameCheck::Ok},
        {"worked_example_type_1", "^0A,1*C8", '0', 1, FrameCheck::Ok},
        {"type_0_digits_under_type_1", "^0A,1*56", '0', 1, FrameCheck::ChecksumError},
        {"any_nonzero_crc_type_is_type_2", "^0A,1*C8", '0', 7, FrameCheck::Ok},
        {"enquiry_answer", "^#T01@2*D2", '#', 0, FrameCheck::Ok},
        {"empty_payload_type_1", "^0*2A", '0', 1, FrameCheck::Ok},
        {"empty_payload_type_0", "^0*" + Sum("^0*"), '0', 0, FrameCheck::Ok},
        {"empty_line", "", '0', 0, FrameCheck::FormatError},
        {"one_character", "^", '0', 0, FrameCheck::FormatError},
        {"two_characters", "^0", '0', 0, FrameCheck::FormatError},
        {"three_characters", "^0*", '0', 0, FrameCheck::FormatError},
        {"wrong_start_even_with_matching_sum", "#0A,1*" + Sum("#0A,1*"), '0', 0, FrameCheck::FormatError},
        {"wrong_type", "^1A,1*" + Sum("^1A,1*"), '0', 0, FrameCheck::FormatError},
        {"type_is_case_sensitive", "^aX*" + Sum("^aX*"), 'A', 0, FrameCheck::FormatError},
        {"separator_missing", "^0A,1-56", '0', 0, FrameCheck::FormatError},
        {"lower_case_digits", "^0A,1*c8", '0', 1, FrameCheck::ChecksumError},
        {"wrong_digits", "^0A,1*57", '0', 0, FrameCheck::ChecksumError},
        {"single_digit_checksum", "^0\x05\x05*" + std::string("A"), '0', 1, FrameCheck::FormatError},
        {"star_and_caret_inside_payload", "^0a*^b*" + Sum("^0a*^b*"), '0', 0, FrameCheck::Ok},
        {"double_byte_payload", "^0\x82\xA0*" + Sum("^0\x82\xA0*"), '0', 0, FrameCheck::Ok},
        {"double_byte_payload_type_1", "^0\x82\xA0*" + Sum("\x82\xA0*"), '0', 1, FrameCheck::Ok},
        // 0x83 0x2A is one character: its trail byte is not a separator.
        {"trail_byte_looks_like_separator", "^0\x83*" + Sum("^0\x83*"), '0', 0, FrameCheck::FormatError},
        // 0x81 0x5E is one character whose trail byte looks like "^"; the frame itself is fine.
        {"trail_byte_looks_like_start", "^0\x81^*" + Sum("^0\x81^*"), '0', 0, FrameCheck::Ok},
        // The checksum must be two one-byte characters; a two-byte character there never matches.
        {"double_byte_in_checksum_position", "^0A*\x82\xA0X", '0', 0, FrameCheck::ChecksumError},
        {"two_lines_in_one_read", "^0A,1*56\r^1B,2*59", '0', 0, FrameCheck::ChecksumError},
        {"lone_lead_byte_at_end", "^0A*5\x82", '0', 0, FrameCheck::ChecksumError},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CheckFrame(c.line, c.type, static_cast<ChecksumCoverage>(c.coverage)), c.expected)
            << c.name;
    }
}

// ---- SendLine / ReceiveLine over a scripted link ------------------------------------------------------

// The scripted link: each read hands out the next scripted result; writes are recorded.
struct ScriptedRead {
    std::string bytes;  // what the library places in the buffer (NUL added by the fake)
    int32_t result;     // what vbReadIrCom returns
};
std::deque<ScriptedRead> scriptedReads;
std::vector<std::string> writes;

int32_t FakeWrite(const char* text) {
    writes.emplace_back(text);
    return 1;
}

int32_t FakeRead(char* buffer) {
    if (scriptedReads.empty()) {
        return -1;
    }
    const ScriptedRead next = scriptedReads.front();
    scriptedReads.pop_front();
    // Never more than the library's contract allows: 256 bytes with the NUL.
    const size_t length = std::min<size_t>(next.bytes.size(), 255);
    std::memcpy(buffer, next.bytes.data(), length);
    buffer[length] = '\0';
    return next.result;
}

class ScriptedLink : public ::testing::Test {
protected:
    void SetUp() override {
        scriptedReads.clear();
        writes.clear();
        link.WriteIrCom = FakeWrite;
        link.vbReadIrCom = FakeRead;
    }
    LinkApi link;
};

TEST_F(ScriptedLink, SendLineAppendsCr) {
    SendLine(link, "VOL");
    SendLine(link, "\x82\xA0");
    SendLine(link, "");
    EXPECT_EQ(writes, (std::vector<std::string>{"VOL\r", "\x82\xA0\r", "\r"}));
}

TEST_F(ScriptedLink, ReceiveLineResults) {
    const struct {
        const char* name;
        ScriptedRead read;
        std::string expected;
    } cases[] = {
        {"plain_line", {"ACK\r", 4}, "ACK"},
        {"empty_line", {"\r", 1}, ""},
        {"time_out", {"", -1}, ""},
        {"zero_count", {"", 0}, ""},
        {"double_byte_text", {"^0\x82\xA0*12\r", 8}, "^0\x82\xA0*12"},
        {"two_lines_in_one_read", {"OK\rEND\r", 7}, "OK\rEND"},
        {"lead_byte_before_cr_keeps_only_itself", {"A\x82\r", 3}, "A\x82"},
        {"longest_line_that_fits", {std::string(254, 'x') + "\r", 255}, std::string(254, 'x')},
        {"count_beyond_the_buffer", {std::string(254, 'x') + "\r", 256}, ""},
        {"absurd_count", {"ACK\r", 100000}, ""},
        {"negative_count", {"ACK\r", -7}, ""},
    };
    for (const auto& c : cases) {
        scriptedReads = {c.read};
        EXPECT_EQ(ReceiveLine(link), c.expected) << c.name;
    }
}

TEST_F(ScriptedLink, TwoRecordUploadFromT01) {
    // The terminal's side of a two-record upload, checked the way the upload run checks it.
    scriptedReads = {{"^#T01@2*D2\r", 11}, {"^0A,1*56\r", 9}, {"^1B,2*59\r", 9}, {"END\r", 4}};
    SendLine(link, "VOL");
    EXPECT_EQ(CheckFrame(ReceiveLine(link), '#', ChecksumCoverage::WholeFrame), FrameCheck::Ok);
    SendLine(link, "ACK");
    EXPECT_EQ(CheckFrame(ReceiveLine(link), '0', ChecksumCoverage::WholeFrame), FrameCheck::Ok);
    SendLine(link, "ACK");
    EXPECT_EQ(CheckFrame(ReceiveLine(link), '1', ChecksumCoverage::WholeFrame), FrameCheck::Ok);
    SendLine(link, "ACK");
    EXPECT_EQ(ReceiveLine(link), "END");
    SendLine(link, "ACK");
    EXPECT_EQ(writes, (std::vector<std::string>{"VOL\r", "ACK\r", "ACK\r", "ACK\r", "ACK\r"}));
}

TEST(UnboundLink, OperationsWithoutEntryPointsDoNothing) {
    const LinkApi empty;
    EXPECT_FALSE(SendLine(empty, "VOL"));
    EXPECT_EQ(ReceiveLine(empty), "");
}

}  // namespace
