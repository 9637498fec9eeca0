#pragma once

#include <string>

#include "settings/settings_record.h"

// Setting a collector instance up without a desktop (--init), checking it (--check), and the database
// password a service receives as a systemd credential.

// Writes a complete settings file into the program folder unless one exists (an existing file is never
// touched): every key at its default, except AutoStart=1 (a service serves upload after upload),
// SaveFolder=<folder>/out and MailTls=1 (mail only over TLS: a new site has no relay that needs less);
// makes out/ and ports/. Returns 0, or 2 with `report` saying why not. `report` gets one line per thing
// done or left alone.
int InitProgramFolder(const PlatformFacts& platform, std::string& report);

// What a run does before it opens the port, for the run and --check alike: reads the settings (never
// writing them), refuses a DbConnect too long and mail settings that would refuse every mail, makes the
// save folder the current directory and checks that it can be written. 0, or the run's exit code (2 for
// the settings, 4 for a save folder that is missing or not writable) with the reason.
int LoadRunSettings(const PlatformFacts& platform, SettingsRecord& settings, std::string& reason);

// A rehearsal of a run, reported one line each ("ok" or "NG" with the reason): the settings file, the
// save folder, another Gathra on the folder, then the run's own steps up to the terminal's enquiry (the
// database, the port and, in Mode 1, the adapter), and the mail server (it answers, when SendMail is 1).
// Returns exactly the exit code a run would give; a mail server that does not answer is only reported,
// since a run finds that out after an upload.
int CheckInstance(const PlatformFacts& platform, std::string& report);

// The database password of a service: the file "gathra-db-password" in $CREDENTIALS_DIRECTORY (where
// systemd puts what LoadCredential= names), added to DbConnect as PWD when DbConnect names a server
// database and holds no PWD of its own. Nothing changes without that variable or that file.
void AddCredentialPassword(SettingsRecord& settings);

// The name of the credential that holds the database password.
inline constexpr const char* kDatabasePasswordCredential = "gathra-db-password";
