#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>

#include "output/database/statement_watch.h"

struct sqlite3;
struct sqlite3_stmt;

// A failure of the database layer as the operator sees it: SQLite's extended result code and the
// engine's description (sqlite3_errmsg), or the same kind of pair for a failure around the engine.
struct DatabaseError {
    int Number = 0;
    std::string Description;
};

// How long a database locked by another program is waited for before the step fails with
// SQLITE_BUSY ("database is locked"): the statement time-out of every database store.
inline constexpr std::chrono::milliseconds kDatabaseBusyTimeout = kStatementTimeout;

// One open SQLite connection, closed when the object goes. Opening never creates a file, a table or
// anything else: the operator prepares the database.
class DatabaseConnection {
public:
    DatabaseConnection() = default;
    ~DatabaseConnection();
    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    // Opens the SQLite database file at `databasePath` (any bytes but NUL) for reading and writing.
    // Fails when the file is missing, is not a regular file, cannot be written, is not an SQLite
    // database, or stays locked longer than `busyTimeout`. With a `watch`, a lock is waited for only
    // until the watch sees the run stopped.
    bool Open(std::string_view databasePath, DatabaseError& error,
              std::chrono::milliseconds busyTimeout = kDatabaseBusyTimeout,
              const StatementWatch* watch = nullptr);
    void Close();

    bool IsOpen() const { return db_ != nullptr; }
    // The watch the busy wait looks at from now on (null: none).
    void Watch(const StatementWatch* watch) { watch_ = watch; }
    sqlite3* Handle() const { return db_; }

    // Runs SQL text that returns no rows.
    bool Execute(const char* sql, DatabaseError& error);
    // The engine's extended result code and message of the last failed call on this connection.
    DatabaseError LastError() const;
    // False while a transaction begun by BEGIN is open.
    bool InAutocommit() const;

private:
    static int Busy(void* self, int count);

    sqlite3* db_ = nullptr;
    std::chrono::milliseconds busyTimeout_{0};
    const StatementWatch* watch_ = nullptr;
    std::chrono::steady_clock::time_point busySince_;
};

// One prepared statement, finalized when the object goes.
class DatabaseStatement {
public:
    DatabaseStatement() = default;
    ~DatabaseStatement();
    DatabaseStatement(DatabaseStatement&& other) noexcept : stmt_(other.stmt_) { other.stmt_ = nullptr; }
    DatabaseStatement& operator=(DatabaseStatement&& other) noexcept;
    DatabaseStatement(const DatabaseStatement&) = delete;
    DatabaseStatement& operator=(const DatabaseStatement&) = delete;

    bool Prepare(DatabaseConnection& connection, std::string_view sql, DatabaseError& error);
    sqlite3_stmt* Handle() const { return stmt_; }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

// `name` as an SQL identifier: wrapped in double quotes, inner double quotes doubled. Whatever the
// name holds, it stays one identifier and never becomes SQL.
std::string QuoteIdentifier(std::string_view name);
