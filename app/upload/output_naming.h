#pragma once

#include <string>
#include <string_view>

#include "settings/settings_record.h"
#include "upload/upload_engine.h"

// Output naming: where an upload is stored and what the file label shows. Every text here is UTF-8; a
// terminal ID arrives already decoded from CP932. Paths use "/" where the save folder is joined.

// The date as yyyymmdd and the time as hhnn, as they appear in file names.
std::string DateDigits(const PcDateTime& now);
std::string TimeDigits(const PcDateTime& now);
// The 14 digits yyyymmddhhnnss of the clock command "TW".
std::string ClockDigits(const PcDateTime& now);

// `folder` without one trailing "/" (only one: "a//" becomes "a/").
std::string DropTrailingSlash(std::string_view folder);

// True when the terminal ID becomes part of a name under these settings: the file name (FixFname empty
// and AddDate 0, 3 or 4) or, for the database, the table name (MdbTblName empty).
bool NameUsesTerminalId(const SettingsRecord& settings);

// A terminal ID that may become part of a file or table name: not empty, no "/" and no control byte
// (0x00 to 0x1F, 0x7F), so a terminal can never make Gathra write outside the save folder nor put a line
// break or an escape sequence into a name. Holds for the ID's CP932 bytes as well as for its UTF-8 text:
// neither encoding uses these bytes inside a multi-byte character.
bool IsUsableTerminalId(std::string_view terminalId);

struct OutputName {
    std::string OutputPath;  // text and spreadsheet formats only
    std::string TableName;   // database format only
    std::string FileLabel;
};

// Text (SaveFormat 0) and spreadsheet (1): the relative name "/" + name + extension built by AddDate,
// appended directly to the save folder; the file label is the relative name.
OutputName NameOutputFile(const SettingsRecord& settings, std::string_view terminalId, const PcDateTime& now);

// Database (SaveFormat 2): the table is MdbTblName, or the terminal ID when that is empty; the label is
// the database path, CR LF, "ﾃｰﾌﾞﾙ : " and the table.
OutputName NameDatabaseTable(const SettingsRecord& settings, std::string_view databasePath,
                             std::string_view terminalId);
