#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "settings/settings_store.h"
#include "settings_test_files.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"

namespace {

const char* const kReadErrorText = "INIﾌｧｲﾙ読み込みｴﾗｰ!!";
const char* const kFolderText = "保存ﾌｫﾙﾀﾞが存在しません\r\n再設定を行ってください！！";
const char* const kPlain = "ﾊﾟﾗﾒｰﾀ不正";
const char* const kField = "ﾊﾟﾗﾒｰﾀ不正(ﾌｨｰﾙﾄﾞ)";

const char* const kCopyKept = "\r\n元の設定は Gathra.ini.bak に保存しました";

std::string FileReadText(const std::string& reason, const std::string& copyLine = kCopyKept) {
    return "INIﾌｧｲﾙ読み込みｴﾗｰ : " + reason +
           "\r\nINIﾌｧｲﾙを初期化します\r\n保存ﾌｫﾙﾀﾞの初期値はﾏｲﾄﾞｷｭﾒﾝﾄﾌｫﾙﾀﾞです\r\n"
           "運用に適したﾌｫﾙﾀﾞを再設定してください" +
           copyLine;
}

// The keys and defaults in the order the file is written, spelt out here on their own so that a slip
// in the store's table shows up.
std::vector<std::pair<std::string, std::string>> DefaultKeys(const std::string& saveFolder) {
    std::vector<std::pair<std::string, std::string>> keys = {
        {"SaveFolder", saveFolder}, {"Baud", "115200"}, {"Port", "1"},        {"Mode", "1"},
        {"CrcType", "0"},           {"OverWrite", "0"}, {"StartUpSize", "0"}, {"AutoStart", "0"},
        {"Protocol", "0"},          {"SendMail", "0"},  {"MailAddress", ""},  {"MailSub", ""},
        {"FromMailAddress", ""},    {"MailServer", ""}};
    for (int n = 1; n <= 20; ++n) {
        keys.emplace_back("XlsField" + std::to_string(n), "1");
    }
    const std::vector<std::pair<std::string, std::string>> tail = {
        {"AddDate", "0"}, {"FixFname", ""}, {"TimeAdjust", "1"}, {"SaveFormat", "0"},
        {"XlsType", "1"}, {"XlsTemp", ""},  {"XlsF1", "1"},      {"XlsStartLine", "1"},
        {"MdbType", "0"}, {"MdbName", ""},  {"MdbTblName", ""}};
    keys.insert(keys.end(), tail.begin(), tail.end());
    return keys;
}

// A settings file: the defaults with some values replaced ("" + kRemove drops the key).
const std::string kRemove = "\x01remove";
std::string SettingsFile(const std::string& saveFolder,
                         const std::map<std::string, std::string>& changes = {}) {
    std::string text = "[Gathra]\n";
    for (auto [key, value] : DefaultKeys(saveFolder)) {
        if (const auto it = changes.find(key); it != changes.end()) {
            value = it->second;
        }
        if (value != kRemove) {
            text += key + "=" + value + "\n";
        }
    }
    return text;
}

// Every key of the file at `path` holds its default (the file may keep other lines and its own order).
void ExpectDefaultsIn(const std::string& path, const std::string& saveFolder) {
    for (const auto& [key, value] : DefaultKeys(saveFolder)) {
        EXPECT_EQ(ReadIniString(key, "Gathra", "missing", path), value) << key;
    }
}

// Runs `write` while `folder` cannot be written to and returns what it returned; nullopt when the folder
// cannot be made read-only for this user.
std::optional<std::string> InReadOnlyFolder(const std::string& folder,
                                            const std::function<std::string()>& write) {
    if (access(folder.c_str(), W_OK) != 0) {
        return write();  // the permission bits hold for this user
    }
    const ChildEnd end = RunInChild([&](std::string& output) {
        const bool readOnly =
            unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
            mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
        if (readOnly) {
            output = write();
        }
        return readOnly ? 0 : 1;
    });
    if (!end.Failure().empty()) {
        return std::nullopt;
    }
    return end.Output;
}

class LoadSettingsTest : public ::testing::Test {
protected:
    void SetUp() override { platform_ = {program_.Path(), "Gathra", docs_.Path()}; }
    std::string IniPath() const { return program_ / "Gathra.ini"; }
    void Load() { LoadSettings(record_, platform_, view_); }

