#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "codec/checksum_coverage.h"
#include "common/file_ops.h"

// The enumerated keys keep the number stored in the file: a value outside the named ones (possible
// after a read error, or for SendMail at any time) is kept as read, matches none of the names and is
// written back unchanged.

// How the port reaches the terminal (key Mode); the link library takes the number itself.
enum class LinkMode : int16_t { Direct = 0, Adapter = 1 };

// How records arrive (key Protocol): framed with sequence and checksum, or as plain lines.
enum class UploadProtocol : int16_t { Dedicated = 0, Simple = 1 };

// A key that is on only when it holds 1 (AutoStart, SendMail).
enum class Switch : int16_t { Off = 0, On = 1 };

// Per record field 1..20 (element i is field i+1): 1 selects the field, any other value leaves it out.
using FieldSelection = std::array<int16_t, 20>;

// The process-wide settings: one field per key of Gathra.ini plus the two paths derived at start-up.
// Texts are UTF-8 (the settings file's encoding on this platform). Numbers start at zero and texts
// empty, as before LoadSettings has run.
struct SettingsRecord {
    std::string SaveFolder;
    int32_t Baud = 0;
    int16_t Port = 0;
    LinkMode Mode = LinkMode::Direct;
    ::ChecksumCoverage ChecksumCoverage = ::ChecksumCoverage::WholeFrame;  // key CrcType
    int16_t OverWrite = 0;
    int16_t StartUpSize = 0;
    Switch AutoStart = Switch::Off;  // On: one upload after another until stopped
    UploadProtocol Protocol = UploadProtocol::Dedicated;
    Switch SendMail = Switch::Off;  // On: the saved upload is mailed
    std::string MailAddress;
    std::string MailSub;
    std::string FromMailAddress;
    std::string MailServer;
    // Keys XlsField1..20: the fields every writer (text, workbook, database) takes from a record.
    FieldSelection SelectedFields{};
    int16_t AddDate = 0;
    std::string FixFname;
    std::string TimeAdjust;  // a number kept in its shortest decimal text form ("1", "0.5")
    int16_t SaveFormat = 0;
    int16_t XlsType = 0;
    std::string XlsTemp;
    int16_t XlsF1 = 0;
    int32_t XlsStartLine = 0;
    int16_t MdbType = 0;
    std::string DatabaseName;  // key MdbName: the database file name without ".mdb"
    std::string MdbTblName;
    // Optional, not one of the keys above: an ODBC connection string for a server database. Read when
    // present, never written; empty (or missing) means the SQLite file of DatabaseName.
    std::string DbConnect;
    // Optional: a command line run through /bin/sh -c after each upload that reached its store. Read
    // when present and kept as read, even when too long (it is then refused, never cut); written only
    // by the settings dialog.
    std::string AfterUpload;
    // Optional: how mail is protected on its way, "0" (also when missing or empty) STARTTLS when the
    // server offers it, "1" STARTTLS required, "2" implicit TLS. Kept as read; never written by the
    // store, written by the settings dialog. See MailTlsMode.
    std::string MailTls;

    // Not keys: set at start-up.
    std::string SettingsFilePath;    // program folder + "/" + executable name + ".ini"
    std::string BackFilePath;        // program folder + "/Back.txt"
    int ProgramFolderFd = AT_FDCWD;  // the held program folder (PlatformFacts); AT_FDCWD: none is held
};

// What the settings store needs to know about the platform; the shell fills it in.
struct PlatformFacts {
    std::string ProgramFolder;    // the program folder's real path, no trailing "/" (for texts)
    std::string ExecutableName;   // base name of the executable ("Gathra")
    std::string DocumentsFolder;  // the user's documents folder; empty when it cannot be named
    // The program folder held open (ProgramFolder in common/program_folder.h): its files are opened
    // through it. AT_FDCWD when none is held (tests): then by the path above.
    int ProgramFolderFd = AT_FDCWD;
};

// A file of the program folder known by its path in `record` (SettingsFilePath, BackFilePath): its name
// in the held folder, or that path when no folder is held.
inline FileAt ProgramFile(const SettingsRecord& record, const std::string& path) {
    if (record.ProgramFolderFd == AT_FDCWD) {
        return FileAt(path);
    }
    return FileAt(record.ProgramFolderFd, path.substr(path.find_last_of('/') + 1));
}

// The program folder as a path for code that only takes paths (the link library, SQLite): through the
// held folder's descriptor ("/proc/self/fd/<n>"), or its real path when none is held.
inline std::string ProgramFolderPath(const PlatformFacts& platform) {
    return platform.ProgramFolderFd == AT_FDCWD ? platform.ProgramFolder
                                                : PathOf(FileAt(platform.ProgramFolderFd, "."));
}

// Save formats (SaveFormat).
enum : int16_t { kSaveFormatText = 0, kSaveFormatXls = 1, kSaveFormatMdb = 2 };

// The workbook version (XlsType) that writes an .xlsx book; 0..3 write .xls.
inline constexpr int16_t kXlsTypeXlsx = 4;

// The application title: section name of the settings file and the default message box title.
inline constexpr const char* kAppTitle = "Gathra";

// The database format with a server database: SaveFormat 2 and a non-empty DbConnect (an ODBC
// connection string). DatabaseName and MdbType are then not used.
inline bool UsesServerDatabase(const SettingsRecord& settings) {
    return settings.SaveFormat == kSaveFormatMdb && !settings.DbConnect.empty();
}
