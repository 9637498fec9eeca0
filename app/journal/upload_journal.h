#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "run/upload_result.h"

struct sqlite3;

// One upload as the journal keeps it: the engine's result, and the outcome of the command that ran after
// it (both empty when none ran).
struct JournalEntry {
    int64_t Id = 0;
    UploadResult Upload;
    std::string Command;        // CommandWord (journal_words.h); "" for none
    std::string CommandDetail;  // the last line of its output, or why it did not run or was not followed
};

// Which entries to read. Times are milliseconds since the epoch; Until is exclusive.
struct JournalFilter {
    std::optional<int64_t> SinceMs;
    std::optional<int64_t> UntilMs;
    std::optional<std::string> Terminal;  // exactly this terminal ID
};

// Uploads, records and failed uploads of one local day ("YYYY-MM-DD").
struct JournalDay {
    std::string Day;
    int Uploads = 0;
    int Records = 0;
    int Failures = 0;
};

// The upload journal: Gathra-journal.sqlite in the program folder, one row per upload.
//
// Several processes may have one folder's journal open at once (an idle window, a collector, a
// `--history` reader): the file is in WAL mode, so readers never wait for the writer, and every
// connection waits up to a busy time-out for another's write. Each entry is committed with a sync of the
// write-ahead log (synchronous FULL) before Add returns.
//
// The file may come from anyone who could write the program folder, so only a journal as this program
// writes it is read: the schema runs no function with side effects (trusted_schema off), cannot be
// rewritten through SQL (defensive mode), and holds the table and indexes of a journal and nothing else
// (no view, trigger or other object). A journal of an older version, without the answer and store_state
// columns, is read as well; a writer adds them on its first write. Every read ends by the read limit (10 s)
// with the reason "履歴の読み込みが時間切れになりました"; writes are never cut short.
//
// A file that is damaged (not a database, failing its quick check, or with a schema that is not a
// journal's) is moved aside by a writer as "<name>.damaged-YYYYMMDD-HHMMSS" (its -wal and -shm files with
// it, through FileOps) and a new one is started; a reader leaves it where it is and says why. Entries
// older than 400 days are deleted when the journal is opened for writing and at most once a day after.
//
// The path may go through the held program folder ("/proc/self/fd/<n>/Gathra-journal.sqlite", so that
// SQLite's own files stay in the folder that was checked); Error() and MovedAside() name its real path.
//
// All calls are safe from any thread; a failure returns false (or nothing) and leaves its reason in
// Error(), which every read clears first. Nothing here ever shows anything.
class UploadJournal {
public:
    static constexpr const char* kFileName = "Gathra-journal.sqlite";
    static constexpr std::chrono::hours kRetention{24 * 400};
    static constexpr std::chrono::milliseconds kReadLimit{10000};

    explicit UploadJournal(std::string path, std::chrono::milliseconds readLimit = kReadLimit);
    ~UploadJournal();
    UploadJournal(const UploadJournal&) = delete;
    UploadJournal& operator=(const UploadJournal&) = delete;

    // The journal's path in a program folder.
    static std::string PathIn(const std::string& folder);

    // Opens (creating) the journal for writing and prunes it.
    bool OpenForWriting(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
    // Opens an existing journal to read. False when it is missing (Error() empty) or cannot be read.
    bool OpenForReading();
    bool IsOpen() const;

    // Writes one entry durably and returns its Id. Opens the journal first when it is not open.
    std::optional<int64_t> Add(const UploadResult& report,
                               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
    // Records the command's outcome on entry `id`.
    bool SetCommand(int64_t id, const std::string& command, const std::string& detail);
    // Deletes the entries older than the retention period.
    bool Prune(std::chrono::system_clock::time_point now);

    // Entries newest first; with `limit`, at most that many from the `offset`-th on. Nothing on a failure.
    std::optional<std::vector<JournalEntry>> Read(const JournalFilter& filter, int64_t offset = 0,
                                                  std::optional<int64_t> limit = std::nullopt);
    // Calls `each` for every entry Read would give, in its order, without keeping them. False on a failure.
    bool ForEach(const JournalFilter& filter, const std::function<void(const JournalEntry&)>& each);
    // How many entries Read would give.
    std::optional<int64_t> Count(const JournalFilter& filter);
    // One entry per local day of `days` (consecutive, "YYYY-MM-DD", oldest first), days without uploads
    // included.
    std::optional<std::vector<JournalDay>> Days(const std::vector<std::string>& days,
                                                const std::optional<std::string>& terminal);
    // Every terminal ID in the journal, sorted.
    std::optional<std::vector<std::string>> Terminals();

    const std::string& Path() const { return path_; }
    std::string Error() const;
    // The name a damaged file was moved to by the last open or Add; empty when none was.
    std::string MovedAside() const;

private:
    class ReadDeadline;
    static int Progress(void* journal);
    bool OpenLocked(bool write, std::chrono::system_clock::time_point now);
    bool PrepareLocked();
    bool CheckSchemaLocked();
    bool NotOpenLocked();
    bool MoveAsideLocked(std::chrono::system_clock::time_point now);
    bool ExecLocked(const char* sql);
    bool PruneLocked(std::chrono::system_clock::time_point now);
    std::optional<int64_t> InsertLocked(const UploadResult& report);
    bool Select(const JournalFilter& filter, int64_t offset, std::optional<int64_t> limit,
                const std::function<void(const JournalEntry&)>& each);
    void CloseLocked();
    bool FailLocked(const std::string& what);

    std::string path_;
    std::chrono::milliseconds readLimit_;
    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    bool writable_ = false;
    bool failedCheck_ = false;   // the last open's quick check or schema check found damage
    bool empty_ = false;         // the last open found a file without any schema
    bool resultColumns_ = true;  // the file has the answer and store_state columns
    std::optional<std::chrono::steady_clock::time_point> deadline_;  // of the read under way
    bool timedOut_ = false;                                          // the read under way ran out of time
    std::string error_;
    std::string movedAside_;
    std::chrono::system_clock::time_point lastPrune_{};
};
