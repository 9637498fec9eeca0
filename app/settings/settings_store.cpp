#include "settings/settings_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>
#include <system_error>

#include "codec/text_encoding.h"
#include "common/blanks.h"
#include "common/file_ops.h"
#include "common/system_error.h"
#include "common/visible_text.h"
#include "run/operator_view.h"
#include "settings/ini_file.h"
#include "settings/number_text.h"
#include "settings/setting_text.h"
#include "settings/settings_keys.h"

namespace {

// The value ReadIniString hands back for a missing key while loading; a stored "ERR" counts the same.
constexpr const char* kMissing = "ERR";
constexpr const char* kDbConnectKey = "DbConnect";
constexpr const char* kAfterUploadKey = "AfterUpload";
constexpr const char* kMailTlsKey = "MailTls";

constexpr const char* kReasonInvalid = "ﾊﾟﾗﾒｰﾀ不正";
constexpr const char* kReasonInvalidField = "ﾊﾟﾗﾒｰﾀ不正(ﾌｨｰﾙﾄﾞ)";
constexpr const char* kErrorTitle = "エラー！！";
constexpr const char* kReadErrorText = "INIﾌｧｲﾙ読み込みｴﾗｰ!!";
constexpr const char* kMissingFolderText = "保存ﾌｫﾙﾀﾞが存在しません\r\n再設定を行ってください！！";
// As the INI reader takes it.
constexpr uint64_t kMaxSettingsFileBytes = 16 * 1024 * 1024;
constexpr const char* kNoSettingsFile = "INIﾌｧｲﾙが存在しません";
// The copy of a settings file that a re-initialisation replaces: the latest one only.
constexpr const char* kCopySuffix = ".bak";

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) {
        return name;
    }
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// Cuts a value to what a 255-byte read buffer holds: 254 bytes of CP932, backing off
// to the start of a character so that none is split.
std::string CutToBuffer(const std::string& value) {
    return CutToSettingValue(value);
}

// What ReadIniString returns, for a document already in memory.
std::string ProfileValue(const IniFile& file, const std::string& key, const std::string& section,
                         const std::string& defaultValue) {
    return TrimAtNul(CutToBuffer(file.Get(section, key).value_or(defaultValue)));
}

// The command after each upload, uncut: a value too long is refused where it is used, never shortened.
std::string AfterUploadValue(const IniFile& file) {
    return TrimAtNul(file.Get(kAppTitle, kAfterUploadKey).value_or(""));
}

enum class ReadOutcome { Complete, KeyMissing, ReadError };

ReadOutcome ReadKeys(const IniFile& file, SettingsRecord& record);

// Every key both front ends read: first the optional server connection, the command after each upload and
// the mail protection (a missing line is simply empty and never re-initialises the file; the connection is
// kept whole, as a cut one would change where it goes: see DbConnectTooLong), then the keys in load order.
ReadOutcome ReadSettings(const IniFile& file, SettingsRecord& record) {
    record.DbConnect = TrimAtNul(file.Get(kAppTitle, kDbConnectKey).value_or(""));
    record.AfterUpload = AfterUploadValue(file);
    record.MailTls = ProfileValue(file, kMailTlsKey, kAppTitle, "");
    return ReadKeys(file, record);
}

// Reads the keys in load order into the record. Stops at the first missing key and at the first number
// that does not fit its type; the keys read before stay in the record.
ReadOutcome ReadKeys(const IniFile& file, SettingsRecord& record) {
    for (const SettingKey* key : SettingsLoadOrder()) {
        const std::string text = ProfileValue(file, key->Name, kAppTitle, kMissing);
        if (text == kMissing) {
            return ReadOutcome::KeyMissing;
        }
        switch (key->Kind) {
            case SettingKind::Text:
                SettingText(record, *key) = text;
                break;
            case SettingKind::Number: {
                const auto number = LeadingNumberText(text);
                if (!number) {
                    return ReadOutcome::ReadError;
                }
                SettingText(record, *key) = *number;
                break;
            }
            case SettingKind::Int16:
            case SettingKind::Int32: {
                const bool wide = key->Kind == SettingKind::Int32;
                const auto number = LeadingInteger(
                    text, wide ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int16_t>::min(),
                    wide ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int16_t>::max());
                if (!number) {
                    return ReadOutcome::ReadError;
                }
                SetSettingNumber(record, *key, *number);
                break;
            }
        }
    }
    return ReadOutcome::Complete;
}

