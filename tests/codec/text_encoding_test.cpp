#include "codec/text_encoding.h"
#include "common/visible_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string Code(int code) {
    return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

std::string Hex(std::string_view bytes) {
    std::string out;
    for (const unsigned char b : bytes) {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02X ", b);
        out += digits;
    }
    return out;
}

// Every two-byte code: lead 0x81–0x9F or 0xE0–0xFC, trail 0x40–0x7E or 0x80–0xFC.
std::vector<int> AllDoubleByteCodes() {
    std::vector<int> codes;
    for (int lead = 0x81; lead <= 0xFC; ++lead) {
        if (lead > 0x9F && lead < 0xE0) {
            continue;
        }
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail != 0x7F) {
                codes.push_back(lead << 8 | trail);
            }
        }
    }
    return codes;
}

// Codes that hold no character.
const std::pair<int, int> kUnassigned[] = {
    {0x81AD, 0x81B7}, {0x81C0, 0x81C7}, {0x81CF, 0x81D9}, {0x81E9, 0x81EF}, {0x81F8, 0x81FB},
    {0x8240, 0x824E}, {0x8259, 0x825F}, {0x827A, 0x8280}, {0x829B, 0x829E}, {0x82F2, 0x82FC},
    {0x8397, 0x839E}, {0x83B7, 0x83BE}, {0x83D7, 0x83FC}, {0x8461, 0x846F}, {0x8492, 0x849E},
    {0x84BF, 0x86FC}, {0x875E, 0x875E}, {0x8776, 0x877D}, {0x879D, 0x889E}, {0x9873, 0x989E},
    {0xEAA5, 0xECFC}, {0xEEED, 0xEEEE}, {0xEF40, 0xEFFC}, {0xFC4C, 0xFCFC},
};

// Characters with two codes: the first code of each run decodes to the same character as the canonical
// code, and encoding gives the canonical one back. Runs step through valid codes in order.
struct DuplicateRun {
    int first, last, canonicalFirst;
};
const DuplicateRun kDuplicates[] = {
    // NEC row 13 symbols that JIS row 2 has too.
    {0x8790, 0x8790, 0x81E0},
    {0x8791, 0x8791, 0x81DF},
    {0x8792, 0x8792, 0x81E7},
    {0x8795, 0x8795, 0x81E3},
    {0x8796, 0x8796, 0x81DB},
    {0x8797, 0x8797, 0x81DA},
    {0x879A, 0x879A, 0x81E6},
    {0x879B, 0x879B, 0x81BF},
    {0x879C, 0x879C, 0x81BE},
    // NEC-selected IBM extensions (rows 89–92) duplicate the IBM extensions (rows 115–119).
    {0xED40, 0xEEEC, 0xFA5C},
    {0xEEEF, 0xEEF8, 0xFA40},
    {0xEEF9, 0xEEF9, 0x81CA},
    {0xEEFA, 0xEEFC, 0xFA55},
    // IBM extensions that NEC row 13 or JIS row 2 has.
    {0xFA4A, 0xFA53, 0x8754},
    {0xFA54, 0xFA54, 0x81CA},
    {0xFA58, 0xFA58, 0x878A},
    {0xFA59, 0xFA59, 0x8782},
    {0xFA5A, 0xFA5A, 0x8784},
    {0xFA5B, 0xFA5B, 0x81E6},
};

