#pragma once

#include <chrono>
#include <string>

// The answer the terminal was given at the end of an upload.
enum class FinalAnswer {
    None,       // nothing could be written: the device was gone, or there was no port
    Ack,        // "ACK" written and out (the device still there after it): the terminal clears its file
    Can,        // "CAN" written: the terminal keeps its file and sends it again
    AckNotOut,  // "ACK" written, but the device was gone before it was surely out
};

// What became of the upload's store.
enum class StoreState {
    NotReached,  // the upload ended before its store began (or its backup could not be made durable)
    Committed,   // the output holds the records and keeps them
    Undone,      // the store was given back: the output is as it was before the upload
    Failed,      // the store failed and left the output as it was
    UndoFailed,  // the store was to be given back and could not be: the output still holds the records
};

// The mail of a stored upload.
enum class MailOutcome {
    NotAsked,   // SendMail is off, or the store never got as far as the mail
    Sent,       // the server accepted it (a sent mail cannot be recalled)
    Failed,     // refused or not delivered to the server
    Cancelled,  // Stop (a close, SIGTERM) cancelled it part-way
};

// How the upload ended, in one word for people and scripts.
enum class UploadOutcome {
    Stored,      // the store was committed and kept (with a server database, also when the "ACK" was lost)
    Failed,      // bad lines, a time-out, a store, mail or final-answer failure
    Stopped,     // the operator (or a signal) stopped the run in the middle
    DeviceGone,  // the port's device went away in the middle (an unplugged cradle)
};

// One upload that got past the enquiry, decided by the engine where each thing happened and read by every
// observer as it is: the status text's end, the journal, the command after the upload (GATHRA_*), the
// collector's summary line and exit code, and the window. Texts are UTF-8.
struct UploadResult {
    std::chrono::system_clock::time_point Started;  // the terminal's enquiry answer was accepted
    std::chrono::system_clock::time_point Ended;    // the final answer went out
    int Port = 0;
    std::string TerminalId;
    int RecordsAnnounced = 0;
    std::string Format;  // the store's word: "text", "xls", "xlsx", "database" or "csv"
    std::string Output;  // the stored file's path, or the data source's label (never a password)
    std::string Table;   // the database table; empty for a file

    FinalAnswer Answer = FinalAnswer::None;
    StoreState Store = StoreState::NotReached;
    int RecordsStored = 0;  // the records the output keeps: 0 unless the store was committed and kept
    MailOutcome Mail = MailOutcome::NotAsked;
    UploadOutcome Outcome = UploadOutcome::Failed;
    // The status lines the operator was shown for the failure, in order, joined by " / "; empty for an
    // upload stored and answered "ACK".
    std::string FailureText;

    bool ReachedStore() const { return Store != StoreState::NotReached; }
};