// True when every key of the given test kind holds a value inside its range.
bool RangesHold(const SettingsRecord& record, RangeTest test) {
    for (const SettingKey& key : SettingsKeyOrder()) {
        if (key.Test != test) {
            continue;
        }
        bool valid = false;
        const double value = SettingNumericValue(record, key, &valid);
        if (!valid || value < key.Min || value > key.Max) {
            return false;
        }
    }
    return true;
}

// A whole number of a range as text ("0", "65535").
std::string RangeNumber(double value) {
    return std::to_string(static_cast<long long>(value));
}

// "<key>=<value as the file holds it> (<lowest>–<highest>)": the range the key's test allows, or for a
// number without a range test the range of its type.
std::string BadValue(const IniFile& file, const SettingKey& key) {
    std::string text = key.Name + "=" + ProfileValue(file, key.Name, kAppTitle, "");
    if (key.Test != RangeTest::None) {
        return text + " (" + RangeNumber(key.Min) + "–" + RangeNumber(key.Max) + ")";
    }
    if (key.Kind == SettingKind::Int16) {
        return text + " (-32768–32767)";
    }
    if (key.Kind == SettingKind::Int32) {
        return text + " (-2147483648–2147483647)";
    }
    return text;
}

// The key a failed load stopped at, for a reader who must fix the file: "<key> がありません" for a missing
// key, else BadValue. `test` is the range test that failed after a complete read; empty when no key is
// found to blame.
std::string NamedFault(const IniFile& file, const SettingsRecord& record, RangeTest test) {
    for (const SettingKey* key : SettingsLoadOrder()) {
        const std::string text = ProfileValue(file, key->Name, kAppTitle, kMissing);
        if (text == kMissing) {
            return key->Name + " がありません";
        }
        const bool wide = key->Kind == SettingKind::Int32;
        const bool unreadable =
            key->Kind == SettingKind::Number
                ? !LeadingNumberText(text)
                : key->Kind != SettingKind::Text &&
                      !LeadingInteger(
                          text,
                          wide ? std::numeric_limits<int32_t>::min() : std::numeric_limits<int16_t>::min(),
                          wide ? std::numeric_limits<int32_t>::max() : std::numeric_limits<int16_t>::max());
        if (unreadable) {
            return BadValue(file, *key);
        }
    }
    for (const SettingKey& key : SettingsKeyOrder()) {
        if (test == RangeTest::None || key.Test != test) {
            continue;
        }
        bool valid = false;
        const double value = SettingNumericValue(record, key, &valid);
        if (!valid || value < key.Min || value > key.Max) {
            return BadValue(file, key);
        }
    }
    return {};
}

// Makes SaveFolder the current directory; when that fails, tells the operator and takes the current
// directory as the save folder (in memory only: the file keeps the folder that failed).
void CheckSaveFolder(SettingsRecord& record, OperatorView& view) {
    if (!record.SaveFolder.empty() && chdir(record.SaveFolder.c_str()) == 0) {
        return;
    }
    view.ShowMessage(kErrorTitle, kMissingFolderText, MessageIcon::Critical);
    view.ReplaceStatus(kMissingFolderText);
    std::error_code error;
    record.SaveFolder = std::filesystem::current_path(error).string();
}

void ShowWriteError(OperatorView& view, const IniError& error) {
    view.ShowMessage("File Write Error",
                     "INIﾌｧｲﾙ書き込みｴﾗｰ : " + std::to_string(error.Code) + ":" + error.Description,
                     MessageIcon::None);
}

// Whether `file` may be there: it is, or looking for it failed for another reason than its absence.
bool MayExist(const FileAt& file) {
    struct stat info {};
    return ::fstatat(file.Folder, file.Name.c_str(), &info, 0) == 0 || errno != ENOENT;
}

// Keeps `file` as it is now in `copy`, through the durable replacement, with the file's own mode and
// owner: DbConnect may hold a password. 0, or the errno of the failure.
int KeepCopy(const FileAt& file, const FileAt& copy) {
    struct stat info {};
    std::string bytes;
    if (::fstatat(file.Folder, file.Name.c_str(), &info, 0) != 0) {
        return errno;
    }
    if (const int error = ReadRegularFile(file, kMaxSettingsFileBytes, bytes); error != 0) {
        return error;
    }
    DurableReplacement replacement;
    if (!replacement.Begin(copy, 0600) || !replacement.MatchOwnerAndMode(info) || !replacement.Write(bytes) ||
        !replacement.Commit()) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

// The documents folder handed in by the shell, up to any NUL; empty when the shell could not name it.
std::string DocumentsFolder(const PlatformFacts& platform) {
    return TrimAtNul(platform.DocumentsFolder);
}

}  // namespace

