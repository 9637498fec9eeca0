#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <optional>
#include <string>

#include "output/csv/utf8_csv_store.h"
#include "output/text/text_store.h"
#include "support/recording_operator_view.h"
#include "upload_test_support.h"

namespace {

class SaveAsTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings.BackFilePath = dir / "Back.txt";
        settings.OverWrite = 1;
        settings.SelectedFields.fill(1);
        run.OutputPath = dir / "T01.txt";
    }
    bool Save() { return TextStore().Save(settings, run, view); }
    std::string Output() const { return ReadBytes(run.OutputPath); }

    TempFolder dir;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
};

TEST_F(SaveAsTextTest, ConvertsEveryRecordWithCrLfAndCutsLinesAtCrLfOnly) {
    settings.SelectedFields[1] = 0;
    WriteBytes(settings.BackFilePath, CrLfLines({"a,b,c", "\x83\x65,x,y", "", "d,,e"}));
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), CrLfLines({"a,c", "\x83\x65,y", "", "d,e"}));
    EXPECT_FALSE(view.Busy);
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_TRUE(view.StatusCalls.empty());

    // A CR or LF alone belongs to the record; a last line without CR LF is still a record.
    settings.SelectedFields[1] = 1;
    WriteBytes(settings.BackFilePath, "a\rb\r\nc\nd\r\ne");
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), "a\rb\r\nc\nd\r\ne\r\n");
}

TEST_F(SaveAsTextTest, LargeBackupAcrossReadBoundaries) {
    // Lines of varying length so that CR and LF fall on both sides of every read boundary.
    std::vector<std::string> lines;
    size_t total = 0;
    for (int i = 0; total < 300000; ++i) {
        lines.push_back(std::string(static_cast<size_t>(i % 97), 'x') + "," + std::to_string(i));
        total += lines.back().size() + 2;
    }
    WriteBytes(settings.BackFilePath, CrLfLines(lines));
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), CrLfLines(lines));
}

TEST_F(SaveAsTextTest, EmptyBackupAppendAndOverwrite) {
    WriteBytes(settings.BackFilePath, "");
    WriteBytes(run.OutputPath, "old\r\n");
    settings.OverWrite = 0;
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), "old\r\n");
    settings.OverWrite = 1;
    ASSERT_TRUE(Save());
    EXPECT_TRUE(FileExists(run.OutputPath));
    EXPECT_EQ(Output(), "");

    run.OutputPath = dir / "new.txt";
    settings.OverWrite = 0;
    ASSERT_TRUE(Save());
    EXPECT_TRUE(FileExists(run.OutputPath));

    // Appended to, then overwritten.
    WriteBytes(settings.BackFilePath, CrLfLines({"1"}));
    ASSERT_TRUE(Save());
    WriteBytes(settings.BackFilePath, CrLfLines({"2", "3"}));
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), CrLfLines({"1", "2", "3"}));
    settings.OverWrite = 1;
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), CrLfLines({"2", "3"}));
}

TEST_F(SaveAsTextTest, MissingBackupLeavesTheOutputAlone) {
    WriteBytes(run.OutputPath, "kept\r\n");
    for (const int16_t overwrite : {1, 0}) {
        view = RecordingOperatorView{};
        settings.OverWrite = overwrite;
        EXPECT_FALSE(Save());
        EXPECT_EQ(Output(), "kept\r\n");
        ASSERT_EQ(view.Messages.size(), 1u);
        const std::string text = view.Messages[0].Text;
        EXPECT_EQ(view.Messages[0].Title, "Gathra");
        // The description, then the source with no separator.
        EXPECT_NE(text.find("Back.txt"), std::string::npos) << text;
        EXPECT_EQ(text.substr(text.size() - 6), "Gathra");
        ASSERT_EQ(view.StatusCalls.size(), 1u);
        EXPECT_TRUE(view.StatusCalls[0].Append);
        EXPECT_EQ(view.StatusCalls[0].Text, text);
        EXPECT_TRUE(view.Busy);  // restored by the upload run
    }
    run.OutputPath = dir / "never.txt";
    settings.OverWrite = 0;
    EXPECT_FALSE(Save());
    EXPECT_FALSE(FileExists(run.OutputPath));
}

