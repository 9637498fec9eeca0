#pragma once

#include <string>

#include "run/run_outcome.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// The exit codes of gathra-collect. A service manager tries again after 1, 3 and 4, and waits for the
// administrator after 2 and 64.
enum ExitCode {
    kExitStored = 0,        // stored (and mailed when asked), or stopped while waiting for a terminal
    kExitFailed = 1,        // the last upload failed or was stopped in the middle
    kExitSettings = 2,      // the settings file: missing, unreadable, a bad value; an unusable --folder
    kExitPort = 3,          // the port could not be opened (or the link library is missing)
    kExitPrerequisite = 4,  // the save folder, the SQLite file, the database server, another Gathra on the
                            // folder: may come back
    kExitUsage = 64,        // bad command line (EX_USAGE)
};

// The exit code of a run that ended with `outcome`, and the reason to give for a non-zero one: for a
// failed upload its own failure lines (`failure`: the writer's, the mail's, the link's, the refused
// enquiry's), for a port that did not open the line that says why (`lastAppended`), for a database the
// path it could not use. --check reaches the same codes through the same function.
int RunExitCode(RunOutcome outcome, const SettingsRecord& settings, const RunState& run,
                const std::string& failure, const std::string& lastAppended, std::string& reason);
