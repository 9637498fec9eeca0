#pragma once

#include <string>
#include <string_view>
#include <vector>

// Reading an ODBC connection string ("DSN=central;UID=gathra;PWD=..." or "Driver={PostgreSQL Unicode};
// Server=db1;Port=5432;Database=stock") for what the operator may see. The password never leaves
// these functions: everything shown of a data source is built from the other attributes.

struct ConnectionAttribute {
    std::string Key;    // as written
    std::string Value;  // braces of a {...} value removed
};

// The attributes in order. A value in braces may hold ";" and "}}" stands for "}"; an empty part
// (";;") is skipped; a part without "=" is a key with an empty value.
std::vector<ConnectionAttribute> ParseOdbcConnectionString(std::string_view text);

// True for the keys drivers read a password from (PWD, Password, any case).
bool IsPasswordKey(std::string_view key);

// The data source as shown in the file label and the messages: the DSN's name; otherwise the server
// (with ":" and the port when one is given) and "/" and the database; otherwise the database (a file
// for SQLite), or the driver's name. Never a password.
std::string DataSourceLabel(std::string_view connectionString);

// `text` with every password of the connection string replaced by "****": for driver messages, which
// are not ours and might repeat what they were given.
std::string HidePasswords(std::string text, std::string_view connectionString);
