#pragma once

#include <string>

// The main window's run members shared with the upload engine, the writers and the mail dispatch.
// Read and written on the GUI thread only.
struct RunState {
    bool IsRunning = false;      // an upload run is in progress and has not been told to stop
    bool StopRequested = false;  // the operator asked for the stop (adds the stop line to the report)
    std::string OutputPath;      // full path of the output file or database file (UTF-8)
    std::string TableName;       // database table of the current upload (UTF-8)
    std::string MailErrorText;   // number, blank, description and source of the last mail failure
    std::string XlsErrorText;    // text of the workbook layer's last error
};