TEST(Cp932Decoding, WholeDoubleByteCodeSpace) {
    const std::vector<int> codes = AllDoubleByteCodes();
    const auto indexOf = [&](int code) {
        return static_cast<size_t>(std::lower_bound(codes.begin(), codes.end(), code) - codes.begin());
    };
    std::map<int, int> canonical;
    for (const DuplicateRun& run : kDuplicates) {
        for (size_t i = indexOf(run.first), j = indexOf(run.canonicalFirst); i <= indexOf(run.last);
             ++i, ++j) {
            canonical[codes[i]] = codes[j];
        }
    }
    const auto unassigned = [](int code) {
        for (const auto& [first, last] : kUnassigned) {
            if (code >= first && code <= last) {
                return true;
            }
        }
        return false;
    };

    int roundTrips = 0;
    for (const int code : codes) {
        const std::string bytes = Code(code);
        const std::string text = Cp932ToUtf8(bytes + "A");
        if (unassigned(code)) {
            // One U+FFFD; an ASCII trail byte is decoded on its own, and the byte after survives.
            const auto trail = static_cast<unsigned char>(code & 0xFF);
            const std::string expected =
                kFffd + (trail < 0x80 ? std::string(1, static_cast<char>(trail)) : "") + "A";
            EXPECT_EQ(text, expected) << Hex(bytes);
            continue;
        }
        ASSERT_TRUE(text.size() > 1 && text.back() == 'A') << Hex(bytes);
        const std::string character = text.substr(0, text.size() - 1);
        EXPECT_NE(character, kFffd) << Hex(bytes);
        bool lossless = false;
        const std::string back = Utf8ToCp932(character, &lossless);
        EXPECT_TRUE(lossless) << Hex(bytes);
        const auto it = canonical.find(code);
        EXPECT_EQ(Hex(back), Hex(Code(it == canonical.end() ? code : it->second))) << Hex(bytes);
        if (it != canonical.end()) {
            EXPECT_EQ(Cp932ToUtf8(Code(it->second)), character) << Hex(bytes);
        } else {
            ++roundTrips;
        }
    }
    // Guards the lists above: 7,915 JIS X 0208 characters, NEC row 13, the IBM extensions and the
    // 1,880 user-defined codes, less the duplicates.
    EXPECT_EQ(roundTrips, 9206);
}

TEST(Cp932Decoding, SingleBytes) {
    for (int byte = 0; byte < 0x80; ++byte) {
        const std::string one(1, static_cast<char>(byte));
        EXPECT_EQ(Cp932ToUtf8(one), one) << byte;
    }
    // Half-width katakana 0xA1–0xDF are U+FF61–U+FF9F.
    for (int byte = 0xA1; byte <= 0xDF; ++byte) {
        const int cp = 0xFF61 + (byte - 0xA1);
        const std::string utf8{static_cast<char>(0xE0 | cp >> 12),
                               static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                               static_cast<char>(0x80 | (cp & 0x3F))};
        EXPECT_EQ(Cp932ToUtf8(std::string(1, static_cast<char>(byte))), utf8) << byte;
        EXPECT_EQ(Utf8ToCp932(utf8), std::string(1, static_cast<char>(byte))) << byte;
    }
    for (const int byte : {0x80, 0xA0, 0xFD, 0xFE, 0xFF}) {
        EXPECT_EQ(Cp932ToUtf8(std::string(1, static_cast<char>(byte)) + "1"), kFffd + "1") << byte;
    }
}

TEST(Cp932Decoding, NoValidByteIsDropped) {
    const struct {
        const char* name;
        std::string cp932;
        std::string utf8;
    } cases[] = {
        {"lead_then_digit",
         "\x81"
         "1",
         kFffd + "1"},
        {"lead_then_cr", "\x81\rA", kFffd + "\rA"},
        {"lead_then_del", "\x81\x7F", kFffd + "\x7F"},
        {"lead_then_nul", std::string("\x81\0B", 3), kFffd + std::string("\0B", 2)},
        {"lead_at_the_end", "A\x82", "A" + kFffd},
        {"lead_then_katakana_lead_byte_range",
         "\x81\xFD"
         "B",
         kFffd + kFffd + "B"},
        {"lead_then_valid_character", "\x81\x0D\x82\xA0", kFffd + "\r\xE3\x81\x82"},
        {"unassigned_with_ascii_trail", "\x85\x41", kFffd + "A"},
        {"unassigned_with_high_trail",
         "\x85\x81"
         "A",
         kFffd + "A"},
        {"between_valid_characters",
         "\x82\xA0\x81"
         "1\x82\xA2",
         "\xE3\x81\x82" + kFffd + "1\xE3\x81\x84"},
        {"long_text_in_one_piece", std::string(5000, 'x') + "\x82\xA0",
         std::string(5000, 'x') + "\xE3\x81\x82"},
    };
    for (const auto& c : cases) {
        bool converted = false;
        EXPECT_EQ(Hex(Cp932ToUtf8(c.cp932, &converted)), Hex(c.utf8)) << c.name;
        EXPECT_TRUE(converted) << c.name;
    }
}

