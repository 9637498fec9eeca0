#pragma once

#include <string>

#include "settings/settings_record.h"

// Setting a collector instance up without a desktop (--init), checking it (--check), and the database
// password a service receives as a systemd credential.

// Writes a complete settings file into the program folder unless one exists (an existing file is never
// touched): every key at its default, except AutoStart=1 (a service serves upload after upload) and
// SaveFolder=<folder>/out; makes out/ and ports/. Returns 0, or 2 with `report` saying why not. `report`
// gets one line per thing done or left alone.
int InitProgramFolder(const PlatformFacts& platform, std::string& report);

// Reads the settings as a run does and reports each prerequisite in one line ("ok" or "NG" with the
// reason): the settings file, the save folder (writable), the database (a connection, when SaveFormat is
// 2), the port (it exists and can be opened), the mail server (it answers, when SendMail is 1). Returns
// the exit code a run would give: 2 for the settings, 4 for the save folder, the database or the mail
// server, 3 for the port, else 0.
int CheckInstance(const PlatformFacts& platform, std::string& report);

// The database password of a service: the file "gathra-db-password" in $CREDENTIALS_DIRECTORY (where
// systemd puts what LoadCredential= names), added to DbConnect as PWD when DbConnect names a server
// database and holds no PWD of its own. Nothing changes without that variable or that file.
void AddCredentialPassword(SettingsRecord& settings);

// The name of the credential that holds the database password.
inline constexpr const char* kDatabasePasswordCredential = "gathra-db-password";
