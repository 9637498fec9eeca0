#pragma once

#include <atomic>
#include <string>

// The run members shared by the front end (the main window, gathra-collect) with the upload engine, the
// writers and the mail dispatch. IsRunning and StopRequested are set by the front end while the engine
// reads them, so they are atomic; the other members belong to the engine while a run is in progress.
struct RunState {
    std::atomic<bool> IsRunning = false;      // a run is in progress and has not been told to stop
    std::atomic<bool> StopRequested = false;  // the operator asked for the stop (adds the stop line)
    std::string OutputPath;                   // full path of the output file or database file (UTF-8)
    std::string TableName;                    // database table of the current upload (UTF-8)
    std::string MailErrorText;  // number, blank, description and source of the last mail that failed
};