// The UTF-8 CSV store: the text store's lines, unquoted, in UTF-8, a byte order mark only where its lines
// start the file; a byte CP932 cannot convert becomes U+FFFD, counted in a status line, and the backup
// keeps it.
TEST_F(SaveAsTextTest, Utf8CsvLinesByteOrderMarkAndReplacements) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string fffd = "\xEF\xBF\xBD";
    struct Row {
        const char* name;
        int16_t overwrite;
        std::optional<std::string> before;
        std::string backup;  // CP932
        std::string output;
        std::vector<std::string> status;
    };
    const Row rows[] = {
        {"new file",
         0,
         std::nullopt,
         CrLfLines({"\x83\x65\x83\x58\x83\x67,\"1,2\"", "\xB6\xC5,,x"}),
         bom + CrLfLines({"テスト,\"1,2\"", "ｶﾅ"}),
         {}},
        {"appended to lines", 0, bom + "a\r\n", CrLfLines({"b"}), bom + "a\r\nb\r\n", {}},
        {"appended to an empty file", 0, "", CrLfLines({"b"}), bom + "b\r\n", {}},
        {"replacing", 1, bom + "a\r\n", CrLfLines({"b"}), bom + "b\r\n", {}},
        {"bytes without a character",
         1,
         std::nullopt,
         CrLfLines({"a\x80,\xA0", "\x85\x40\xFD"}),
         bom + CrLfLines({"a" + fffd + "," + fffd, fffd + "@" + fffd}),
         {"UTF-8に変換できない文字を置き換えました (4箇所)"}},
    };
    run.OutputPath = dir / "T01.csv";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        view = RecordingOperatorView();
        std::filesystem::remove(run.OutputPath);
        if (row.before) {
            WriteBytes(run.OutputPath, *row.before);
        }
        WriteBytes(settings.BackFilePath, row.backup);
        settings.OverWrite = row.overwrite;
        ASSERT_TRUE(Utf8CsvStore().Save(settings, run, view));
        EXPECT_EQ(Output(), row.output);
        EXPECT_EQ(AppendedStatusLines(view), row.status);
        EXPECT_EQ(ReadBytes(settings.BackFilePath), row.backup);
    }
}

TEST_F(SaveAsTextTest, OutputThatCannotBeWritten) {
    WriteBytes(settings.BackFilePath, CrLfLines({"a"}));
    run.OutputPath = dir / "no/such/folder/T01.txt";
    EXPECT_FALSE(Save());
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_NE(view.Messages[0].Text.find("no/such/folder"), std::string::npos);

    // Only a regular file is an output, in both modes: a device, or a named pipe that nothing reads,
    // which a blocking open would wait on for ever.
    const std::string pipe = dir / "T02.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    // A device of the test's own (as /dev/full is): the machine's /dev is never at stake, even when the
    // check is broken.
    const std::string device = dir / "full";
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
    for (const std::string& path : {device, pipe}) {
        for (const int16_t overwrite : {1, 0}) {
            view = RecordingOperatorView{};
            settings.OverWrite = overwrite;
            run.OutputPath = path;
            EXPECT_FALSE(Save());
            ASSERT_EQ(view.Messages.size(), 1u);
            EXPECT_EQ(view.Messages[0].Text, "通常のﾌｧｲﾙではありません (" + path + ")Gathra");
            EXPECT_EQ(view.StatusCalls.size(), 1u);
        }
    }

    // An output named like the backup (a terminal "Back" saving into the program folder) is refused in
    // both modes: the backup is neither emptied nor appended to itself without end.
    for (const int16_t overwrite : {1, 0}) {
        view = RecordingOperatorView{};
        settings.OverWrite = overwrite;
        run.OutputPath = dir.Path() + "/./Back.txt";
        EXPECT_FALSE(Save());
        EXPECT_EQ(ReadBytes(settings.BackFilePath), CrLfLines({"a"}));
        EXPECT_EQ(view.Messages.size(), 1u);
    }
}

}  // namespace
