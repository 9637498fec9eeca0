#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "settings/ini_file.h"
#include "settings/settings_store.h"
#include "settings_test_files.h"
#include "support/tracing_file_ops.h"

namespace {

TEST(IniFile, LooksUpLikeAPrivateProfile) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    WriteBytes(path, std::string("Top=before any section\n[Other]\nPort=9\n[ gathra ]\n; Port=comment\n"
                                 "# Port=comment\n  port  =  7  \nPORT=8\nQuoted=\"kept\"\nno equals sign\n"
                                 "Empty=\nNul=ab") +
                         '\0' + "cd\n[GATHRA]\nLater=second section of the name\n");
    const struct {
        const char* Section;
        const char* Key;
        const char* Expected;  // nullptr: missing, the default comes back
    } rows[] = {
        {"Gathra", "Port", "7"},  // case, blanks, first entry; comments are no entries
        {"GATHRA", "pOrT", "7"},      {"Other", "Port", "9"},     {"Gathra", "Quoted", "\"kept\""},
        {"Gathra", "Empty", ""},      {"Gathra", "Nul", "ab"},    {"Gathra", "no equals sign", nullptr},
        {"Gathra", "Later", nullptr}, {"Gathra", "Top", nullptr}, {"Missing", "Port", nullptr},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ReadIniString(row.Key, row.Section, "DEF", path), row.Expected ? row.Expected : "DEF")
            << row.Section << "/" << row.Key;
    }
    EXPECT_EQ(ReadIniString("Port", "Gathra", "DEF", folder / "missing.ini"), "DEF");
}

TEST(IniFile, WritesChangeOnlyTheirOwnLine) {
    TempFolder folder;
    const struct {
        const char* Name;
        const char* Before;  // nullptr: no file
        const char* Key;
        const char* Value;
        const char* After;
    } rows[] = {
        {"new file", nullptr, "Port", "3", "[Gathra]\nPort=3\n"},
        {"in place, spelling and blanks kept", "; c\n[gathra]\n  port = 1 \nX=1\n", "Port", "2",
         "; c\n[gathra]\n  port = 2\nX=1\n"},
        {"added after the section's last line", "[Gathra]\nA=1\n\n[Next]\nB=2\n", "C", "3",
         "[Gathra]\nA=1\nC=3\n\n[Next]\nB=2\n"},
        {"section added at the end", "; only a comment", "A", "1", "; only a comment\n[Gathra]\nA=1\n"},
        {"CR LF kept, also for new lines", "[Gathra]\r\nA=1\r\n", "B", "2", "[Gathra]\r\nA=1\r\nB=2\r\n"},
        {"mixed ends stay per line", "[Gathra]\r\nA=1\nB=2\r\n", "A", "x", "[Gathra]\r\nA=x\nB=2\r\n"},
        {"last line gets its line end", "[Gathra]\r\nA=1", "B", "2", "[Gathra]\r\nA=1\r\nB=2\r\n"},
        {"byte order mark kept", "\xEF\xBB\xBF[Gathra]\nA=1\n", "A", "2", "\xEF\xBB\xBF[Gathra]\nA=2\n"},
    };
    for (const auto& row : rows) {
        const std::string path = folder / (std::string(row.Name) + ".ini");
        if (row.Before != nullptr) {
            WriteBytes(path, row.Before);
        }
        EXPECT_TRUE(WriteIniString(row.Value, row.Key, "Gathra", path)) << row.Name;
        EXPECT_EQ(ReadBytes(path), row.After) << row.Name;
    }
}

TEST(IniFile, RefusesWhatWouldNotReadBack) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    const std::string before = "[Gathra]\nA=1\n";
    WriteBytes(path, before);
    for (const std::string value : {"two\nlines", "cr\rx", "\x82\xA0"}) {
        EXPECT_FALSE(WriteIniString(value, "A", "Gathra", path));
    }
    for (const char* key : {"", "A=B", " A", ";A", "[A"}) {
        EXPECT_FALSE(WriteIniString("1", key, "Gathra", path)) << key;
    }
    EXPECT_EQ(ReadBytes(path), before);

    // Only a regular file is read or replaced: a folder, or a named pipe, which must not block the open.
    std::filesystem::create_directory(folder / "dir.ini");
    ASSERT_EQ(mkfifo((folder / "pipe.ini").c_str(), 0600), 0);
    for (const std::string name : {"dir.ini", "pipe.ini"}) {
        EXPECT_EQ(ReadIniString("A", "Gathra", "DEF", folder / name), "DEF");
        EXPECT_FALSE(WriteIniString("1", "A", "Gathra", folder / name));
        IniFile file;
        IniError error;
        EXPECT_FALSE(file.Load(folder / name, &error));
        EXPECT_EQ(error.Description, "通常のﾌｧｲﾙではありません");
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder / "dir.ini"));
    EXPECT_TRUE(std::filesystem::is_fifo(folder / "pipe.ini"));
}

TEST(IniFile, ReplacementKeepsPermissionsAndSymlinksAndLeavesNoTemporaryFile) {
    TempFolder folder;
    const std::string real = folder / "real.ini";
    const std::string link = folder / "Gathra.ini";
    WriteBytes(real, "[Gathra]\nA=1\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.ini", link.c_str()), 0);

    ASSERT_TRUE(WriteIniString("2", "A", "Gathra", link));
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadBytes(real), "[Gathra]\nA=2\n");
    struct stat info {};
    ASSERT_EQ(stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    const auto entries = std::distance(std::filesystem::directory_iterator(folder.Path()), {});
    EXPECT_EQ(entries, 2);

    // A new file gets the ordinary mode for the process's umask.
    const mode_t mask = umask(027);
    ASSERT_TRUE(WriteIniString("1", "A", "Gathra", folder / "new.ini"));
    umask(mask);
    ASSERT_EQ(stat((folder / "new.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// Saved like the outputs: written, synced, renamed, then the folder synced. A fault before the rename
// leaves the old file byte for byte with nothing beside it; one in the folder sync leaves the new file.
TEST(IniFile, SavingIsSyncedThenRenamedAndAFaultLeavesTheOldFile) {
    TempFolder folder;
    const std::string path = folder / "Gathra.ini";
    const std::string before = "[Gathra]\r\nA=1\r\n";
    const struct {
        const char* Call;  // "": no fault
        const char* Name;
        bool Saved;
    } rows[] = {
        {"", "", true},
        {"write", "<temp>", false},
        {"datasync", "<temp>", false},
        {"rename", "<temp> Gathra.ini", false},
        {"sync", "dir/", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Call);
        WriteBytes(path, before);
        TracingFileOps trace;
        trace.folderLabels = {{folder.Path(), "dir/"}};
        trace.failCall = row.Call;
        trace.failName = row.Name;
        IniFile file;
        IniError error;
        ASSERT_TRUE(file.Load(path) && file.Set("Gathra", "A", "2"));
        {
            ScopedFileOps traced(trace);
            EXPECT_EQ(file.Save(path, &error), row.Saved);
        }
        EXPECT_EQ(error.Code, row.Saved ? 0 : EIO);
        EXPECT_EQ(ReadBytes(path), row.Saved ? "[Gathra]\r\nA=2\r\n" : before);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 1);
        if (*row.Call == '\0') {
            EXPECT_EQ(trace.Only({"write", "datasync", "rename", "sync"}),
                      (std::vector<std::string>{"write <temp>", "datasync <temp>", "rename <temp> Gathra.ini",
                                                "sync dir/"}));
        }
    }
}

}  // namespace
