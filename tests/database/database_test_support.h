#pragma once

#include <string>

#include "support/temp_folder.h"

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);

// Runs the sqlite3 client on `database` with `sql` on its standard input and returns its standard
// output (NULL shown as "NULL", columns joined by "|"); errors go to the test's standard error.
std::string RunSqlite(const std::string& database, const std::string& sql);
