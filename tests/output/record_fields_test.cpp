#include "output/record_fields.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The selection of the given field numbers (1..20).
FieldSelection Flags(const std::vector<int>& on) {
    FieldSelection flags{};
    for (const int field : on) {
        flags[field - 1] = 1;
    }
    return flags;
}

FieldSelection AllFlags() {
    FieldSelection flags{};
    flags.fill(1);
    return flags;
}

std::string TextLine(const std::string& record, const FieldSelection& flags) {
    return BuildTextLine(SelectFields(SplitRecord(record), flags));
}

TEST(RecordFields, SplitIntoExactlyTwentyFields) {
    const RecordFields three = SplitRecord("a,,c");
    EXPECT_EQ(three[1], "a");
    EXPECT_EQ(three[2], "");
    EXPECT_EQ(three[3], "c");
    for (int k = 4; k <= 20; ++k) {
        EXPECT_EQ(three[k], "") << k;
    }

    std::string many;
    for (int k = 1; k <= 25; ++k) {
        many += (k > 1 ? "," : "") + std::to_string(k);
    }
    const RecordFields cut = SplitRecord(many);
    EXPECT_EQ(cut[1], "1");
    EXPECT_EQ(cut[20], "20");  // everything after the 20th "," is dropped

    // No quoting, no trimming; a trailing "," leaves an empty field.
    const RecordFields quoted = SplitRecord(R"( "x,y" ,z,)");
    EXPECT_EQ(quoted[1], R"( "x)");
    EXPECT_EQ(quoted[2], R"(y" )");
    EXPECT_EQ(quoted[3], "z");
    EXPECT_EQ(quoted[4], "");

    // A "," is one byte of CP932 and never a trail byte, so double-byte text splits only at real commas.
    const RecordFields kanji = SplitRecord("\x8A\xBF\x8E\x9A,\x83\x65");
    EXPECT_EQ(kanji[1], "\x8A\xBF\x8E\x9A");
    EXPECT_EQ(kanji[2], "\x83\x65");
}

TEST(RecordFields, TextLineFromSelection) {
    struct Row {
        const char* name;
        std::string record;
        FieldSelection flags;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"all flags, three fields", "a,b,c", AllFlags(), "a,b,c"},
        {"field 1 dropped", "a,b,c",
         Flags({2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}), "b,c"},
        {"empty second field cuts the line", "a,,c", AllFlags(), "a"},
        {"empty first field is written", ",b", AllFlags(), ",b"},
        {"no flags", "a,b,c", Flags({}), ""},
        {"selection packs to the front", "a,b,c,d,e", Flags({2, 4, 5}), "b,d,e"},
        {"selected empty field cuts", "a,b,,d", Flags({1, 3, 4}), "a"},
        {"unselected empty field does not cut", "a,,c", Flags({1, 3}), "a,c"},
        {"twenty-five fields", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25",
         AllFlags(), "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20"},
        {"quoted comma splits", R"("x,y",z)", AllFlags(), R"("x,y",z)"},
        {"quoted comma moves later fields", R"(1,"x,y",z)", Flags({1, 3}), R"(1,y")"},
        {"empty record", "", AllFlags(), ""},
        {"only the last field", "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20", Flags({20}), "20"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(TextLine(row.record, row.flags), row.line) << row.name;
    }
}

TEST(RecordFields, FlagsOtherThanOneDoNotSelect) {
    FieldSelection flags = AllFlags();
    flags[0] = 2;
    flags[1] = -1;
    EXPECT_EQ(TextLine("a,b,c", flags), "c");
}

}  // namespace