    CurrentDirectoryGuard cwd_;
    TempFolder program_, docs_, save_;
    PlatformFacts platform_;
    SettingsRecord record_;
    RecordingOperatorView view_;
};

TEST_F(LoadSettingsTest, MissingFileIsCreatedWithEveryKeyInOrder) {
    Load();
    ASSERT_EQ(view_.Messages.size(), 1u);
    EXPECT_EQ(view_.Messages[0].Title, "File Read");
    EXPECT_EQ(view_.Messages[0].Text, FileReadText(std::string(kPlain) + " : INIﾌｧｲﾙが存在しません", ""));
    EXPECT_EQ(view_.Messages[0].Icon, MessageIcon::None);
    EXPECT_EQ(ReadBytes(IniPath()), SettingsFile(docs_.Path()));
    EXPECT_FALSE(std::filesystem::exists(IniPath() + ".bak")) << "no file, no copy";
    EXPECT_EQ(record_.SaveFolder, docs_.Path());
    EXPECT_EQ(std::filesystem::current_path(), docs_.Path());
    EXPECT_EQ(record_.SettingsFilePath, program_ / "Gathra.ini");
    EXPECT_EQ(record_.BackFilePath, program_ / "Back.txt");
    EXPECT_TRUE(view_.StatusCalls.empty());
}

enum class Outcome { Loaded, Reinitialised, FieldReinitialised, ReadError };

TEST_F(LoadSettingsTest, EachValueLeadsToItsOutcome) {
    const struct {
        std::map<std::string, std::string> Changes;
        Outcome Expected;
        // Loaded rows: the value of the first changed key as the file writes it; others: the box's key
        std::string Stored;
    } rows[] = {
        {{{"Port", "2.5"}}, Outcome::Loaded, "2"},
        {{{"Port", "3.5"}}, Outcome::Loaded, "4"},
        {{{"Port", "255"}}, Outcome::Loaded, "255"},
        {{{"Port", "0"}}, Outcome::Reinitialised, "Port=0 (1–255)"},
        {{{"Port", "256"}}, Outcome::Reinitialised, "Port=256 (1–255)"},
        {{{"Port", "abc"}}, Outcome::Reinitialised, "Port=abc (1–255)"},
        {{{"Port", "ERR"}}, Outcome::Reinitialised, "Port がありません"},
        // not "ERR": no number, so 0, out of range
        {{{"Port", "err"}}, Outcome::Reinitialised, "Port=err (1–255)"},
        {{{"Port", kRemove}}, Outcome::Reinitialised, "Port がありません"},
        {{{"Port", "70000"}}, Outcome::ReadError, ""},
        {{{"Baud", "9600"}}, Outcome::Loaded, "9600"},
        {{{"Baud", "3000000000"}}, Outcome::ReadError, ""},
        {{{"SendMail", "2"}}, Outcome::Loaded, "2"},
        {{{"Mode", "-1"}}, Outcome::Reinitialised, "Mode=-1 (0–1)"},
        {{{"AddDate", "4"}}, Outcome::Loaded, "4"},
        {{{"AddDate", "5"}}, Outcome::Reinitialised, "AddDate=5 (0–4)"},
        {{{"SaveFormat", "3"}}, Outcome::Loaded, "3"},  // CSV(UTF-8)
        {{{"SaveFormat", "4"}}, Outcome::Reinitialised, "SaveFormat=4 (0–3)"},
        {{{"XlsType", "4"}}, Outcome::Loaded, "4"},  // .xlsx
        {{{"XlsType", "5"}}, Outcome::Reinitialised, "XlsType=5 (0–4)"},
        {{{"TimeAdjust", "0.5"}}, Outcome::Loaded, "0.5"},
        {{{"TimeAdjust", "1.00"}}, Outcome::Loaded, "1"},
        {{{"TimeAdjust", "0.0001"}}, Outcome::Loaded, "0.0001"},
        {{{"TimeAdjust", "1.2"}}, Outcome::Reinitialised, "TimeAdjust=1.2 (0–1)"},
        // Cut to 254 digits first, so even this fits a double: out of range, not a read error.
        {{{"TimeAdjust", std::string(400, '9')}},
         Outcome::Reinitialised,
         "TimeAdjust=" + std::string(254, '9') + " (0–1)"},
        {{{"XlsStartLine", "65535"}}, Outcome::Loaded, "65535"},
        {{{"XlsStartLine", "65536"}}, Outcome::Reinitialised, "XlsStartLine=65536 (0–65535)"},
        {{{"XlsStartLine", "-1"}}, Outcome::Reinitialised, "XlsStartLine=-1 (0–65535)"},
        {{{"XlsField7", "2"}}, Outcome::FieldReinitialised, "XlsField7=2 (0–1)"},
        {{{"XlsField7", kRemove}}, Outcome::Reinitialised, "XlsField7 がありません"},
        {{{"XlsField20", "0"}}, Outcome::Loaded, "0"},
        // one box, the plain reason
        {{{"Mode", "7"}, {"XlsField3", "5"}}, Outcome::Reinitialised, "Mode=7 (0–1)"},
        {{{"MdbTblName", "ERR"}}, Outcome::Reinitialised, "MdbTblName がありません"},
        {{{"MailSub", "  ERR  "}}, Outcome::Reinitialised, "MailSub がありません"},
        {{{"MailSub", "件名 ERR"}}, Outcome::Loaded, "件名 ERR"},
    };
    for (const auto& row : rows) {
        const auto& [key, value] = *row.Changes.begin();
        SCOPED_TRACE(key + "=" + value.substr(0, 12));
        TempFolder program;
        platform_.ProgramFolder = program.Path();
        const std::string path = program / "Gathra.ini";
        const std::string before = SettingsFile(save_.Path(), row.Changes);
        WriteBytes(path, before);
        // The copy takes the file's mode and owner, not those of an older copy.
        WriteBytes(path + ".bak", "older copy");
        ::chmod(path.c_str(), 0640);
        const uid_t owner = ::geteuid() == 0 ? 65534 : ::geteuid();
        ASSERT_EQ(::chown(path.c_str(), owner, owner == 65534 ? 65534 : ::getegid()), 0);
        SettingsRecord record;
        RecordingOperatorView view;
        LoadSettings(record, platform_, view);

        switch (row.Expected) {
            case Outcome::Loaded: {
                EXPECT_TRUE(view.Messages.empty());
                EXPECT_EQ(ReadBytes(path), before);
                EXPECT_EQ(record.SaveFolder, save_.Path());
                // The record goes back into a file of its own to be looked at key by key.
                record.SettingsFilePath = program / "copy.ini";
                ASSERT_TRUE(WriteSettingsFile(record, view));
                EXPECT_EQ(ReadIniString(key, "Gathra", "missing", record.SettingsFilePath), row.Stored);
                break;
            }
            case Outcome::Reinitialised:
            case Outcome::FieldReinitialised:
                ASSERT_EQ(view.Messages.size(), 1u);
                EXPECT_EQ(view.Messages[0].Title, "File Read");
                EXPECT_EQ(view.Messages[0].Text,
                          FileReadText(std::string(row.Expected == Outcome::Reinitialised ? kPlain : kField) +
                                       " : " + row.Stored));
                ExpectDefaultsIn(path, docs_.Path());
                EXPECT_EQ(ReadBytes(path + ".bak"), before);
                {
                    struct stat copy {};
                    ASSERT_EQ(::stat((path + ".bak").c_str(), &copy), 0);
                    EXPECT_EQ(copy.st_mode & 07777, 0640u);
                    EXPECT_EQ(copy.st_uid, owner);
                }
                EXPECT_EQ(record.Port, 1);
                EXPECT_EQ(record.SelectedFields[6], 1);
                EXPECT_EQ(record.TimeAdjust, "1");
                break;
            case Outcome::ReadError:
                ASSERT_EQ(view.Messages.size(), 1u);
                EXPECT_EQ(view.Messages[0].Title, "エラー！！");
                EXPECT_EQ(view.Messages[0].Text, kReadErrorText);
                EXPECT_EQ(view.Messages[0].Icon, MessageIcon::Critical);
                EXPECT_EQ(view.StatusText, kReadErrorText);
                EXPECT_EQ(ReadBytes(path), before);
                break;
        }
    }
}

// Without its copy a settings file is never rewritten: the box says so, and the file stays as it was.
TEST_F(LoadSettingsTest, NoCopyNoRewrite) {
    const std::string before = SettingsFile(save_.Path(), {{"Port", "0"}});
    WriteBytes(IniPath(), before);
    std::filesystem::create_directory(IniPath() + ".bak");
    Load();
    ASSERT_EQ(view_.Messages.size(), 1u);
    EXPECT_EQ(view_.Messages[0].Text,
              FileReadText(std::string(kPlain) + " : Port=0 (1–255)",
                           "\r\n元の設定を Gathra.ini.bak に保存できません (Is a directory)。"
                           "INIﾌｧｲﾙは書き換えません"));
    EXPECT_EQ(ReadBytes(IniPath()), before);
    EXPECT_EQ(record_.Port, 1) << "the defaults hold in memory";
}

// MailTls is optional: read when present, a value other than 0 to 2 reported in the status at start
// (made visible) and taken as 1; the store's own writes never add the key.
TEST_F(LoadSettingsTest, OptionalMailTls) {
    const std::string warned = "MailTls の値が正しくありません (";
    const std::string taken = ")。1 (STARTTLS 必須) として扱います";
    const struct {
        const char* Line;
        int Mode;
        std::string Status;
    } rows[] = {{"", 0, ""},
                {"MailTls=\n", 0, ""},
                {"MailTls=1\n", 1, ""},
                {"MailTls= 2 \n", 2, ""},
                {"MailTls=3\n", 1, warned + "3" + taken},
                {"MailTls=\x1b[2J\n", 1, warned + "\\x1b[2J" + taken}};
    for (const auto& row : rows) {
        WriteBytes(IniPath(), SettingsFile(save_.Path()) + row.Line);
        view_ = RecordingOperatorView{};
        Load();
        EXPECT_EQ(MailTlsMode(record_), row.Mode) << row.Line;
        EXPECT_EQ(view_.StatusCalls.empty() ? "" : view_.StatusCalls[0].Text, row.Status);
    }
    WriteBytes(IniPath(), SettingsFile(save_.Path(), {{"Port", "0"}}));
    Load();  // re-initialised: every key written anew, the optional one not added
    EXPECT_EQ(ReadIniString("MailTls", "Gathra", "missing", IniPath()), "missing");
}

TEST_F(LoadSettingsTest, ReadErrorKeepsOnlyTheKeysReadBefore) {
    WriteBytes(IniPath(), SettingsFile(save_.Path(), {{"Port", "70000"}}));
    Load();
    EXPECT_EQ(record_.SaveFolder, save_.Path());
    EXPECT_EQ(record_.Port, 0);
    EXPECT_EQ(record_.Baud, 0);
    EXPECT_EQ(record_.Mode, LinkMode::Direct);
    EXPECT_EQ(record_.SelectedFields[0], 0);
    EXPECT_EQ(record_.TimeAdjust, "");
    EXPECT_NE(std::filesystem::current_path(), save_.Path());  // no folder check after a read error
}

// A save folder that is gone, or none at all for want of a documents folder: the current directory, with
// the box after the settings' own.
TEST_F(LoadSettingsTest, MissingSaveFolderFallsBackToTheCurrentDirectory) {
    const std::string before = SettingsFile(save_ / "gone");
    WriteBytes(IniPath(), before);
    const std::string cwd = std::filesystem::current_path();
    Load();
    ASSERT_EQ(view_.Messages.size(), 1u);
    EXPECT_EQ(view_.Messages[0].Title, "エラー！！");
    EXPECT_EQ(view_.Messages[0].Text, kFolderText);
    EXPECT_EQ(view_.Messages[0].Icon, MessageIcon::Critical);
    EXPECT_EQ(view_.StatusText, kFolderText);
    EXPECT_EQ(record_.SaveFolder, cwd);
    EXPECT_EQ(ReadBytes(IniPath()), before);

    std::filesystem::remove(IniPath());
    platform_.DocumentsFolder = "";
    view_ = RecordingOperatorView{};
    Load();
    ASSERT_EQ(view_.Messages.size(), 2u);
    EXPECT_EQ(view_.Messages[1].Text, kFolderText);
    EXPECT_EQ(record_.SaveFolder, cwd);
    EXPECT_EQ(ReadBytes(IniPath()), SettingsFile(""));
}

TEST_F(LoadSettingsTest, RewriteKeepsCommentsAndUnknownKeys) {
    std::string before = "; written by hand\n[Other]\nKeep=me\n\n" + SettingsFile(save_.Path());
    before.insert(before.find("MdbTblName"), "Unknown=x\n");
    WriteBytes(IniPath(), before);
    Load();
    ASSERT_TRUE(view_.Messages.empty());
    record_.MailSub = "月次";
    record_.Port = 12;
    ASSERT_TRUE(WriteSettingsFile(record_, view_));
    std::string expected = before;
    expected.replace(expected.find("MailSub=\n"), 9, "MailSub=月次\n");
    expected.replace(expected.find("Port=1\n"), 7, "Port=12\n");
    EXPECT_EQ(ReadBytes(IniPath()), expected);
}

TEST_F(LoadSettingsTest, Cp932FileIsReadAndWrittenBackAsUtf8AndLongValuesAreCut) {
    const std::string utf8 = "; 設定\n" + SettingsFile(save_.Path(), {{"MailSub", "ﾃﾞｰﾀ送信"}});
    WriteBytes(IniPath(), Utf8ToCp932(utf8));
    Load();
    EXPECT_TRUE(view_.Messages.empty());
    EXPECT_EQ(record_.MailSub, "ﾃﾞｰﾀ送信");
    ASSERT_TRUE(WriteSettingsFile(record_, view_));
    EXPECT_EQ(ReadBytes(IniPath()), utf8);

    // Long values are cut at a character boundary, counted in CP932 bytes: 127 kanji are 254 bytes.
    std::string kanji;
    while (kanji.size() < 450) {
        kanji += "日";
    }
    WriteBytes(IniPath(),
               SettingsFile(save_.Path(), {{"MailSub", std::string(300, 'a')}, {"FixFname", kanji}}));
    Load();
    EXPECT_TRUE(view_.Messages.empty());
    EXPECT_EQ(record_.MailSub, std::string(254, 'a'));
    EXPECT_EQ(record_.FixFname, kanji.substr(0, 127 * 3));
}

TEST_F(LoadSettingsTest, FailedWritesReportAndKeepTheOldFile) {
    const std::string before = SettingsFile(save_.Path());
    WriteBytes(IniPath(), before);
    Load();
    ASSERT_TRUE(view_.Messages.empty());

    // A value that would break the file into two lines is refused.
    SettingsRecord broken = record_;
    broken.MailSub = "two\nlines";
    EXPECT_FALSE(WriteSettingsFile(broken, view_));
    ASSERT_EQ(view_.Messages.size(), 1u);
    EXPECT_EQ(view_.Messages[0].Title, "File Write Error");
    EXPECT_EQ(view_.Messages[0].Text, "INIﾌｧｲﾙ書き込みｴﾗｰ : 22:Invalid argument");
    EXPECT_EQ(ReadBytes(IniPath()), before);

    // A full disk: the file-size limit stops the write part-way, even for root.
    SettingsRecord changed = record_;
    changed.MailSub = std::string(200, 'x');
    const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 256;
    setrlimit(RLIMIT_FSIZE, &small);
    const bool written = WriteSettingsFile(changed, view_);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previousHandler);
    EXPECT_FALSE(written);
    ASSERT_EQ(view_.Messages.size(), 2u);
    EXPECT_EQ(view_.Messages[1].Text, "INIﾌｧｲﾙ書き込みｴﾗｰ : 27:File too large");
    EXPECT_EQ(ReadBytes(IniPath()), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(program_.Path()), {}), 1);

    // A read-only program folder. Root writes through permission bits, so there the folder is made a
    // read-only bind mount in a private mount namespace of a child process.
    std::filesystem::permissions(program_.Path(),
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const auto result = InReadOnlyFolder(program_.Path(), [&] {
        RecordingOperatorView view;
        return WriteSettingsFile(changed, view) || view.Messages.empty() ? std::string("written")
                                                                         : view.Messages[0].Text;
    });
    std::filesystem::permissions(program_.Path(), std::filesystem::perms::owner_all);
    if (!result) {
        GTEST_SKIP() << "no way to make a folder read-only for this user";
    }
    EXPECT_TRUE(*result == "INIﾌｧｲﾙ書き込みｴﾗｰ : 13:Permission denied" ||
                *result == "INIﾌｧｲﾙ書き込みｴﾗｰ : 30:Read-only file system")
        << *result;
    EXPECT_EQ(ReadBytes(IniPath()), before);
}

}  // namespace
