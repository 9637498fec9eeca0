#pragma once

#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "output/database/statement_watch.h"

// A thin RAII layer over unixODBC for the server database writer. Every text crosses the driver manager
// as UTF-16 (the "W" calls), so Japanese table names, values and driver messages survive whichever
// character set the driver or the server uses.

// A failure as the driver reports it: its native error number, the five-character SQLSTATE and its
// message (UTF-8, trailing blanks and line breaks removed).
struct OdbcError {
    long Native = 0;
    std::string State;
    std::string Message;
};

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The first diagnostic record of a handle; a generic HY000 when the driver left none.
OdbcError DiagnoseHandle(SQLSMALLINT handleType, SQLHANDLE handle);

// One ODBC handle of the given type, freed when the object goes.
class OdbcHandle {
public:
    OdbcHandle() = default;
    ~OdbcHandle() { Reset(); }
    OdbcHandle(const OdbcHandle&) = delete;
    OdbcHandle& operator=(const OdbcHandle&) = delete;
    OdbcHandle(OdbcHandle&& other) noexcept : type_(other.type_), handle_(other.handle_) {
        other.handle_ = SQL_NULL_HANDLE;
    }
    OdbcHandle& operator=(OdbcHandle&& other) noexcept;

    bool Allocate(SQLSMALLINT type, SQLHANDLE parent);
    void Reset();
    SQLHANDLE Get() const { return handle_; }
    SQLSMALLINT Type() const { return type_; }

private:
    SQLSMALLINT type_ = SQL_HANDLE_ENV;
    SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// One connection to a data source, with its own environment. The destructor rolls back whatever is
// not committed and disconnects.
class OdbcConnection {
public:
    OdbcConnection() = default;
    ~OdbcConnection();
    OdbcConnection(const OdbcConnection&) = delete;
    OdbcConnection& operator=(const OdbcConnection&) = delete;

    // Connects with an ODBC connection string ("DSN=central" or "Driver=...;Server=...;..."), never
    // prompting, waiting at most `loginTimeout` for the server (the driver is told; a driver that keeps
    // waiting on a server that accepted and stays silent is left behind on a thread of its own, which
    // frees the connection whenever the driver returns).
    bool Connect(std::string_view connectionString, std::chrono::seconds loginTimeout, OdbcError& error);
    void Disconnect();
    bool IsConnected() const { return connected_; }
    SQLHDBC Handle() const { return dbc_.Get(); }

    bool SetAutocommit(bool on, OdbcError& error);
    bool Commit(OdbcError& error);
    // Ends the open transaction; failures are ignored (a lost connection has nothing left to undo).
    void Rollback();
    // Runs SQL text (UTF-8) and throws away any result.
    bool Execute(std::string_view sql, OdbcError& error);
    // Runs a query with text parameters and reads its first row as texts (NULL as empty); `found` tells
    // whether there was a row.
    bool QueryRow(std::u16string_view sql, const std::vector<std::u16string>& parameters,
                  std::vector<std::string>& row, bool& found, OdbcError& error);
    // The same for its first `maxRows` rows. Each value is read whole; one longer than kMaxQueryValue
    // UTF-16 units fails the query rather than come back cut.
    bool QueryRows(std::u16string_view sql, const std::vector<std::u16string>& parameters, size_t maxRows,
                   std::vector<std::vector<std::string>>& rows, OdbcError& error);
    static constexpr size_t kMaxQueryValue = 4096;

    // Statements prepared from now on run under `watch` (cancelled past its time-out or at a stop) and
    // ask the driver for the same time-out. Null: no watch.
    void Watch(StatementWatch* watch) { watch_ = watch; }
    StatementWatch* Watcher() const { return watch_; }

    // The character the driver quotes identifiers with (SQLGetInfo); empty when it has none.
    std::u16string IdentifierQuote() const;
    // The server's product name (SQLGetInfo SQL_DBMS_NAME), for the few places where SQL differs.
    std::string DbmsName() const;
    // The longest table name the driver reports (SQL_MAX_TABLE_NAME_LEN); 0 when it does not know.
    size_t MaxTableNameLength() const;

private:
    OdbcHandle env_;
    OdbcHandle dbc_;
    bool connected_ = false;
    bool autocommit_ = true;
    StatementWatch* watch_ = nullptr;
};

// One statement handle on a connection. A connection's watch (if any) cancels an execution that runs
// past its time-out or into a stop; the failure then carries the driver's text, or "ﾀｲﾑｱｳﾄ" and
// "ｷｬﾝｾﾙ" when the driver gives none.
class OdbcStatement {
public:
    bool Prepare(OdbcConnection& connection, std::u16string_view sql, OdbcError& error);
    bool Execute(OdbcError& error);
    SQLHSTMT Handle() const { return stmt_.Get(); }
    OdbcError LastError() const { return DiagnoseHandle(SQL_HANDLE_STMT, stmt_.Get()); }

private:
    OdbcHandle stmt_;
    StatementWatch* watch_ = nullptr;
};
