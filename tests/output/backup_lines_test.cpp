#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/system_error.h"
#include "output/backup_lines.h"
#include "upload_test_support.h"

namespace {

using Lines = std::vector<std::string>;

// Feeds `input` in chunks cut at `cuts` and collects every record, the rest included.
Lines Split(const std::string& input, const std::vector<size_t>& cuts) {
    CrLfRecordSplitter splitter;
    Lines records;
    std::string_view record;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(input.size());
    for (const size_t end : ends) {
        splitter.Append(std::string_view(input).substr(from, end - from));
        from = end;
        while (splitter.Next(record)) {
            records.emplace_back(record);
        }
    }
    if (splitter.TakeRest(record)) {
        records.emplace_back(record);
    }
    return records;
}

TEST(CrLfRecordSplitter, RecordsEndAtCrLfWhereverTheChunksAreCut) {
    struct Case {
        std::string input;
        Lines records;
    };
    const Case cases[] = {
        {"", {}},
        {"\r\n", {""}},
        {"\r\n\r\n", {"", ""}},
        {"a\rb\r\nc\nd\r\ne", {"a\rb", "c\nd", "e"}},  // a CR or LF alone belongs to the record
        {"x\r", {"x\r"}},
        {"\r\r\n\n", {"\r", "\n"}},
        {"\x83\x0d\r\n", {"\x83\x0d"}},  // bytes are bytes: no character rule here
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        EXPECT_EQ(Split(c.input, {}), c.records);
        for (size_t cut = 0; cut <= c.input.size(); ++cut) {
            EXPECT_EQ(Split(c.input, {cut}), c.records) << "cut at " << cut;
        }
        std::vector<size_t> everyByte;
        for (size_t cut = 1; cut < c.input.size(); ++cut) {
            everyByte.push_back(cut);
        }
        EXPECT_EQ(Split(c.input, everyByte), c.records);
    }
}

TEST(BackupLines, TellsTheEndFromAFailure) {
    TempFolder dir;
    BackupLines backup;
    std::string line;
    EXPECT_FALSE(backup.Open(dir / "missing.txt"));
    EXPECT_EQ(backup.ErrorNumber(), ENOENT);
    EXPECT_FALSE(backup.Open(dir.Path()));  // only a regular file is read
    EXPECT_EQ(backup.ErrorNumber(), kNotRegularFile);
    EXPECT_FALSE(backup.Next(line));

    WriteBytes(dir / "Back.txt", "a\r\n");
    ASSERT_TRUE(backup.Open(dir / "Back.txt"));
    EXPECT_TRUE(backup.Next(line));
    EXPECT_EQ(line, "a");
    EXPECT_FALSE(backup.Next(line));
    EXPECT_FALSE(backup.Failed());
}

}  // namespace
