#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The connection string names the database engine ("Provider=...;") and the database file
// ("Data Source=" and the path, up to the end of the string). The writer builds it from the settings and
// the database layer parses it again to decide what to open, so the string is the one place that says
// which file is written.
//
// Both providers open an SQLite 3 database file; the second name is kept for the "ACCESS 97" choice of
// the settings (MdbType other than 0) so that an operator reading a message can tell the two apart.
inline constexpr std::string_view kProviderCurrent = "SQLite3";
inline constexpr std::string_view kProviderLegacy = "SQLite3.Legacy";

enum class DatabaseProvider { Current, Legacy };

// "Provider=SQLite3;" for MdbType 0, "Provider=SQLite3.Legacy;" for any other value, then
// "Data Source=" and the path; nothing between the parts, nothing after the path.
std::string BuildConnectionString(int16_t mdbType, std::string_view databasePath);

struct ConnectionTarget {
    DatabaseProvider Provider = DatabaseProvider::Current;
    std::string DataSource;  // the database path, byte for byte as it was put in
};

// Parses a string of the form above. The provider name ends at the first ";" (it never holds one);
// the path is everything after "Data Source=", so a path may itself hold ";" or "=". Returns nothing
// (and a reason in `why`, when given) for an unknown provider, a missing part or an empty path.
std::optional<ConnectionTarget> ParseConnectionString(std::string_view text, std::string* why = nullptr);
