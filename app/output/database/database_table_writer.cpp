#include "output/database/database_table_writer.h"

#include <sqlite3.h>

namespace {

std::string InsertSql(const std::string& quotedTable, uint32_t mask) {
    std::string sql = "INSERT INTO " + quotedTable;
    if (mask == 0) {
        return sql + " DEFAULT VALUES";
    }
    std::string columns;
    std::string parameters;
    for (int n = 1; n <= 20; ++n) {
        if ((mask & (1u << (n - 1))) != 0) {
            if (!columns.empty()) {
                columns += ',';
                parameters += ',';
            }
            columns += "\"F" + std::to_string(n) + '"';
            parameters += '?';
        }
    }
    return sql + " (" + columns + ") VALUES (" + parameters + ")";
}

}  // namespace

DatabaseTableWriter::~DatabaseTableWriter() {
    DatabaseError ignored;
    CommitBatch(ignored);
}

bool DatabaseTableWriter::Open(std::string_view tableName, DatabaseError& error) {
    quotedTable_ = QuoteIdentifier(tableName);
    // Preparing a query on the table fails with "no such table" before any row is added.
    DatabaseStatement probe;
    if (!probe.Prepare(connection_, "SELECT * FROM " + quotedTable_, error)) {
        return false;
    }
    open_ = true;
    return true;
}

bool DatabaseTableWriter::AddRow(const RecordFields& values, DatabaseError& error) {
    if (!open_) {
        error = {SQLITE_MISUSE, sqlite3_errstr(SQLITE_MISUSE)};
        return false;
    }
    if (inTransaction_ && pending_.size() >= kRowsPerTransaction && !CommitBatch(error)) {
        return false;
    }
    if (!inTransaction_) {
        // IMMEDIATE takes the write lock now (waiting for another program's lock within the busy
        // time-out) instead of failing half-way when a read lock cannot be upgraded.
        if (!connection_.Execute("BEGIN IMMEDIATE", error)) {
            return false;
        }
        inTransaction_ = true;
    }
    if (Insert(values, error)) {
        pending_.push_back(values);
        ++rowsAdded_;
        return true;
    }
    // The failed row left no trace; keep the rows before it.
    if (connection_.InAutocommit()) {
        // The engine rolled the whole transaction back.
        inTransaction_ = false;
        DatabaseError replayError;
        if (!ReplayPending(replayError)) {
            error = replayError;
        }
        return false;
    }
    DatabaseError commitError;
    if (!CommitBatch(commitError)) {
        error = commitError;
    }
    return false;
}

bool DatabaseTableWriter::Close(DatabaseError& error) {
    return CommitBatch(error);
}

bool DatabaseTableWriter::Insert(const RecordFields& values, DatabaseError& error) {
    const uint32_t mask = NonEmptyFieldMask(values);
    auto found = inserts_.find(mask);
    if (found == inserts_.end()) {
        DatabaseStatement statement;
        // A column the table lacks fails here, with the engine's "has no column named" message.
        if (!statement.Prepare(connection_, InsertSql(quotedTable_, mask), error)) {
            return false;
        }
        found = inserts_.emplace(mask, std::move(statement)).first;
    }
    sqlite3_stmt* stmt = found->second.Handle();
    int parameter = 0;
    for (int n = 1; n <= 20; ++n) {
        if (!values[n].empty()) {
            sqlite3_bind_text(stmt, ++parameter, values[n].data(), static_cast<int>(values[n].size()),
                              SQLITE_STATIC);
        }
    }
    const int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        error = connection_.LastError();
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE;
}

bool DatabaseTableWriter::CommitBatch(DatabaseError& error) {
    if (!inTransaction_) {
        pending_.clear();
        return true;
    }
    inTransaction_ = false;
    if (connection_.Execute("COMMIT", error)) {
        pending_.clear();
        return true;
    }
    // A failed COMMIT (a reader that keeps its lock past the busy time-out, say) leaves the
    // transaction open: end it and write its rows again on their own.
    if (!connection_.InAutocommit()) {
        DatabaseError ignored;
        connection_.Execute("ROLLBACK", ignored);
    }
    return ReplayPending(error);
}

bool DatabaseTableWriter::ReplayPending(DatabaseError& error) {
    std::vector<RecordFields> rows;
    rows.swap(pending_);
    // These rows went in once, so they nearly always go in again: first as one transaction.
    DatabaseError ignored;
    if (connection_.Execute("BEGIN IMMEDIATE", ignored)) {
        bool replayed = true;
        for (const RecordFields& row : rows) {
            if (!Insert(row, ignored)) {
                replayed = false;
                break;
            }
        }
        if (replayed && connection_.Execute("COMMIT", ignored)) {
            return true;
        }
        if (!connection_.InAutocommit()) {
            connection_.Execute("ROLLBACK", ignored);
        }
    }
    // Else one by one, so that the failure is that of the first row that cannot be saved.
    for (const RecordFields& row : rows) {
        if (!Insert(row, error)) {
            // This row and the ones after it are lost after all.
            rowsAdded_ -= static_cast<int64_t>(rows.size() - static_cast<size_t>(&row - rows.data()));
            return false;
        }
    }
    return true;
}
