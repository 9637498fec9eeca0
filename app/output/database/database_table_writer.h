#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "output/database/database_connection.h"
#include "output/record_fields.h"

// Adds rows to one existing table whose columns are named "F1" to "F20". Only the columns that
// receive a value are named in a row's INSERT; the others keep the table's default for a new row.
// Values are bound as text; the engine converts them by the column's affinity.
//
// Rows are grouped into transactions for speed, yet every row counts as saved on its own: when a row
// fails, the rows before it are committed before the failure is returned, and if the engine threw the
// whole transaction away (ON CONFLICT ROLLBACK, a full disk, a failed commit) the earlier rows are
// written again one by one. So after AddRow fails, the table holds every row that was accepted before
// and not the failed one. (Should a replayed row fail too, the error returned is that row's, and the
// table holds the rows before it.)
class DatabaseTableWriter {
public:
    // Rows per transaction. Each commit waits for the disk (some 30 ms here), so a full upload of
    // 32,767 rows takes four; a larger group saves little more and holds the write lock longer.
    static constexpr size_t kRowsPerTransaction = 8192;

    explicit DatabaseTableWriter(DatabaseConnection& connection) : connection_(connection) {}
    // Commits the rows accepted so far: an accepted row is never thrown away.
    ~DatabaseTableWriter();
    DatabaseTableWriter(const DatabaseTableWriter&) = delete;
    DatabaseTableWriter& operator=(const DatabaseTableWriter&) = delete;

    // Checks that the table exists (the name is always quoted, never pasted into SQL).
    bool Open(std::string_view tableName, DatabaseError& error);
    // Adds one row: column "F" + n receives values[n] (UTF-8) for every non-empty values[n], n = 1..20.
    bool AddRow(const RecordFields& values, DatabaseError& error);
    // Commits the rows added so far.
    bool Close(DatabaseError& error);

    // Rows added by this writer that are committed or will be by Close (for tests and benchmarks).
    int64_t RowsAdded() const { return rowsAdded_; }

private:
    bool Insert(const RecordFields& values, DatabaseError& error);
    bool CommitBatch(DatabaseError& error);
    bool ReplayPending(DatabaseError& error);

    DatabaseConnection& connection_;
    std::string quotedTable_;
    bool open_ = false;
    bool inTransaction_ = false;
    // The rows of the open transaction, kept to write them again should the engine roll it back.
    std::vector<RecordFields> pending_;
    // One INSERT per set of assigned columns (bit n-1 set: "F" + n assigned).
    std::unordered_map<uint32_t, DatabaseStatement> inserts_;
    int64_t rowsAdded_ = 0;
};
