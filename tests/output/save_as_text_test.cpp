#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <string>

#include "output/text/save_as_text.h"
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
    bool Save() { return SaveAsText(settings, run, view); }
    std::string Output() const { return ReadBytes(run.OutputPath); }

    TempFolder dir;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
};

TEST_F(SaveAsTextTest, ConvertsEveryRecordWithCrLf) {
    settings.SelectedFields[1] = 0;
    WriteBytes(settings.BackFilePath, CrLfLines({"a,b,c", "\x83\x65,x,y", "", "d,,e"}));
    ASSERT_TRUE(Save());
    EXPECT_EQ(Output(), CrLfLines({"a,c", "\x83\x65,y", "", "d,e"}));
    EXPECT_FALSE(view.Busy);
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_TRUE(view.StatusCalls.empty());
}

TEST_F(SaveAsTextTest, LinesAreCutAtCrLfOnly) {
    // A CR or LF alone belongs to the record; a last line without CR LF is still a record.
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

TEST_F(SaveAsTextTest, EmptyBackup) {
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
}

TEST_F(SaveAsTextTest, AppendAndOverwrite) {
    WriteBytes(settings.BackFilePath, CrLfLines({"1"}));
    settings.OverWrite = 0;
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
        RecordingOperatorView fresh;
        view = fresh;
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

TEST_F(SaveAsTextTest, OutputThatCannotBeWritten) {
    WriteBytes(settings.BackFilePath, CrLfLines({"a"}));
    run.OutputPath = dir / "no/such/folder/T01.txt";
    EXPECT_FALSE(Save());
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_NE(view.Messages[0].Text.find("no/such/folder"), std::string::npos);

    // Only a regular file is an output, in both modes: a device, or a named pipe that nothing reads,
    // which a blocking open would wait on for ever.
    RecordingOperatorView fresh;
    const std::string pipe = dir / "T02.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    // A device of the test's own (as /dev/full is): the machine's /dev is never at stake, even when the
    // check is broken.
    const std::string device = dir / "full";
    ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
    for (const std::string& path : {device, pipe}) {
        for (const int16_t overwrite : {1, 0}) {
            view = fresh;
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
        view = fresh;
        settings.OverWrite = overwrite;
        run.OutputPath = dir.Path() + "/./Back.txt";
        EXPECT_FALSE(Save());
        EXPECT_EQ(ReadBytes(settings.BackFilePath), CrLfLines({"a"}));
        EXPECT_EQ(view.Messages.size(), 1u);
    }
}

}  // namespace