std::string SettingsFilePathFor(const PlatformFacts& platform) {
    return JoinPath(platform.ProgramFolder, platform.ExecutableName + ".ini");
}

void LoadSettings(SettingsRecord& record, const PlatformFacts& platform, OperatorView& view) {
    record.SettingsFilePath = SettingsFilePathFor(platform);
    record.BackFilePath = JoinPath(platform.ProgramFolder, "Back.txt");
    record.ProgramFolderFd = platform.ProgramFolderFd;

    // A file that cannot be read at all reads like a missing one: every key falls back to "ERR".
    IniFile file;
    if (!file.Load(ProgramFile(record, record.SettingsFilePath))) {
        file = IniFile();
    }
    // The reason names the key to fix, as the collector does: a re-initialisation must never leave the
    // operator guessing which value cost the site its settings.
    const bool exists = MayExist(ProgramFile(record, record.SettingsFilePath));
    const auto named = [&](const char* reason, RangeTest test) {
        return std::string(reason) + " : " + (exists ? NamedFault(file, record, test) : kNoSettingsFile);
    };
    switch (ReadSettings(file, record)) {
        case ReadOutcome::ReadError:
            view.ShowMessage(kErrorTitle, kReadErrorText, MessageIcon::Critical);
            view.ReplaceStatus(kReadErrorText);
            return;
        case ReadOutcome::KeyMissing:
            InitSettingsFile(record, platform, named(kReasonInvalid, RangeTest::None), view);
            break;
        case ReadOutcome::Complete:
            // All ranges are tested before the flags, so a file with both kinds of fault gets one box.
            if (!RangesHold(record, RangeTest::Range)) {
                InitSettingsFile(record, platform, named(kReasonInvalid, RangeTest::Range), view);
            } else if (!RangesHold(record, RangeTest::Field)) {
                InitSettingsFile(record, platform, named(kReasonInvalidField, RangeTest::Field), view);
            }
            break;
    }
    CheckSaveFolder(record, view);
    if (const std::string warning = MailTlsWarning(record); !warning.empty()) {
        view.AppendStatus(warning);
    }
}

std::string LoadSettingsReadOnly(SettingsRecord& record, const PlatformFacts& platform) {
    record.SettingsFilePath = SettingsFilePathFor(platform);
    record.BackFilePath = JoinPath(platform.ProgramFolder, "Back.txt");
    record.ProgramFolderFd = platform.ProgramFolderFd;
    const std::string& path = record.SettingsFilePath;
    const FileAt settingsFile = ProgramFile(record, path);

    // IniFile reads a missing file as an empty one; here a missing file has a reason of its own.
    struct stat info {};
    if (::fstatat(settingsFile.Folder, settingsFile.Name.c_str(), &info, 0) != 0 && errno == ENOENT) {
        return path + " : " + kNoSettingsFile;
    }
    IniFile file;
    IniError error;
    if (!file.Load(settingsFile, &error)) {
        return path + " : INIﾌｧｲﾙ読み込みｴﾗｰ : " + error.Description;
    }
    switch (ReadSettings(file, record)) {
        // Each reason ends with the key to fix, its value and the values it takes.
        case ReadOutcome::ReadError:
            return path + " : " + kReadErrorText + " : " + NamedFault(file, record, RangeTest::None);
        case ReadOutcome::KeyMissing:
            return path + " : INIﾌｧｲﾙ読み込みｴﾗｰ : " + kReasonInvalid + " : " +
                   NamedFault(file, record, RangeTest::None);
        case ReadOutcome::Complete:
            if (!RangesHold(record, RangeTest::Range)) {
                return path + " : INIﾌｧｲﾙ読み込みｴﾗｰ : " + kReasonInvalid + " : " +
                       NamedFault(file, record, RangeTest::Range);
            }
            if (!RangesHold(record, RangeTest::Field)) {
                return path + " : INIﾌｧｲﾙ読み込みｴﾗｰ : " + kReasonInvalidField + " : " +
                       NamedFault(file, record, RangeTest::Field);
            }
            break;
    }
    if (record.SaveFolder.empty() || ::chdir(record.SaveFolder.c_str()) != 0) {
        return record.SaveFolder + " : 保存ﾌｫﾙﾀﾞが存在しません";
    }
    return {};
}

std::string DbConnectTooLong(const SettingsRecord& record) {
    if (FitsSettingValue(record.DbConnect)) {
        return {};
    }
    return std::string(kDbConnectKey) + " が長すぎます (" + std::to_string(Cp932Length(record.DbConnect)) +
           " ﾊﾞｲﾄ。" + std::to_string(kMaxSettingValueBytes) + " ﾊﾞｲﾄまでです)";
}

