#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <vector>

#include "output/database/database_connection.h"
#include "output/database/statement_watch.h"
#include "output/record_fields.h"

// Adds the rows of one upload to one existing table whose columns are named "F1" to "F20". Only the
// columns that receive a value are named in a row's INSERT; the others keep the table's default for a
// new row. Values are bound as text; the engine converts them by the column's affinity.
//
// All rows are one transaction, begun by Open and ended by Commit; a failed row, a stop or the object
// going without Commit rolls every row back. After "CAN" the terminal sends its whole file again, so a
// part of the upload kept would be stored twice. The row ids of the rows added are noted, so that a
// committed upload can still be taken back (DeleteRows).
class DatabaseTableWriter {
public:
    // Prepared INSERTs kept (one per set of assigned columns); the least recently used go beyond this.
    static constexpr size_t kMaxStatements = 16;

    // With a `watch`, every step runs under it: past the time-out or at a stop, the step is interrupted.
    explicit DatabaseTableWriter(DatabaseConnection& connection, StatementWatch* watch = nullptr)
        : connection_(connection), watch_(watch) {}
    ~DatabaseTableWriter() { Rollback(); }
    DatabaseTableWriter(const DatabaseTableWriter&) = delete;
    DatabaseTableWriter& operator=(const DatabaseTableWriter&) = delete;

    // Checks that the table exists (the name is always quoted, never pasted into SQL) and begins the
    // transaction, taking the write lock (waiting for another program's lock within the busy time-out).
    bool Open(std::string_view tableName, DatabaseError& error);
    // Adds one row: column "F" + n receives values[n] (UTF-8) for every non-empty values[n], n = 1..20.
    // On failure the transaction is rolled back.
    bool AddRow(const RecordFields& values, DatabaseError& error);
    // Commits every row; on failure rolls them back.
    bool Commit(DatabaseError& error);
    void Rollback();

    const std::string& QuotedTable() const { return quotedTable_; }
    // The row ids of the rows added, in order.
    const std::vector<int64_t>& RowIds() const { return rowIds_; }

private:
    struct Insert {
        uint32_t Mask = 0;  // bit n-1 set: "F" + n assigned
        DatabaseStatement Statement;
    };

    bool Insert(const RecordFields& values, DatabaseError& error);
    bool Fail();

    DatabaseConnection& connection_;
    StatementWatch* watch_;
    std::string quotedTable_;
    bool inTransaction_ = false;
    std::list<struct Insert> inserts_;  // the most recently used first
    std::vector<int64_t> rowIds_;
};

// Deletes the rows of `quotedTable` with the given row ids in one transaction (an upload taken back).
bool DeleteRows(DatabaseConnection& connection, const std::string& quotedTable,
                const std::vector<int64_t>& rowIds, DatabaseError& error);
