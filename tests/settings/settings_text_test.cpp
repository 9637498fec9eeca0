// Settings values as text: the CP932 length limit, files mixing UTF-8 and CP932 lines, and saving
// Gathra.ini from a program folder the user may not write to.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <set>

#include "codec/text_encoding.h"
#include "settings/ini_file.h"
#include "settings/setting_text.h"
#include "settings/settings_store.h"
#include "settings_test_files.h"
#include "support/child_process.h"
#include "support/small_tmpfs.h"

namespace {

std::string Repeat(const std::string& piece, size_t times) {
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

const std::string kKanji = "棚";    // 2 bytes in CP932, 3 in UTF-8
const std::string kKatakana = "ｱ";  // 1 byte in CP932, 3 in UTF-8

TEST(SettingValueLimit, CountedInCp932BytesAndCutBetweenCharacters) {
    const struct {
        const char* name;
        std::string stored;
        std::string read;
    } cases[] = {
        {"ascii_at_the_limit", std::string(254, 'a'), std::string(254, 'a')},
        {"ascii_past_the_limit", std::string(255, 'a'), std::string(254, 'a')},
        {"kanji_at_the_limit", Repeat(kKanji, 127), Repeat(kKanji, 127)},
        {"kanji_past_the_limit", Repeat(kKanji, 128), Repeat(kKanji, 127)},
        {"katakana_at_the_limit", Repeat(kKatakana, 254), Repeat(kKatakana, 254)},
        {"katakana_past_the_limit", Repeat(kKatakana, 300), Repeat(kKatakana, 254)},
        // 253 bytes leave no room for a two-byte character: it is left out whole.
        {"kanji_does_not_straddle_the_limit", std::string(253, 'a') + kKanji, std::string(253, 'a')},
        // A character without a CP932 form counts as the one "?" it would become.
        {"no_cp932_form", std::string(253, 'a') + "\xC3\xA9", std::string(253, 'a') + "\xC3\xA9"},
    };
    TempFolder folder;
    const std::string path = folder / "Gathra.ini";
    for (const auto& c : cases) {
        WriteBytes(path, "[Gathra]\nMailSub=" + c.stored + "\n");
        EXPECT_EQ(ReadIniString("MailSub", "Gathra", "ERR", path), c.read) << c.name;
        EXPECT_EQ(FitsSettingValue(c.stored), c.stored == c.read) << c.name;
    }
    EXPECT_EQ(WithoutControlCharacters(std::string("a\r\nb\tc\x7F"
                                                   "d\0e",
                                                   11) +
                                       "棚"),
              "abcde棚");
}

TEST(SettingsFileEncoding, OnlyLinesThatAreNotUtf8AreReadAsCp932) {
    TempFolder folder;
    const std::string path = folder / "Gathra.ini";
    const struct {
        const char* name;
        std::string bytes;
        std::string mailSub;
        std::string fixFname;
    } cases[] = {
        {"utf8_file", "[Gathra]\nMailSub=在庫\nFixFname=棚卸\n", "在庫", "棚卸"},
        {"cp932_file", Utf8ToCp932("[Gathra]\r\nMailSub=在庫\r\nFixFname=棚卸\r\n"), "在庫", "棚卸"},
        // One stray byte garbles its own line only.
        {"stray_byte_in_one_line", "[Gathra]\nMailSub=在庫\xFF\nFixFname=棚卸\n", Cp932ToUtf8("在庫\xFF"),
         "棚卸"},
        {"one_cp932_line_among_utf8", "[Gathra]\nMailSub=" + Utf8ToCp932("ﾃﾞｰﾀ") + "\nFixFname=棚卸\n",
         "ﾃﾞｰﾀ", "棚卸"},
        {"bom_kept_with_a_cp932_line",
         "\xEF\xBB\xBF[Gathra]\nMailSub=" + Utf8ToCp932("在庫") + "\nFixFname=棚卸\n", "在庫", "棚卸"},
    };
    for (const auto& c : cases) {
        WriteBytes(path, c.bytes);
        IniFile file;
        ASSERT_TRUE(file.Load(path)) << c.name;
        EXPECT_EQ(file.Get("Gathra", "MailSub").value_or("-"), c.mailSub) << c.name;
        EXPECT_EQ(file.Get("Gathra", "FixFname").value_or("-"), c.fixFname) << c.name;
    }
    // Saved back as UTF-8, the UTF-8 lines byte for byte.
    WriteBytes(path, "\xEF\xBB\xBF[Gathra]\nMailSub=" + Utf8ToCp932("在庫") + "\nFixFname=棚卸\n");
    IniFile file;
    ASSERT_TRUE(file.Load(path));
    ASSERT_TRUE(file.Save(path));
    EXPECT_EQ(ReadBytes(path), "\xEF\xBB\xBF[Gathra]\nMailSub=在庫\nFixFname=棚卸\n");
}

TEST(SettingsFileEncoding, ACp932LineWithoutAConverterIsAReadError) {
    TempFolder folder;
    const std::string path = folder / "Gathra.ini";
    WriteBytes(path, "[Gathra]\nMailSub=" + Utf8ToCp932("在庫") + "\n");
    SetCp932CharsetForTesting("NO-SUCH-CHARSET-FOR-GATHRA");
    IniFile file;
    IniError error;
    const bool loaded = file.Load(path, &error);
    SetCp932CharsetForTesting("");
    EXPECT_FALSE(loaded);
    EXPECT_EQ(error.Code, EILSEQ);
}

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process as the user nobody and returns its exit code (99: could not switch).
int AsNobody(const std::function<int()>& body) {
    const ChildEnd end = RunInChild([&](std::string&) {
        if (setgid(kNobody) != 0 || setuid(kNobody) != 0) {
            return 99;
        }
        return body();
    });
    return end.Exited ? end.ExitCode : -1;
}

std::set<std::string> Entries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// A folder nobody may not write to, holding a Gathra.ini that nobody owns.
void PrepareReadOnlyFolder(const std::string& folder, const std::string& path, const std::string& content) {
    WriteBytes(path, content);
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
}

TEST(SettingsFileInPlace, WritableFileInAReadOnlyFolderIsRewrittenWhereItIs) {
    TempFolder folder;
    const std::string path = folder / "Gathra.ini";
    ASSERT_NO_FATAL_FAILURE(
        PrepareReadOnlyFolder(folder.Path(), path, "; keep\n[Gathra]\nMailSub=long old value\n"));

    // Shorter, then longer than before: both end up exactly as the text says, with nothing left beside.
    EXPECT_EQ(AsNobody([&] { return WriteIniString("月次", "MailSub", "Gathra", path) ? 0 : 1; }), 0);
    EXPECT_EQ(ReadBytes(path), "; keep\n[Gathra]\nMailSub=月次\n");
    EXPECT_EQ(
        AsNobody([&] { return WriteIniString(std::string(200, 'x'), "MailSub", "Gathra", path) ? 0 : 1; }),
        0);
    EXPECT_EQ(ReadBytes(path), "; keep\n[Gathra]\nMailSub=" + std::string(200, 'x') + "\n");
    EXPECT_EQ(Entries(folder.Path()), std::set<std::string>{"Gathra.ini"});
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, kNobody);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    // A file nobody may not write is still refused, and stays as it was.
    ASSERT_EQ(chmod(path.c_str(), 0440), 0);
    EXPECT_EQ(AsNobody([&] { return WriteIniString("new", "MailSub", "Gathra", path) ? 0 : 1; }), 1);
    EXPECT_EQ(ReadBytes(path), "; keep\n[Gathra]\nMailSub=" + std::string(200, 'x') + "\n");
}

TEST(SettingsFileInPlace, AFullDiskLeavesTheOldFileWhole) {
    TempFolder outer;
    const std::string folder = outer / "program";
    std::filesystem::create_directory(folder);
    ASSERT_EQ(chmod(outer.Path().c_str(), 0755), 0);
    SmallTmpfs disk;
    const std::string refused = disk.Mount(folder, 64 * 1024);
    if (!refused.empty()) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") {
            FAIL() << refused;
        }
        GTEST_SKIP() << refused;
    }
    const std::string path = folder + "/Gathra.ini";
    const std::string before = "[Gathra]\nMailSub=" + std::string(100, 'o') + "\n";
    ASSERT_NO_FATAL_FAILURE(PrepareReadOnlyFolder(folder, path, before));
    // Fill every block left.
    {
        std::FILE* filler = std::fopen((folder + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        const std::string block(1024, 'f');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() &&
               std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }

    // Longer than the blocks the file has: refused with the disk's reason, the old text whole.
    const std::string longer(8000, 'n');
    EXPECT_EQ(AsNobody([&] {
                  IniFile file;
                  IniError error;
                  const bool saved =
                      file.Load(path) && file.Set("Gathra", "MailSub", longer) && file.Save(path, &error);
                  return saved ? 1 : error.Code == ENOSPC ? 0 : 2;
              }),
              0);
    EXPECT_EQ(ReadBytes(path), before);

    // Within the blocks it already has, the rewrite needs no space and succeeds.
    EXPECT_EQ(AsNobody([&] { return WriteIniString("short", "MailSub", "Gathra", path) ? 0 : 1; }), 0);
    EXPECT_EQ(ReadBytes(path), "[Gathra]\nMailSub=short\n");
}

}  // namespace
