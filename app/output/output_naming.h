#pragma once

#include <string>
#include <string_view>

#include "output/output_store.h"
#include "run/pc_clock.h"
#include "settings/settings_record.h"

// Output naming shared by the stores: where an upload is stored and what the file label shows. Every text
// here is UTF-8; a terminal ID arrives already decoded from CP932. Paths use "/" where the save folder is
// joined.

// The date as yyyymmdd and the time as hhnn, as they appear in file names.
std::string DateDigits(const PcDateTime& now);
std::string TimeDigits(const PcDateTime& now);
// The 14 digits yyyymmddhhnnss of the clock command "TW".
std::string ClockDigits(const PcDateTime& now);

// `folder` without one trailing "/" (only one: "a//" becomes "a/").
std::string DropTrailingSlash(std::string_view folder);

// A terminal ID that may become part of a file or table name: not empty, no "/" and no control byte
// (0x00 to 0x1F, 0x7F), so a terminal can never make Gathra write outside the save folder nor put a line
// break or an escape sequence into a name. Holds for the ID's CP932 bytes as well as for its UTF-8 text:
// neither encoding uses these bytes inside a multi-byte character.
bool IsUsableTerminalId(std::string_view terminalId);

// True when a file store's name holds the terminal ID: FixFname empty and AddDate 0, 3 or 4.
bool FileNameUsesTerminalId(const SettingsRecord& settings);

// A file store's output: the relative name "/" + name + `extension` built by AddDate, appended directly to
// the save folder; the file label is the relative name.
OutputName NameOutputFile(const SettingsRecord& settings, std::string_view terminalId, const PcDateTime& now,
                          std::string_view extension);
