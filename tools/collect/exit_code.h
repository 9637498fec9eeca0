#pragma once

#include <string>

#include "console_view.h"
#include "run/run_outcome.h"
#include "run/run_state.h"
#include "run/upload_report.h"
#include "settings/settings_record.h"

// How gathra-collect ends: a service manager tries again after 1, 3 and 4, and waits for the administrator
// after 2 and 64.
enum ExitCode {
    kExitStored = 0,        // stored (and mailed when asked), or stopped while waiting for a terminal
    kExitFailed = 1,        // the last upload failed or was stopped in the middle
    kExitSettings = 2,      // the settings file: missing, unreadable, a bad value; an unusable --folder
    kExitPort = 3,          // the port could not be opened (or the link library is missing)
    kExitPrerequisite = 4,  // the save folder, the SQLite file or the database server: may come back
    kExitUsage = 64,        // bad command line (EX_USAGE)
};

// The exit code of an ended run, and the reason to give for a non-zero one: for a failed upload its own
// failure lines (the writer's, the mail's, the link's), for a port that did not open the line that says
// why.
int ExitCodeFor(RunOutcome outcome, const SettingsRecord& settings, const RunState& run,
                const UploadReport& lastUpload, const ConsoleView& view, std::string& reason);