namespace {

// MailTls as written: 0 to 2 (0 also for a missing or empty value), -1 for anything else.
int WrittenMailTls(const SettingsRecord& record) {
    const std::string_view value = TrimBlanks(record.MailTls);
    if (value.empty()) {
        return 0;
    }
    return value.size() == 1 && value[0] >= '0' && value[0] <= '2' ? value[0] - '0' : -1;
}

}  // namespace

int MailTlsMode(const SettingsRecord& record) {
    const int written = WrittenMailTls(record);
    return written < 0 ? 1 : written;
}

std::string MailTlsWarning(const SettingsRecord& record) {
    if (WrittenMailTls(record) >= 0) {
        return {};
    }
    return std::string(kMailTlsKey) + " の値が正しくありません (" + VisibleText(record.MailTls) +
           ")。1 (STARTTLS 必須) として扱います";
}

void InitSettingsFile(SettingsRecord& record, const PlatformFacts& platform, const std::string& reason,
                      OperatorView& view) {
    // The file as it is goes aside first; without that copy the file is not rewritten.
    const std::string& path = record.SettingsFilePath;
    const std::string copy = path + kCopySuffix;
    const std::string copyName = std::filesystem::path(path).filename().string() + kCopySuffix;
    const bool exists = MayExist(ProgramFile(record, path));
    const int copyError = exists ? KeepCopy(ProgramFile(record, path), ProgramFile(record, copy)) : 0;
    std::string text = "INIﾌｧｲﾙ読み込みｴﾗｰ : " + reason +
                       "\r\nINIﾌｧｲﾙを初期化します\r\n保存ﾌｫﾙﾀﾞの初期値はﾏｲﾄﾞｷｭﾒﾝﾄﾌｫﾙﾀﾞです"
                       "\r\n運用に適したﾌｫﾙﾀﾞを再設定してください";
    if (exists) {
        text += copyError == 0 ? "\r\n元の設定は " + copyName + " に保存しました"
                               : "\r\n元の設定を " + copyName + " に保存できません (" +
                                     SystemErrorText(copyError) + ")。INIﾌｧｲﾙは書き換えません";
    }
    view.ShowMessage("File Read", text, MessageIcon::None);

    SetDefaultSettings(record);
    record.SaveFolder = DocumentsFolder(platform);
    if (copyError == 0) {
        WriteSettingsFile(record, view);
    }
}

bool WriteSettingsFile(const SettingsRecord& record, OperatorView& view, bool fromDialog) {
    // All keys go into one in-memory copy of the file, which then replaces the file in one step: a
    // failure part-way leaves the old file as it was.
    IniFile file;
    IniError error;
    const FileAt settingsFile = ProgramFile(record, record.SettingsFilePath);
    if (!file.Load(settingsFile, &error)) {
        ShowWriteError(view, error);
        return false;
    }
    for (const SettingKey& key : SettingsKeyOrder()) {
        const std::string value = TrimAtNul(SettingValueText(record, key));
        if (!file.Set(kAppTitle, key.Name, value)) {
            // Only a value that would not read back as one line of UTF-8 is refused.
            error.Code = IsValidUtf8(value) ? EINVAL : EILSEQ;
            error.Description = std::generic_category().message(error.Code);
            ShowWriteError(view, error);
            return false;
        }
    }
    // The optional keys are the dialog's to write, each when it has a value or a line of its own already.
    const auto writeOptional = [&](const char* key, const std::string& value) {
        return !fromDialog || (value.empty() && !file.Get(kAppTitle, key)) || file.Set(kAppTitle, key, value);
    };
    if (!writeOptional(kAfterUploadKey, record.AfterUpload) || !writeOptional(kMailTlsKey, record.MailTls)) {
        error.Code = EINVAL;
        error.Description = SystemErrorText(error.Code);
        ShowWriteError(view, error);
        return false;
    }
    if (!file.Save(settingsFile, &error)) {
        ShowWriteError(view, error);
        return false;
    }
    return true;
}

std::string ReadIniString(const std::string& key, const std::string& section, const std::string& defaultValue,
                          const std::string& filePath) {
    IniFile file;
    if (!file.Load(filePath)) {
        return TrimAtNul(CutToBuffer(defaultValue));
    }
    return ProfileValue(file, key, section, defaultValue);
}

bool WriteIniString(const std::string& value, const std::string& key, const std::string& section,
                    const std::string& filePath) {
    IniFile file;
    return file.Load(filePath) && file.Set(section, key, value) && file.Save(filePath);
}

std::string TrimAtNul(const std::string& text) {
    return text.substr(0, text.find('\0'));
}
