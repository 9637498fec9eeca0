#pragma once

#include <string>

#include "settings/settings_record.h"

class OperatorView;

// The settings store: Gathra.ini beside the executable, one section "Gathra".

// The settings file: the executable's name with ".ini", beside the executable.
std::string SettingsFilePathFor(const PlatformFacts& platform);

// Sets SettingsFilePath and BackFilePath from the platform facts, then reads, checks and (when broken)
// re-initialises the settings (InitSettingsFile). Reports through message boxes and the status text of
// `view`; may write the file and change the process's current directory to SaveFolder.
void LoadSettings(SettingsRecord& record, const PlatformFacts& platform, OperatorView& view);

// Reads and checks the settings as LoadSettings does, for a front end that must leave the file alone
// (gathra-collect): it never creates, repairs or rewrites the file and tells nobody. Sets SettingsFilePath
// and BackFilePath; on success makes SaveFolder the current directory and returns an empty text.
// Otherwise returns the reason: the file is missing or unreadable, a key is missing, a value is out of
// range or too large for its type, or the save folder cannot be entered.
std::string LoadSettingsReadOnly(SettingsRecord& record, const PlatformFacts& platform);

// DbConnect is never cut like the other values: a cut connection string may connect elsewhere, or
// without the encryption its tail asked for. A value longer than 254 bytes of CP932 is refused instead:
// this returns the reason, "DbConnect が長すぎます (<n> ﾊﾞｲﾄ。254 ﾊﾞｲﾄまでです)", or an empty text.
std::string DbConnectTooLong(const SettingsRecord& record);

// MailTls as a number: 0 when missing or empty, 0 to 2 as written, and 1 (STARTTLS required, the safe
// choice) for any other value.
int MailTlsMode(const SettingsRecord& record);
// The status line for a MailTls value other than 0 to 2, or an empty text.
std::string MailTlsWarning(const SettingsRecord& record);

// Keeps the file as it is beside it as "Gathra.ini.bak" (the latest copy, with the file's mode and owner),
// tells the operator (the reason "ﾊﾟﾗﾒｰﾀ不正" or "ﾊﾟﾗﾒｰﾀ不正(ﾌｨｰﾙﾄﾞ)" with the key to fix, as
// "ﾊﾟﾗﾒｰﾀ不正 : Port=0 (1–255)", and where the copy went), sets every setting to its default and writes the
// whole file. When the copy cannot be made the box says why and the file is not rewritten.
void InitSettingsFile(SettingsRecord& record, const PlatformFacts& platform, const std::string& reason,
                      OperatorView& view);

// Writes every key in SettingsKeyOrder in one atomic replacement of SettingsFilePath, with `fromDialog`
// (the settings dialog's save) the optional AfterUpload and MailTls too. On failure shows the "File Write
// Error" box, leaves the old file intact and returns false.
bool WriteSettingsFile(const SettingsRecord& record, OperatorView& view, bool fromDialog = false);

// Private-profile reads and writes (section and key names compare without regard to case).
std::string ReadIniString(const std::string& key, const std::string& section, const std::string& defaultValue,
                          const std::string& filePath);
bool WriteIniString(const std::string& value, const std::string& key, const std::string& section,
                    const std::string& filePath);

// The text up to, not including, its first NUL.
std::string TrimAtNul(const std::string& text);
