#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "output/database/odbc_connection.h"
#include "output/record_fields.h"

// Adds rows to an existing table of a server database whose columns are named "F1" to "F20", with
// the meaning of the SQLite writer: only the columns that receive a non-empty value are named in a
// row's INSERT, values are bound as text (UTF-16) and the server converts them to the column's type.
//
// Rows are committed in groups. Consecutive rows that assign the same columns go to the server as one
// multi-row INSERT, so a group costs a few round trips rather than one per row. Servers differ in what
// a failed statement does to the open transaction (PostgreSQL aborts all of it), so after any failure
// in a group the group is rolled back and its rows are inserted again one at a time, each committed on
// its own, up to the row that fails: the table then holds every row before the failing one and not
// that row, and the error returned is that row's.
class OdbcTableWriter {
public:
    // Rows per transaction: enough to make commits cheap, small enough that a failure replays little
    // and other uploaders into the same table wait only briefly for a lock.
    static constexpr size_t kDefaultRowsPerGroup = 2000;
    // Parameters in one statement; SQL Server accepts at most 2100.
    static constexpr size_t kMaxParameters = 2000;

    OdbcTableWriter(OdbcConnection& connection, size_t rowsPerGroup = kDefaultRowsPerGroup)
        : connection_(connection), rowsPerGroup_(rowsPerGroup == 0 ? 1 : rowsPerGroup) {}
    OdbcTableWriter(const OdbcTableWriter&) = delete;
    OdbcTableWriter& operator=(const OdbcTableWriter&) = delete;

    // Checks that the table exists (its name quoted with the driver's quote character, never pasted
    // into SQL as it is) and starts the first group.
    bool Open(std::string_view tableName, OdbcError& error);
    // Adds one row: column "F" + n receives values[n] (UTF-8) for every non-empty values[n], n = 1..20.
    // A full group is sent and committed here.
    bool AddRow(const RecordFields& values, OdbcError& error);
    // Sends and commits the rows of the last group.
    bool Close(OdbcError& error);

    // Rows known to be committed.
    int64_t RowsCommitted() const { return committed_; }

private:
    struct Row {
        uint32_t Mask = 0;  // bit n-1 set: "F" + n assigned
        std::vector<std::u16string> Values;
    };

    bool SendGroup(OdbcError& error);
    bool InsertRows(const Row* rows, size_t count, OdbcError& error);
    bool InsertOneByOne(OdbcError& error);
    // A prepared INSERT with its parameters bound once to fixed slots, each of `Slot` UTF-16 units:
    // every execution only copies values into the slots, so a statement of thousands of parameters is
    // not bound again for every group.
    struct Insert {
        OdbcStatement Statement;
        size_t Slot = 0;
        std::vector<char16_t> Buffer;
        std::vector<SQLLEN> Lengths;
    };
    // A record line holds at most 255 bytes, so no field is longer; a longer one grows the slots.
    static constexpr size_t kSlotUnits = 255;

    Insert* StatementFor(uint32_t mask, size_t rows, OdbcError& error);
    std::u16string QuoteIdentifier(std::string_view name) const;

    OdbcConnection& connection_;
    size_t rowsPerGroup_;
    std::u16string quote_;
    std::u16string quotedTable_;
    std::u16string emptyRow_;  // what follows the table name in an INSERT that assigns no column
    bool open_ = false;
    std::vector<Row> group_;
    // Prepared INSERTs by (assigned columns, rows per statement).
    std::map<std::pair<uint32_t, size_t>, Insert> inserts_;
    int64_t committed_ = 0;
};
