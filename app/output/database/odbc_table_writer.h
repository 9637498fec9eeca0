#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "output/database/odbc_connection.h"
#include "output/record_fields.h"

// What the writer needs to know of a driver to put a table name into SQL: its identifier quote
// character (empty when it has none) and the longest name it takes (0: unknown), counted in UTF-8 bytes
// or in characters as the server stores names.
struct OdbcNaming {
    std::u16string Quote;
    size_t MaxNameLength = 0;
    bool CountsBytes = true;
};

// The naming of the connected driver (SQLGetInfo).
OdbcNaming ReadOdbcNaming(OdbcConnection& connection);

// Adds the rows of one upload to an existing table of a server database whose columns are named "F1" to
// "F20", with the meaning of the SQLite writer: only the columns that receive a non-empty value are named
// in a row's INSERT, values are bound as text (UTF-16) and the server converts them to the column's type.
//
// All rows of an upload are one transaction: Open turns autocommit off, Commit ends it, and anything
// else (a failed row, a stop, the object going) rolls every row back. After "CAN" the terminal sends its
// whole file again, so a part of the upload kept would be stored twice. Tables of a MySQL or MariaDB
// engine that cannot roll back (MyISAM, Aria, MEMORY, ...) are refused before any row.
//
// Consecutive rows that assign the same columns go to the server as multi-row INSERTs, so an upload costs
// a few round trips rather than one per row. Statements are few and bounded: per set of columns a full
// statement, one of kMediumRows rows and one of a single row; the least recently used are dropped beyond
// kMaxStatements. On PostgreSQL a run of such rows goes instead as one INSERT ... SELECT from unnest() of
// one text array per column: the driver then handles a parameter per column rather than per value and
// the server parses arrays rather than thousands of parameters. A column of a type other than text
// gets an explicit cast to its type (read from the catalog), which converts with the type's input
// function as a text parameter does; text columns take the value by assignment, so a value too long
// for a varchar(n) is refused as before.
class OdbcTableWriter {
public:
    // Rows buffered before they are sent (all in the same transaction).
    static constexpr size_t kDefaultRowsPerGroup = 2000;
    // Parameters in one statement; SQL Server accepts at most 2100.
    static constexpr size_t kMaxParameters = 2000;
    static constexpr size_t kMediumRows = 10;
    static constexpr size_t kMaxStatements = 12;
    // Rows in one PostgreSQL statement of the array form.
    static constexpr size_t kArrayRows = 2000;

    OdbcTableWriter(OdbcConnection& connection, size_t rowsPerGroup = kDefaultRowsPerGroup)
        : connection_(connection), rowsPerGroup_(rowsPerGroup == 0 ? 1 : rowsPerGroup) {}
    OdbcTableWriter(const OdbcTableWriter&) = delete;
    OdbcTableWriter& operator=(const OdbcTableWriter&) = delete;

    // Checks the table name against `naming` (read from the driver when not given), that the table
    // exists (its name quoted with the quote character, never pasted into SQL as it is) and, on MySQL
    // or MariaDB, that its engine can roll back; then begins the upload's transaction.
    bool Open(std::string_view tableName, OdbcError& error, const std::optional<OdbcNaming>& naming = {});
    // Adds one row: column "F" + n receives values[n] (UTF-8) for every non-empty values[n], n = 1..20.
    // On failure the transaction is rolled back.
    bool AddRow(const RecordFields& values, OdbcError& error);
    // Sends the rows still buffered; the transaction stays open. On failure it is rolled back.
    bool Flush(OdbcError& error);
    // Flushes and commits the upload.
    bool Commit(OdbcError& error);
    // Rolls the upload back.
    void Rollback();

    // Rows sent in the open transaction, or committed by Commit.
    int64_t RowsSent() const { return sent_; }

private:
    struct Row {
        uint32_t Mask = 0;  // bit n-1 set: "F" + n assigned
        std::vector<std::u16string> Values;
    };
    // A prepared INSERT with its parameters bound once to fixed slots, each of `Slot` UTF-16 units:
    // every execution only copies values into the slots, so a statement of thousands of parameters is
    // not bound again for every group.
    struct Insert {
        std::pair<uint32_t, size_t> Key;  // (assigned columns, rows per statement)
        OdbcStatement Statement;
        size_t Slot = 0;
        std::vector<char16_t> Buffer;
        std::vector<SQLLEN> Lengths;
        std::vector<std::u16string> Arrays;  // the array form: one array literal per column
    };
    // A record line holds at most 255 bytes, so no field is longer; a longer one grows the slots.
    static constexpr size_t kSlotUnits = 255;

    bool Fail(OdbcError& error);
    bool SendGroup(OdbcError& error);
    bool InsertRows(const Row* rows, size_t count, OdbcError& error);
    bool InsertArrays(const Row* rows, size_t count, OdbcError& error);
    bool ReadColumnCasts(OdbcError& error);
    Insert* StatementFor(uint32_t mask, size_t rows, OdbcError& error);
    bool CheckName(std::u16string_view name, const OdbcNaming& naming, OdbcError& error) const;
    bool CheckEngine(std::string_view tableName, OdbcError& error);
    std::u16string QuoteIdentifier(std::string_view name) const;

    OdbcConnection& connection_;
    size_t rowsPerGroup_;
    std::u16string quote_;
    std::u16string quotedTable_;
    std::u16string emptyRow_;  // what follows the table name in an INSERT that assigns no column
    std::string dbms_;
    bool arrays_ = false;                   // PostgreSQL: runs of rows as arrays
    std::array<std::u16string, 21> casts_;  // the array form: "::type" of column "F" + n, or empty
    bool open_ = false;
    std::vector<Row> group_;
    // Prepared INSERTs, the most recently used first.
    std::list<Insert> inserts_;
    int64_t sent_ = 0;
};
