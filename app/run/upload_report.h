#pragma once

#include <chrono>
#include <string>

// How one upload that got past the enquiry ended, as the terminal was told.
enum class UploadOutcome {
    Stored,      // stored (and mailed when asked): the terminal got "ACK"
    Failed,      // bad lines, a time-out, a store or mail failure: "CAN"
    Stopped,     // the operator (or a signal) stopped the run in the middle
    DeviceGone,  // the port's device went away in the middle (an unplugged cradle)
};

// The mail of a stored upload.
enum class MailOutcome { NotSent, Sent, Failed };

// What the engine tells its front end about each upload that got past the enquiry, once the terminal has
// its final answer: the journal keeps it, the command after the upload gets it in its environment, and a
// window may show it. Texts are UTF-8.
struct UploadReport {
    std::chrono::system_clock::time_point Started;  // the terminal's enquiry answer was accepted
    std::chrono::system_clock::time_point Ended;    // the final answer went out
    int Port = 0;
    std::string TerminalId;
    int RecordsAnnounced = 0;
    int RecordsStored = 0;  // records the store took; 0 when it did not run or failed
    std::string Format;     // "text", "xls" or "database"
    std::string Output;     // the stored file's path, or the data source's label (never a password)
    std::string Table;      // the database table; empty for a file
    UploadOutcome Outcome = UploadOutcome::Failed;
    std::string FailureText;  // the status lines the operator was shown for the failure, joined by " / "
    MailOutcome Mail = MailOutcome::NotSent;
    bool ReachedStore = false;  // the writer ran, whatever its result
};
