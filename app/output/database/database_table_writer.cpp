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

DatabaseError StopError(const StatementWatch* watch) {
    return {SQLITE_INTERRUPT, watch != nullptr && watch->TimedOut() ? kTimeoutText : kCancelledText};
}

}  // namespace

bool DatabaseTableWriter::Open(std::string_view tableName, DatabaseError& error) {
    quotedTable_ = QuoteIdentifier(tableName);
    // Preparing a query on the table fails with "no such table" before any row is added.
    DatabaseStatement probe;
    if (!probe.Prepare(connection_, "SELECT * FROM " + quotedTable_, error)) {
        return false;
    }
    // IMMEDIATE takes the write lock now instead of failing half-way when a read lock cannot be upgraded.
    if (!connection_.Execute("BEGIN IMMEDIATE", error)) {
        if (watch_ != nullptr && watch_->Stopped()) {
            error = StopError(watch_);
        }
        return false;
    }
    inTransaction_ = true;
    return true;
}

bool DatabaseTableWriter::Fail() {
    Rollback();
    return false;
}

void DatabaseTableWriter::Rollback() {
    if (inTransaction_ && !connection_.InAutocommit()) {
        DatabaseError ignored;
        connection_.Execute("ROLLBACK", ignored);
    }
    inTransaction_ = false;
    rowIds_.clear();
}

bool DatabaseTableWriter::AddRow(const RecordFields& values, DatabaseError& error) {
    if (!inTransaction_) {
        error = {SQLITE_MISUSE, sqlite3_errstr(SQLITE_MISUSE)};
        return false;
    }
    if (watch_ != nullptr && watch_->Stopped()) {
        error = StopError(watch_);
        return Fail();
    }
    if (!Insert(values, error)) {
        return Fail();
    }
    rowIds_.push_back(sqlite3_last_insert_rowid(connection_.Handle()));
    return true;
}

bool DatabaseTableWriter::Commit(DatabaseError& error) {
    if (!inTransaction_) {
        error = {SQLITE_MISUSE, sqlite3_errstr(SQLITE_MISUSE)};
        return false;
    }
    if (!connection_.Execute("COMMIT", error)) {
        return Fail();
    }
    inTransaction_ = false;
    return true;
}

bool DatabaseTableWriter::Insert(const RecordFields& values, DatabaseError& error) {
    const uint32_t mask = NonEmptyFieldMask(values);
    auto found = inserts_.begin();
    while (found != inserts_.end() && found->Mask != mask) {
        ++found;
    }
    if (found == inserts_.end()) {
        struct Insert insert;
        insert.Mask = mask;
        // A column the table lacks fails here, with the engine's "has no column named" message.
        if (!insert.Statement.Prepare(connection_, InsertSql(quotedTable_, mask), error)) {
            return false;
        }
        inserts_.push_front(std::move(insert));
        if (inserts_.size() > kMaxStatements) {
            inserts_.pop_back();
        }
    } else if (found != inserts_.begin()) {
        inserts_.splice(inserts_.begin(), inserts_, found);
    }
    sqlite3_stmt* stmt = inserts_.front().Statement.Handle();
    int parameter = 0;
    for (int n = 1; n <= 20; ++n) {
        if (!values[n].empty()) {
            sqlite3_bind_text(stmt, ++parameter, values[n].data(), static_cast<int>(values[n].size()),
                              SQLITE_STATIC);
        }
    }
    int rc = SQLITE_ERROR;
    {
        WatchedStatement watched(watch_, [db = connection_.Handle()] { sqlite3_interrupt(db); });
        rc = sqlite3_step(stmt);
    }
    if (rc != SQLITE_DONE) {
        const bool cancelled = rc == SQLITE_INTERRUPT || (watch_ != nullptr && watch_->Stopped());
        error = cancelled ? StopError(watch_) : connection_.LastError();
    }
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE;
}

bool DeleteRows(DatabaseConnection& connection, const std::string& quotedTable,
                const std::vector<int64_t>& rowIds, DatabaseError& error) {
    DatabaseStatement remove;
    if (!connection.Execute("BEGIN IMMEDIATE", error)) {
        return false;
    }
    bool removed = remove.Prepare(connection, "DELETE FROM " + quotedTable + " WHERE rowid = ?", error);
    for (size_t i = 0; removed && i < rowIds.size(); ++i) {
        sqlite3_bind_int64(remove.Handle(), 1, rowIds[i]);
        removed = sqlite3_step(remove.Handle()) == SQLITE_DONE;
        if (!removed) {
            error = connection.LastError();
        }
        sqlite3_reset(remove.Handle());
    }
    if (removed && connection.Execute("COMMIT", error)) {
        return true;
    }
    if (!connection.InAutocommit()) {
        DatabaseError ignored;
        connection.Execute("ROLLBACK", ignored);
    }
    return false;
}