// Outside text on a screen: the rule works on code points after conversion, so Japanese text whose UTF-8
// or CP932 bytes lie in 0x80 to 0x9F passes unchanged, while C0, DEL and C1 controls become "\x" codes.
TEST(VisibleText, ControlCharactersAfterConversion) {
    const struct {
        const char* name;
        std::string text;  // UTF-8; through CP932 and back as well when `cp932`
        bool cp932;
        std::string shown;
    } cases[] = {
        {"status text", "ｵｰﾌﾟﾝ成功", true, "ｵｰﾌﾟﾝ成功"},
        {"half-width katakana record", "ｱｲｳ,ﾃﾞｰﾀﾟ,ﾊﾞｰｺｰﾄﾞ\t9", true, "ｱｲｳ,ﾃﾞｰﾀﾟ,ﾊﾞｰｺｰﾄﾞ\t9"},
        {"terminal title sequence", "\x1b]0;owned\x07x", true, "\\x1b]0;owned\\x07x"},
        {"C0 and DEL", std::string("a\0\r\n\x7f", 5), true, "a\\x00\\x0d\\x0a\\x7f"},
        {"C1 control",
         "\xC2\x9B"
         "2J",
         false, "\\x9b2J"},
        {"not UTF-8", "\xFF\xE3\x81", false, kFffd + kFffd + kFffd},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(VisibleText(c.text), c.shown) << c.name;
        if (c.cp932) {
            EXPECT_EQ(VisibleText(Cp932ToUtf8(Utf8ToCp932(c.text))), c.shown) << c.name;
        }
    }
    EXPECT_EQ(VisibleLines("ｴﾗｰ\r\n\x1b[2J\r\n"), "ｴﾗｰ\r\n\\x1b[2J\r\n");
}

TEST(Cp932Encoding, ReplacementsAreReported) {
    const struct {
        const char* name;
        std::string utf8;
        std::string cp932;
        bool lossless;
    } cases[] = {
        {"ascii", "VOL", "VOL", true},
        {"hiragana_and_katakana", "\xE3\x81\x82\xEF\xBD\xB1", "\x82\xA0\xB1", true},
        {"no_cp932_form",
         "a\xC3\xA9"
         "b",
         "a?b", false},  // e with acute accent
        {"replacement_character", kFffd, "?", false},
        {"invalid_utf8",
         "a\xFF"
         "b",
         "a?b", false},
        {"truncated_sequence_at_the_end", "a\xE3\x81", "a?", false},
        {"outside_the_bmp",
         "\xF0\x9F\x98\x80"
         "z",
         "?z", false},
    };
    for (const auto& c : cases) {
        bool lossless = !c.lossless;
        EXPECT_EQ(Hex(Utf8ToCp932(c.utf8, &lossless)), Hex(c.cp932)) << c.name;
        EXPECT_EQ(lossless, c.lossless) << c.name;
    }
    EXPECT_EQ(Cp932Length("\xE3\x81\x82"
                          "A\xEF\xBD\xB1"),
              4u);
}

TEST(Cp932Converters, ConverterThatCannotOpenIsReported) {
    SetCp932CharsetForTesting("NO-SUCH-CHARSET-FOR-GATHRA");
    bool converted = true;
    const std::string decoded = Cp932ToUtf8(
        "A\x82\xA0"
        "B\xB1",
        &converted);
    bool lossless = true;
    const std::string encoded = Utf8ToCp932("A\xE3\x81\x82", &lossless);
    bool asciiLossless = false;
    const std::string ascii = Utf8ToCp932("plain", &asciiLossless);
    SetCp932CharsetForTesting("");

    EXPECT_FALSE(converted);
    EXPECT_EQ(decoded, "A" + kFffd + "B" + kFffd) << "raw CP932 must never pass for UTF-8";
    EXPECT_FALSE(lossless);
    EXPECT_EQ(encoded, "A?");
    EXPECT_TRUE(asciiLossless);
    EXPECT_EQ(ascii, "plain");

    // The converters open again once the name is back.
    EXPECT_EQ(Cp932ToUtf8("\x82\xA0", &converted), "\xE3\x81\x82");
    EXPECT_TRUE(converted);
}

TEST(Cp932Converters, EachThreadConvertsOnItsOwn) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 2000; ++i) {
                if (Cp932ToUtf8("\x82\xA0\x81"
                                "1") != "\xE3\x81\x82" + kFffd + "1" ||
                    Utf8ToCp932("\xE3\x81\x82\xC3\xA9") != "\x82\xA0?") {
                    ++failures[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
