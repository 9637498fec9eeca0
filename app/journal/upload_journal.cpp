#include "journal/upload_journal.h"

#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <utility>

#include "common/file_ops.h"
#include "common/held_folder_vfs.h"
#include "common/program_folder.h"
#include "common/system_error.h"
#include "common/visible_text.h"
#include "journal/history_text.h"
#include "journal/journal_words.h"

namespace {

// How long a connection waits for another process's write before it gives up.
constexpr int kBusyTimeoutMs = 2000;
// How many virtual machine steps SQLite takes between two looks at a read's deadline.
constexpr int kProgressSteps = 1000;

constexpr const char* kReadTimedOut = "履歴の読み込みが時間切れになりました";
constexpr const char* kNotOurSchema = "Gathraの履歴ﾌｧｲﾙにない定義があります";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS uploads ("
    " id INTEGER PRIMARY KEY,"
    " started INTEGER NOT NULL,"  // milliseconds since the epoch
    " ended INTEGER NOT NULL,"
    " port INTEGER NOT NULL,"
    " terminal TEXT NOT NULL,"
    " announced INTEGER NOT NULL,"
    " stored INTEGER NOT NULL,"
    " format TEXT NOT NULL,"
    " output TEXT NOT NULL,"
    " output_table TEXT NOT NULL,"
    " outcome TEXT NOT NULL,"  // stored, failed, stopped, device-gone
    " failure TEXT NOT NULL,"
    " mail TEXT NOT NULL,"  // "", sent, failed, cancelled
    " command TEXT NOT NULL DEFAULT '',"
    " command_detail TEXT NOT NULL DEFAULT '',"
    " answer TEXT NOT NULL DEFAULT '',"        // ack, can, none, ack-not-out; '' in older entries
    " store_state TEXT NOT NULL DEFAULT '');"  // committed, undone, failed, undo-failed, not-reached

    "CREATE INDEX IF NOT EXISTS uploads_started ON uploads(started);"
    "CREATE INDEX IF NOT EXISTS uploads_terminal ON uploads(terminal, started);";

// The journal as versions before the answer and store_state columns made it. Their files hold this schema
// to the byte, so it never changes.
constexpr const char* kOlderSchema =
    "CREATE TABLE IF NOT EXISTS uploads ("
    " id INTEGER PRIMARY KEY,"
    " started INTEGER NOT NULL,"
    " ended INTEGER NOT NULL,"
    " port INTEGER NOT NULL,"
    " terminal TEXT NOT NULL,"
    " announced INTEGER NOT NULL,"
    " stored INTEGER NOT NULL,"
    " format TEXT NOT NULL,"
    " output TEXT NOT NULL,"
    " output_table TEXT NOT NULL,"
    " outcome TEXT NOT NULL,"
    " failure TEXT NOT NULL,"
    " mail TEXT NOT NULL,"
    " command TEXT NOT NULL DEFAULT '',"
    " command_detail TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX IF NOT EXISTS uploads_started ON uploads(started);"
    "CREATE INDEX IF NOT EXISTS uploads_terminal ON uploads(terminal, started);";

// What a writer adds to a journal of kOlderSchema on its first write; the older entries keep '' there.
constexpr const char* kAddResultColumns =
    "ALTER TABLE uploads ADD COLUMN answer TEXT NOT NULL DEFAULT '';"
    "ALTER TABLE uploads ADD COLUMN store_state TEXT NOT NULL DEFAULT '';";

// What sqlite_schema of a journal Gathra wrote holds, in the order of the query below.
constexpr const char* kSchemaObjects =
    "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY type, name";

// The columns an entry is read from; a journal of an older version lacks the last two (read as '').
constexpr const char* kColumns =
    "id, started, ended, port, terminal, announced, stored, format, output, output_table, outcome, failure, "
    "mail, command, command_detail, ";
constexpr const char* kResultColumns = "answer, store_state";
constexpr const char* kOlderResultColumns = "'', ''";

int64_t Millis(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMillis(int64_t ms) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

bool IsDamage(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// A prepared statement, finalized on every path.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text != nullptr ? std::string(text, sqlite3_column_bytes(stmt_, column)) : std::string();
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// Steps `statement` through its rows, calling `row` for each; false unless it ran to its end.
template <typename Row>
bool EachRow(const Statement& statement, Row row) {
    if (!statement) {
        return false;
    }
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        row();
    }
    return step == SQLITE_DONE;
}

// One object of a schema: "type name" for a person ("view uploads"), and all that defines it.
struct SchemaObject {
    std::string Label;
    std::string Definition;
    bool operator==(const SchemaObject& other) const { return Definition == other.Definition; }
};

// The objects of a schema, or nothing when they cannot be read.
std::optional<std::vector<SchemaObject>> SchemaObjects(sqlite3* db) {
    Statement select(db, kSchemaObjects);
    std::vector<SchemaObject> objects;
    const bool read = EachRow(select, [&] {
        const std::string label = select.Text(0) + " " + select.Text(1);
        objects.push_back({VisibleText(label), label + '\0' + select.Text(2) + '\0' + select.Text(3)});
    });
    return read ? std::optional(objects) : std::nullopt;
}

// One schema a journal of this program or of an older version has, and whether it has the result's columns.
struct SchemaShape {
    std::vector<SchemaObject> Objects;
    bool ResultColumns = false;

    bool Holds(const SchemaObject& object) const {
        return std::find(Objects.begin(), Objects.end(), object) != Objects.end();
    }
};

// The objects `sql` makes in a new journal in memory.
std::vector<SchemaObject> ObjectsMadeBy(std::initializer_list<const char*> sql) {
    sqlite3* db = nullptr;
    std::vector<SchemaObject> found;
    bool made =
        sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, nullptr) == SQLITE_OK;
    for (const char* statements : sql) {
        made = made && sqlite3_exec(db, statements, nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    if (made) {
        found = SchemaObjects(db).value_or(std::vector<SchemaObject>{});
    }
    sqlite3_close_v2(db);
    return found;
}

// The schemas of a journal as this program makes it, as older versions made it, and as this program leaves
// an older one after its first write. Each is read from a new journal in memory, so that the comparison
// follows kSchema wherever it changes; a change of kSchema adds the shape it leaves older files in.
const std::vector<SchemaShape>& OurSchemaShapes() {
    static const std::vector<SchemaShape> shapes = {
        {ObjectsMadeBy({kSchema}), true},
        {ObjectsMadeBy({kOlderSchema}), false},
        {ObjectsMadeBy({kOlderSchema, kAddResultColumns}), true},
    };
    return shapes;
}

std::string LocalStamp(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

UploadJournal::UploadJournal(std::string path, std::chrono::milliseconds readLimit)
    : path_(std::move(path)), readLimit_(readLimit) {}

UploadJournal::~UploadJournal() {
    std::lock_guard lock(mutex_);
    CloseLocked();
}

std::string UploadJournal::PathIn(const std::string& folder) {
    if (folder.empty()) {
        return kFileName;
    }
    return folder.back() == '/' ? folder + kFileName : folder + "/" + kFileName;
}

bool UploadJournal::IsOpen() const {
    std::lock_guard lock(mutex_);
    return db_ != nullptr;
}

std::string UploadJournal::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::string UploadJournal::MovedAside() const {
    std::lock_guard lock(mutex_);
    return movedAside_;
}

void UploadJournal::CloseLocked() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool UploadJournal::FailLocked(const std::string& what) {
    if (timedOut_) {
        error_ = kReadTimedOut;
        return false;
    }
    error_ = ShownPath(what);
    if (db_ != nullptr) {
        error_ += " : " + VisibleText(sqlite3_errmsg(db_));
    }
    return false;
}

int UploadJournal::Progress(void* journal) {
    auto* self = static_cast<UploadJournal*>(journal);
    if (self->deadline_ && std::chrono::steady_clock::now() >= *self->deadline_) {
        self->timedOut_ = true;
        return 1;  // SQLite ends the statement with SQLITE_INTERRUPT
    }
    return 0;
}

// Bounds the reads of one call by the journal's read limit; writes are never cut short.
class UploadJournal::ReadDeadline {
public:
    explicit ReadDeadline(UploadJournal& journal) : journal_(journal) {
        journal_.timedOut_ = false;
        journal_.error_.clear();
        journal_.deadline_ = std::chrono::steady_clock::now() + journal_.readLimit_;
    }
    ~ReadDeadline() { journal_.deadline_.reset(); }
    ReadDeadline(const ReadDeadline&) = delete;
    ReadDeadline& operator=(const ReadDeadline&) = delete;

private:
    UploadJournal& journal_;
};

bool UploadJournal::ExecLocked(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool UploadJournal::OpenForWriting(std::chrono::system_clock::time_point now) {
    std::lock_guard lock(mutex_);
    return OpenLocked(true, now);
}

bool UploadJournal::OpenForReading() {
    std::lock_guard lock(mutex_);
    ReadDeadline deadline(*this);
    return OpenLocked(false, {});
}

bool UploadJournal::OpenLocked(bool write, std::chrono::system_clock::time_point now) {
    CloseLocked();
    error_.clear();
    movedAside_.clear();
    writable_ = write;
    const int flags =
        (write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
    if (!write && ::access(path_.c_str(), F_OK) != 0) {
        return false;  // no journal yet: nothing to read, and nothing wrong
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        failedCheck_ = false;
        // SQLite opens the file (and its -wal and -shm) itself: a named pipe there would hold its first
        // read for good. Only a regular file, or none yet, is handed to it; anything else is left alone.
        if (const int special = CheckRegularOrAbsent(path_); special != 0) {
            error_ = ShownPath(path_) + " : " + SystemErrorText(special);
            return false;
        }
        const int opened = sqlite3_open_v2(path_.c_str(), &db_, flags, HeldFolderVfsFor(path_));
        if (opened == SQLITE_OK) {
            sqlite3_busy_timeout(db_, kBusyTimeoutMs);
            // The file may come from anyone who could write the folder: its schema never runs functions
            // with side effects, never writes the schema itself, and no read outlasts its deadline.
            sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
            sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
            sqlite3_progress_handler(db_, kProgressSteps, &UploadJournal::Progress, this);
            if (PrepareLocked()) {
                return !write || PruneLocked(now);
            }
        }
        const int code = db_ != nullptr ? sqlite3_extended_errcode(db_) : opened;
        if (!write && empty_) {
            CloseLocked();
            return false;  // nothing written yet: nothing to read, and nothing wrong
        }
        if (!failedCheck_ || error_.empty()) {
            FailLocked(path_);
        }
        CloseLocked();
        // A damaged file is moved aside once and a new journal started; a reader leaves it alone.
        if (!write || attempt > 0 || !(IsDamage(code) || failedCheck_) || !MoveAsideLocked(now)) {
            return false;
        }
    }
    return false;
}

bool UploadJournal::PrepareLocked() {
    if (!writable_) {
        return CheckSchemaLocked();
    }
    // quick_check reads every page once: a damaged file is found at the start, not by the first upload.
    {
        Statement check(db_, "PRAGMA quick_check(1)");
        if (!check || sqlite3_step(check.get()) != SQLITE_ROW) {
            return false;
        }
        if (check.Text(0) != "ok") {
            failedCheck_ = true;
            return false;
        }
    }
    if (!CheckSchemaLocked()) {
        return false;
    }
    // One transaction: a reader never finds the table without its indexes, nor half the result's columns.
    // The schema is checked again inside it, where no other writer can be changing it.
    if (!ExecLocked("PRAGMA journal_mode=WAL") || !ExecLocked("PRAGMA synchronous=FULL") ||
        !ExecLocked("BEGIN IMMEDIATE")) {
        return false;
    }
    // On a failure the caller closes the connection, which rolls the transaction back.
    if (!ExecLocked(kSchema) || !CheckSchemaLocked() || !(resultColumns_ || ExecLocked(kAddResultColumns)) ||
        !ExecLocked("COMMIT")) {
        return false;
    }
    resultColumns_ = true;
    return true;
}

// Accepts the schema of a journal this program or an older version wrote, and notes whether it has the
// result's columns; anything else is damage.
bool UploadJournal::CheckSchemaLocked() {
    empty_ = false;
    const auto objects = SchemaObjects(db_);
    if (!objects) {
        return false;
    }
    if (objects->empty()) {
        empty_ = true;  // a new file: the writer makes the schema, a reader finds nothing to read
        return writable_;
    }
    const std::vector<SchemaShape>& shapes = OurSchemaShapes();
    for (const SchemaObject& object : *objects) {
        if (std::none_of(shapes.begin(), shapes.end(),
                         [&](const SchemaShape& s) { return s.Holds(object); })) {
            failedCheck_ = true;
            error_ = ShownPath(path_) + " : " + kNotOurSchema + " (" + object.Label + ")";
            return false;
        }
    }
    for (const SchemaShape& shape : shapes) {
        if (objects->size() == shape.Objects.size() &&
            std::all_of(objects->begin(), objects->end(),
                        [&](const SchemaObject& o) { return shape.Holds(o); })) {
            resultColumns_ = shape.ResultColumns;
            return true;
        }
    }
    failedCheck_ = true;
    error_ = ShownPath(path_) + " : " + kNotOurSchema;
    return false;
    return true;
}

bool UploadJournal::MoveAsideLocked(std::chrono::system_clock::time_point now) {
    if (now == std::chrono::system_clock::time_point{}) {
        now = std::chrono::system_clock::now();
    }
    const std::string aside = path_ + ".damaged-" + LocalStamp(now);
    if (FileOps().Rename(path_, aside) != 0) {
        error_ = ShownPath(path_) + " : " + SystemErrorText(errno);
        return false;
    }
    // A -wal left behind would be replayed into the new journal: the file is put back unless its -wal and
    // -shm went with it.
    for (const char* suffix : {"-wal", "-shm"}) {
        if (FileOps().Rename(path_ + suffix, aside + suffix) != 0 && errno != ENOENT) {
            error_ = ShownPath(path_ + suffix) + " : " + SystemErrorText(errno);
            if (std::string(suffix) == "-shm") {
                FileOps().Rename(aside + "-wal", path_ + "-wal");
            }
            FileOps().Rename(aside, path_);
            return false;
        }
    }
    movedAside_ = ShownPath(aside);
    return true;
}

bool UploadJournal::PruneLocked(std::chrono::system_clock::time_point now) {
    Statement prune(db_, "DELETE FROM uploads WHERE started < ?");
    if (!prune) {
        return FailLocked(path_);
    }
    prune.Bind(1, Millis(now - kRetention));
    if (sqlite3_step(prune.get()) != SQLITE_DONE) {
        return FailLocked(path_);
    }
    lastPrune_ = now;
    return true;
}

bool UploadJournal::Prune(std::chrono::system_clock::time_point now) {
    std::lock_guard lock(mutex_);
    return db_ != nullptr && writable_ && PruneLocked(now);
}

std::optional<int64_t> UploadJournal::InsertLocked(const UploadResult& report) {
    Statement insert(
        db_,
        "INSERT INTO uploads (started, ended, port, terminal, announced, stored, format, output, "
        "output_table, outcome, failure, mail, answer, store_state) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    if (!insert) {
        return std::nullopt;
    }
    insert.Bind(1, Millis(report.Started));
    insert.Bind(2, Millis(report.Ended));
    insert.Bind(3, report.Port);
    insert.Bind(4, report.TerminalId);
    insert.Bind(5, report.RecordsAnnounced);
    insert.Bind(6, report.RecordsStored);
    insert.Bind(7, report.Format);
    insert.Bind(8, report.Output);
    insert.Bind(9, report.Table);
    insert.Bind(10, OutcomeWord(report.Outcome));
    insert.Bind(11, report.FailureText);
    insert.Bind(12, MailWord(report.Mail));
    insert.Bind(13, AnswerWord(report.Answer));
    insert.Bind(14, StoreWord(report.Store));
    if (sqlite3_step(insert.get()) != SQLITE_DONE) {
        return std::nullopt;
    }
    return sqlite3_last_insert_rowid(db_);
}

std::optional<int64_t> UploadJournal::Add(const UploadResult& report,
                                          std::chrono::system_clock::time_point now) {
    std::lock_guard lock(mutex_);
    movedAside_.clear();
    for (int attempt = 0; attempt < 2; ++attempt) {
        if ((db_ == nullptr || !writable_) && !OpenLocked(true, now)) {
            return std::nullopt;
        }
        if (now - lastPrune_ >= std::chrono::hours(24)) {
            PruneLocked(now);
        }
        if (const auto id = InsertLocked(report)) {
            error_.clear();
            return id;
        }
        const int code = sqlite3_extended_errcode(db_);
        FailLocked(path_);
        // Damage found only now: the file goes aside and the entry goes into a new one.
        if (attempt > 0 || !IsDamage(code)) {
            return std::nullopt;
        }
        CloseLocked();
        if (!MoveAsideLocked(now)) {
            return std::nullopt;
        }
        const std::string aside = movedAside_;
        if (!OpenLocked(true, now)) {
            return std::nullopt;
        }
        movedAside_ = aside;
    }
    return std::nullopt;
}

bool UploadJournal::SetCommand(int64_t id, const std::string& command, const std::string& detail) {
    std::lock_guard lock(mutex_);
    if (db_ == nullptr || !writable_) {
        return FailLocked(path_);
    }
    Statement update(db_, "UPDATE uploads SET command = ?, command_detail = ? WHERE id = ?");
    if (!update) {
        return FailLocked(path_);
    }
    update.Bind(1, command);
    update.Bind(2, detail);
    update.Bind(3, id);
    return sqlite3_step(update.get()) == SQLITE_DONE || FailLocked(path_);
}

namespace {

// The WHERE clause of a filter, and its values bound by name.
std::string FilterClause(const JournalFilter& filter) {
    std::string sql = " WHERE 1";
    if (filter.SinceMs) {
        sql += " AND started >= :since";
    }
    if (filter.UntilMs) {
        sql += " AND started < :until";
    }
    if (filter.Terminal) {
        sql += " AND terminal = :terminal";
    }
    return sql;
}

void BindFilter(Statement& statement, const JournalFilter& filter) {
    sqlite3_stmt* stmt = statement.get();
    if (filter.SinceMs) {
        statement.Bind(sqlite3_bind_parameter_index(stmt, ":since"), *filter.SinceMs);
    }
    if (filter.UntilMs) {
        statement.Bind(sqlite3_bind_parameter_index(stmt, ":until"), *filter.UntilMs);
    }
    if (filter.Terminal) {
        statement.Bind(sqlite3_bind_parameter_index(stmt, ":terminal"), *filter.Terminal);
    }
}

}  // namespace

namespace {

void ReadEntry(const Statement& select, JournalEntry& entry) {
    UploadResult& upload = entry.Upload;
    entry.Id = select.Int(0);
    upload.Started = FromMillis(select.Int(1));
    upload.Ended = FromMillis(select.Int(2));
    upload.Port = static_cast<int>(select.Int(3));
    upload.TerminalId = select.Text(4);
    upload.RecordsAnnounced = static_cast<int>(select.Int(5));
    upload.RecordsStored = static_cast<int>(select.Int(6));
    upload.Format = select.Text(7);
    upload.Output = select.Text(8);
    upload.Table = select.Text(9);
    upload.Outcome = OutcomeOfWord(select.Text(10));
    upload.FailureText = select.Text(11);
    upload.Mail = MailOfWord(select.Text(12));
    entry.Command = select.Text(13);
    entry.CommandDetail = select.Text(14);
    upload.Answer = AnswerOfWord(select.Text(15), upload.Outcome);
    upload.Store = StoreOfWord(select.Text(16), upload.Outcome);
}

}  // namespace

bool UploadJournal::ForEach(const JournalFilter& filter,
                            const std::function<void(const JournalEntry&)>& each) {
    return Select(filter, 0, std::nullopt, each);
}

std::optional<std::vector<JournalEntry>> UploadJournal::Read(const JournalFilter& filter, int64_t offset,
                                                             std::optional<int64_t> limit) {
    std::vector<JournalEntry> entries;
    if (limit) {
        entries.reserve(static_cast<size_t>(*limit));
    }
    if (!Select(filter, offset, limit, [&entries](const JournalEntry& entry) { entries.push_back(entry); })) {
        return std::nullopt;
    }
    return entries;
}

bool UploadJournal::NotOpenLocked() {
    error_ = ShownPath(path_) + " : " + "開かれていません";
    return false;
}

bool UploadJournal::Select(const JournalFilter& filter, int64_t offset, std::optional<int64_t> limit,
                           const std::function<void(const JournalEntry&)>& each) {
    std::lock_guard lock(mutex_);
    ReadDeadline deadline(*this);
    if (db_ == nullptr) {
        return NotOpenLocked();
    }
    std::string sql = std::string("SELECT ") + kColumns +
                      (resultColumns_ ? kResultColumns : kOlderResultColumns) + " FROM uploads" +
                      FilterClause(filter) + " ORDER BY started DESC, id DESC";
    if (limit) {
        sql += " LIMIT :limit OFFSET :offset";
    }
    Statement select(db_, sql);
    if (!select) {
        return FailLocked(path_);
    }
    BindFilter(select, filter);
    if (limit) {
        select.Bind(sqlite3_bind_parameter_index(select.get(), ":limit"), *limit);
        select.Bind(sqlite3_bind_parameter_index(select.get(), ":offset"), offset);
    }
    JournalEntry entry;
    return EachRow(select,
                   [&] {
                       ReadEntry(select, entry);
                       each(entry);
                   }) ||
           FailLocked(path_);
}

std::optional<int64_t> UploadJournal::Count(const JournalFilter& filter) {
    std::lock_guard lock(mutex_);
    ReadDeadline deadline(*this);
    if (db_ == nullptr) {
        NotOpenLocked();
        return std::nullopt;
    }
    Statement count(db_, "SELECT count(*) FROM uploads" + FilterClause(filter));
    if (!count) {
        FailLocked(path_);
        return std::nullopt;
    }
    BindFilter(count, filter);
    if (sqlite3_step(count.get()) != SQLITE_ROW) {
        FailLocked(path_);
        return std::nullopt;
    }
    return count.Int(0);
}

std::optional<std::vector<JournalDay>> UploadJournal::Days(const std::vector<std::string>& days,
                                                           const std::optional<std::string>& terminal) {
    std::vector<JournalDay> result;
    std::vector<int64_t> starts;  // each day's local midnight, and the end of the last day
    for (const std::string& day : days) {
        result.push_back({day, 0, 0, 0});
        starts.push_back(LocalDayStartMs(day).value_or(0));
    }
    if (days.empty()) {
        return result;
    }
    starts.push_back(LocalDayStartMs(days.back(), 1).value_or(0));
    std::lock_guard lock(mutex_);
    ReadDeadline deadline(*this);
    if (db_ == nullptr) {
        NotOpenLocked();
        return std::nullopt;
    }
    // Summed here rather than by SQLite's date(): one conversion per day instead of one per upload.
    JournalFilter filter;
    filter.SinceMs = starts.front();
    filter.UntilMs = starts.back();
    filter.Terminal = terminal;
    Statement select(db_, "SELECT started, stored, outcome = :stored FROM uploads" + FilterClause(filter));
    if (select) {
        BindFilter(select, filter);
        select.Bind(sqlite3_bind_parameter_index(select.get(), ":stored"),
                    OutcomeWord(UploadOutcome::Stored));
    }
    const bool read = EachRow(select, [&] {
        const auto next = std::upper_bound(starts.begin(), starts.end(), select.Int(0));
        if (next == starts.begin() || next == starts.end()) {
            return;
        }
        JournalDay& day = result[static_cast<size_t>(next - starts.begin() - 1)];
        ++day.Uploads;
        day.Records += static_cast<int>(select.Int(1));
        day.Failures += select.Int(2) == 0;
    });
    if (!read) {
        FailLocked(path_);
        return std::nullopt;
    }
    return result;
}

std::optional<std::vector<std::string>> UploadJournal::Terminals() {
    std::lock_guard lock(mutex_);
    ReadDeadline deadline(*this);
    if (db_ == nullptr) {
        NotOpenLocked();
        return std::nullopt;
    }
    std::vector<std::string> terminals;
    Statement select(db_, "SELECT DISTINCT terminal FROM uploads ORDER BY terminal");
    if (!EachRow(select, [&] { terminals.push_back(select.Text(0)); })) {
        FailLocked(path_);
        return std::nullopt;
    }
    return terminals;
}
