#include "output/database/odbc_table_writer.h"

#include <algorithm>
#include <bit>

std::u16string OdbcTableWriter::QuoteIdentifier(std::string_view name) const {
    const std::u16string text = Utf8ToUtf16(name);
    if (quote_.empty()) {
        return text;
    }
    std::u16string quoted = quote_;
    for (size_t i = 0; i < text.size(); ++i) {
        // The quote character inside the name is doubled, so the name stays one identifier.
        if (text.compare(i, quote_.size(), quote_) == 0) {
            quoted += quote_;
        }
        quoted += text[i];
    }
    return quoted + quote_;
}

bool OdbcTableWriter::Open(std::string_view tableName, OdbcError& error) {
    quote_ = connection_.IdentifierQuote();
    quotedTable_ = QuoteIdentifier(tableName);
    const std::string dbms = connection_.DbmsName();
    emptyRow_ = dbms.find("MySQL") != std::string::npos || dbms.find("MariaDB") != std::string::npos
                    ? u" () VALUES ()"
                    : u" DEFAULT VALUES";
    // Asked in autocommit mode, so that the failure of a missing table leaves no aborted transaction.
    OdbcStatement probe;
    if (!probe.Prepare(connection_, u"SELECT * FROM " + quotedTable_ + u" WHERE 1=0", error) ||
        !probe.Execute(error)) {
        return false;
    }
    if (!connection_.SetAutocommit(false, error)) {
        return false;
    }
    open_ = true;
    return true;
}

bool OdbcTableWriter::AddRow(const RecordFields& values, OdbcError& error) {
    if (!open_) {
        error = {0, "HY010", "the table is not open"};
        return false;
    }
    Row row;
    row.Mask = NonEmptyFieldMask(values);
    row.Values.reserve(static_cast<size_t>(std::popcount(row.Mask)));
    for (int n = 1; n <= 20; ++n) {
        if (!values[n].empty()) {
            row.Values.push_back(Utf8ToUtf16(values[n]));
        }
    }
    group_.push_back(std::move(row));
    if (group_.size() >= rowsPerGroup_) {
        return SendGroup(error);
    }
    return true;
}

bool OdbcTableWriter::Close(OdbcError& error) {
    if (!open_) {
        return true;
    }
    const bool sent = SendGroup(error);
    open_ = false;
    return sent;
}

bool OdbcTableWriter::SendGroup(OdbcError& error) {
    if (group_.empty()) {
        return true;
    }
    bool sent = true;
    // Runs of rows with the same columns, cut to what one statement may carry.
    for (size_t start = 0; sent && start < group_.size();) {
        const uint32_t mask = group_[start].Mask;
        const size_t columns = std::max<size_t>(1, static_cast<size_t>(std::popcount(mask)));
        const size_t limit = std::max<size_t>(1, kMaxParameters / columns);
        size_t end = start + 1;
        while (end < group_.size() && end - start < limit && group_[end].Mask == mask) {
            ++end;
        }
        OdbcError ignored;
        sent = InsertRows(&group_[start], end - start, ignored);
        start = end;
    }
    OdbcError ignored;
    if (sent && connection_.Commit(ignored)) {
        committed_ += static_cast<int64_t>(group_.size());
        group_.clear();
        return true;
    }
    connection_.Rollback();
    return InsertOneByOne(error);
}

bool OdbcTableWriter::InsertOneByOne(OdbcError& error) {
    std::vector<Row> rows;
    rows.swap(group_);
    for (const Row& row : rows) {
        if (!InsertRows(&row, 1, error) || !connection_.Commit(error)) {
            connection_.Rollback();
            return false;
        }
        ++committed_;
    }
    return true;
}

OdbcTableWriter::Insert* OdbcTableWriter::StatementFor(uint32_t mask, size_t rows, OdbcError& error) {
    const auto key = std::make_pair(mask, rows);
    if (const auto found = inserts_.find(key); found != inserts_.end()) {
        return &found->second;
    }
    std::u16string sql = u"INSERT INTO " + quotedTable_;
    if (mask == 0) {
        // A record with no selected value still makes a row, every column at its default. Such rows
        // are always sent one per statement.
        sql += emptyRow_;
    } else {
        std::u16string columns;
        std::u16string values = u"(";
        for (int n = 1; n <= 20; ++n) {
            if ((mask & (1u << (n - 1))) != 0) {
                if (!columns.empty()) {
                    columns += u',';
                    values += u',';
                }
                columns += QuoteIdentifier("F" + std::to_string(n));
                values += u'?';
            }
        }
        values += u')';
        sql += u" (" + columns + u") VALUES " + values;
        for (size_t r = 1; r < rows; ++r) {
            sql += u',' + values;
        }
    }
    Insert insert;
    if (!insert.Statement.Prepare(connection_, sql, error)) {
        return nullptr;
    }
    return &inserts_.emplace(key, std::move(insert)).first->second;
}

bool OdbcTableWriter::InsertRows(const Row* rows, size_t count, OdbcError& error) {
    if (rows[0].Mask == 0) {
        for (size_t r = 0; r < count; ++r) {
            Insert* insert = StatementFor(0, 1, error);
            if (insert == nullptr || !insert->Statement.Execute(error)) {
                return false;
            }
        }
        return true;
    }
    Insert* insert = StatementFor(rows[0].Mask, count, error);
    if (insert == nullptr) {
        return false;
    }
    const size_t perRow = rows[0].Values.size();
    const size_t parameters = count * perRow;
    size_t widest = 1;
    for (size_t r = 0; r < count; ++r) {
        for (const std::u16string& value : rows[r].Values) {
            widest = std::max(widest, value.size());
        }
    }
    if (widest > insert->Slot) {
        insert->Slot = std::max(widest, kSlotUnits);
        insert->Buffer.assign(parameters * insert->Slot, u'\0');
        insert->Lengths.assign(parameters, 0);
        for (size_t p = 0; p < parameters; ++p) {
            const SQLRETURN rc = SQLBindParameter(
                insert->Statement.Handle(), static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                SQL_WVARCHAR, insert->Slot, 0, &insert->Buffer[p * insert->Slot],
                static_cast<SQLLEN>(insert->Slot * sizeof(char16_t)), &insert->Lengths[p]);
            if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
                error = insert->Statement.LastError();
                insert->Slot = 0;
                return false;
            }
        }
    }
    for (size_t r = 0; r < count; ++r) {
        for (size_t c = 0; c < perRow; ++c) {
            const size_t p = r * perRow + c;
            const std::u16string& value = rows[r].Values[c];
            std::copy(value.begin(), value.end(),
                      insert->Buffer.begin() + static_cast<std::ptrdiff_t>(p * insert->Slot));
            insert->Lengths[p] = static_cast<SQLLEN>(value.size() * sizeof(char16_t));
        }
    }
    return insert->Statement.Execute(error);
}
