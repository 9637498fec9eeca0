#include "settings/ini_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "codec/text_encoding.h"
#include "settings/settings_store.h"
#include "settings_test_files.h"

namespace {

size_t CountFiles(const std::string& folder) {
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

TEST(IniFile, LooksUpLikeAPrivateProfile) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    WriteBytes(path,
               "Top=before any section\n"
               "[Other]\nPort=9\n"
               "[ gathra ]\n"
               "; Port=comment\n"
               "# Port=also a comment\n"
               "  port  =  7  \n"
               "PORT=8\n"
               "Quoted=\"kept\"\n"
               "no equals sign\n"
               "Empty=\n"
               "[GATHRA]\nLater=ignored section\n");
    const struct {
        const char* Section;
        const char* Key;
        const char* Expected;  // nullptr: missing
    } rows[] = {
        {"Gathra", "Port", "7"},           // case, blanks, first entry, comments are no entries
        {"GATHRA", "pOrT", "7"},           //
        {"Other", "Port", "9"},            //
        {"Gathra", "Quoted", "\"kept\""},  // quotes are part of the value
        {"Gathra", "Empty", ""},           //
        {"Gathra", "no equals sign", nullptr},
        {"Gathra", "Later", nullptr},  // only the first section of a name counts
        {"Gathra", "Top", nullptr},
        {"Missing", "Port", nullptr},
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
        const char* Section;
        const char* Key;
        const char* Value;
        const char* After;
    } rows[] = {
        {"new file", nullptr, "Gathra", "Port", "3", "[Gathra]\nPort=3\n"},
        {"in place, spelling and blanks kept", "; c\n[gathra]\n  port = 1 \nX=1\n", "Gathra", "Port", "2",
         "; c\n[gathra]\n  port = 2\nX=1\n"},
        {"added after the section's last line", "[Gathra]\nA=1\n\n[Next]\nB=2\n", "Gathra", "C", "3",
         "[Gathra]\nA=1\nC=3\n\n[Next]\nB=2\n"},
        {"section added at the end", "; only a comment", "Gathra", "A", "1",
         "; only a comment\n[Gathra]\nA=1\n"},
        {"CR LF kept, also for new lines", "[Gathra]\r\nA=1\r\n", "Gathra", "B", "2",
         "[Gathra]\r\nA=1\r\nB=2\r\n"},
        {"mixed ends stay per line", "[Gathra]\r\nA=1\nB=2\r\n", "Gathra", "A", "x",
         "[Gathra]\r\nA=x\nB=2\r\n"},
        {"last line gets its line end", "[Gathra]\r\nA=1", "Gathra", "B", "2", "[Gathra]\r\nA=1\r\nB=2\r\n"},
        {"byte order mark kept", "\xEF\xBB\xBF[Gathra]\nA=1\n", "Gathra", "A", "2",
         "\xEF\xBB\xBF[Gathra]\nA=2\n"},
    };
    for (const auto& row : rows) {
        const std::string path = folder / (std::string(row.Name) + ".ini");
        if (row.Before != nullptr) {
            WriteBytes(path, row.Before);
        }
        EXPECT_TRUE(WriteIniString(row.Value, row.Key, row.Section, path)) << row.Name;
        EXPECT_EQ(ReadBytes(path), row.After) << row.Name;
    }
}

TEST(IniFile, RefusesValuesThatWouldNotReadBack) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    const std::string before = "[Gathra]\nA=1\n";
    WriteBytes(path, before);
    for (const std::string& value : {std::string("two\nlines"), std::string("cr\rx"),
                                     std::string("nul\0x", 5), std::string("\x82\xA0")}) {
        EXPECT_FALSE(WriteIniString(value, "A", "Gathra", path));
    }
    for (const char* key : {"", "A=B", " A", ";A", "[A"}) {
        EXPECT_FALSE(WriteIniString("1", key, "Gathra", path)) << key;
    }
    EXPECT_EQ(ReadBytes(path), before);
}

TEST(IniFile, ReadsACp932FileAndWritesItBackAsUtf8) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    const std::string subject = "日報ﾃﾞｰﾀ";
    WriteBytes(path, Utf8ToCp932("; 設定\r\n[Gathra]\r\nMailSub=" + subject + "\r\n"));
    EXPECT_EQ(ReadIniString("MailSub", "Gathra", "", path), subject);
    ASSERT_TRUE(WriteIniString("1", "Port", "Gathra", path));
    EXPECT_EQ(ReadBytes(path), "; 設定\r\n[Gathra]\r\nMailSub=" + subject + "\r\nPort=1\r\n");
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
    EXPECT_EQ(CountFiles(folder.Path()), 2u);

    // A new file gets the ordinary mode for the process's umask.
    const mode_t mask = umask(027);
    ASSERT_TRUE(WriteIniString("1", "A", "Gathra", folder / "new.ini"));
    umask(mask);
    ASSERT_EQ(stat((folder / "new.ini").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// A file-size limit makes every write past it fail the way a full disk does, even for root.
TEST(IniFile, FailedWriteLeavesTheOldFileIntact) {
    TempFolder folder;
    const std::string path = folder / "a.ini";
    const std::string before = "[Gathra]\nA=1\n";
    WriteBytes(path, before);

    IniFile file;
    ASSERT_TRUE(file.Load(path));
    ASSERT_TRUE(file.Set("Gathra", "A", std::string(200, 'x')));
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64;
    setrlimit(RLIMIT_FSIZE, &small);
    IniError error;
    const bool saved_ok = file.Save(path, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(saved_ok);
    EXPECT_EQ(error.Code, EFBIG);
    EXPECT_FALSE(error.Description.empty());
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(CountFiles(folder.Path()), 1u);
}

TEST(IniFile, UnreadableFilesReadAsMissingAndAreNotReplaced) {
    TempFolder folder;
    std::filesystem::create_directory(folder / "dir.ini");
    EXPECT_EQ(ReadIniString("A", "Gathra", "DEF", folder / "dir.ini"), "DEF");
    EXPECT_FALSE(WriteIniString("1", "A", "Gathra", folder / "dir.ini"));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "dir.ini"));
}

TEST(TrimAtNul, CutsAtTheFirstNul) {
    EXPECT_EQ(TrimAtNul(std::string("ab\0cd\0", 6)), "ab");
    EXPECT_EQ(TrimAtNul("abc"), "abc");
    EXPECT_EQ(TrimAtNul(std::string("\0x", 2)), "");
}

}  // namespace
