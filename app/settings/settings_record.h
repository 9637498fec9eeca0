#pragma once

#include <array>
#include <cstdint>
#include <string>

// The process-wide settings: one field per key of Gathra.ini plus the two paths derived at start-up.
// Texts are UTF-8 (the settings file's encoding on this platform). Numbers start at zero and texts
// empty, as before LoadSettings has run.
struct SettingsRecord {
    std::string SaveFolder;
    int32_t Baud = 0;
    int16_t Port = 0;
    int16_t Mode = 0;
    int16_t CrcType = 0;
    int16_t OverWrite = 0;
    int16_t StartUpSize = 0;
    int16_t AutoStart = 0;
    int16_t Protocol = 0;
    int16_t SendMail = 0;
    std::string MailAddress;
    std::string MailSub;
    std::string FromMailAddress;
    std::string MailServer;
    // Include flags of record fields 1..20, indexed by the field number; element 0 is unused.
    std::array<int16_t, 21> XlsField{};
    int16_t AddDate = 0;
    std::string FixFname;
    std::string TimeAdjust;  // a number kept in its shortest decimal text form ("1", "0.5")
    int16_t SaveFormat = 0;
    int16_t XlsType = 0;
    std::string XlsTemp;
    int16_t XlsF1 = 0;
    int32_t XlsStartLine = 0;
    int16_t MdbType = 0;
    std::string MdbName;
    std::string MdbTblName;
    // Optional, not one of the keys above: an ODBC connection string for a server database. Read when
    // present, never written; empty (or missing) means the SQLite file of MdbName.
    std::string DbConnect;

    // Not keys: set at start-up.
    std::string SettingsFilePath;  // program folder + "/" + executable name + ".ini"
    std::string BackFilePath;      // program folder + "/Back.txt"
};

// What the settings store needs to know about the platform; the shell fills it in.
struct PlatformFacts {
    std::string ProgramFolder;    // folder of the executable, no trailing "/"
    std::string ExecutableName;   // base name of the executable ("Gathra")
    std::string DocumentsFolder;  // the user's documents folder; empty when it cannot be named
    bool IsOs6OrLater = true;
};

// Save formats (SaveFormat).
enum : int16_t { kSaveFormatText = 0, kSaveFormatXls = 1, kSaveFormatMdb = 2 };

// The application title: section name of the settings file and the default message box title.
inline constexpr const char* kAppTitle = "Gathra";

// The database format with a server database: SaveFormat 2 and a non-empty DbConnect (an ODBC
// connection string). MdbName and MdbType are then not used.
inline bool UsesServerDatabase(const SettingsRecord& settings) {
    return settings.SaveFormat == kSaveFormatMdb && !settings.DbConnect.empty();
}
