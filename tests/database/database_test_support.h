#pragma once

#include <string>

#include "support/temp_folder.h"

// Runs the sqlite3 client on `database` with `sql` on its standard input and returns its standard
// output (NULL shown as "NULL", columns joined by "|"); errors go to the test's standard error.
std::string RunSqlite(const std::string& database, const std::string& sql);
