#include "output/database/odbc_table_writer.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace {

bool IsMySqlFamily(std::string_view dbms) {
    return dbms.find("MySQL") != std::string_view::npos || dbms.find("MariaDB") != std::string_view::npos;
}

bool IsPlainNameCharacter(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
}

}  // namespace

OdbcNaming ReadOdbcNaming(OdbcConnection& connection) {
    OdbcNaming naming;
    naming.Quote = connection.IdentifierQuote();
    naming.MaxNameLength = connection.MaxTableNameLength();
    // MySQL and MariaDB limit names in characters; PostgreSQL (and most others) in bytes of UTF-8.
    naming.CountsBytes = !IsMySqlFamily(connection.DbmsName());
    return naming;
}

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

bool OdbcTableWriter::CheckName(std::u16string_view name, const OdbcNaming& naming, OdbcError& error) const {
    const std::string utf8 = Utf16ToUtf8(name);
    // Without a quote character the name goes into SQL as it is: only a plain name stays one identifier.
    if (naming.Quote.empty() &&
        (name.empty() || !std::all_of(name.begin(), name.end(), IsPlainNameCharacter))) {
        error = {0, "HY000",
                 "ﾃｰﾌﾞﾙ名 " + utf8 + " には英数字と _ しか使えません (ﾄﾞﾗｲﾊﾞが名前を引用できません)"};
        return false;
    }
    // A server cuts a longer name without a word, and two long names would land in one table.
    size_t length = utf8.size();
    if (!naming.CountsBytes) {
        length = static_cast<size_t>(std::count_if(
            utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    }
    if (naming.MaxNameLength > 0 && length > naming.MaxNameLength) {
        const char* unit = naming.CountsBytes ? " ﾊﾞｲﾄ" : " 文字";
        error = {0, "HY000",
                 "ﾃｰﾌﾞﾙ名 " + utf8 + " が長すぎます (" + std::to_string(length) + unit + "。" +
                     std::to_string(naming.MaxNameLength) + unit + "までです)"};
        return false;
    }
    return true;
}

bool OdbcTableWriter::CheckEngine(std::string_view tableName, OdbcError& error) {
    if (!IsMySqlFamily(dbms_)) {
        return true;
    }
    // A view (no engine of its own) is judged by the server when rows reach its table.
    std::vector<std::string> row;
    bool found = false;
    if (!connection_.QueryRow(
            u"SELECT t.ENGINE, COALESCE((SELECT e.TRANSACTIONS FROM information_schema.ENGINES e "
            u"WHERE e.ENGINE = t.ENGINE), 'NO') FROM information_schema.TABLES t "
            u"WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_NAME = ? AND t.ENGINE IS NOT NULL",
            {Utf8ToUtf16(tableName)}, row, found, error)) {
        return false;
    }
    if (found && row.size() == 2 && row[1] != "YES") {
        error = {0, "HY000",
                 "ﾃｰﾌﾞﾙ " + std::string(tableName) + " (" + row[0] + ") はﾛｰﾙﾊﾞｯｸできないため書き込みません"};
        return false;
    }
    return true;
}

bool OdbcTableWriter::Open(std::string_view tableName, OdbcError& error,
                           const std::optional<OdbcNaming>& naming) {
    const OdbcNaming rules = naming ? *naming : ReadOdbcNaming(connection_);
    if (!CheckName(Utf8ToUtf16(tableName), rules, error)) {
        return false;
    }
    quote_ = rules.Quote;
    quotedTable_ = QuoteIdentifier(tableName);
    dbms_ = connection_.DbmsName();
    emptyRow_ = IsMySqlFamily(dbms_) ? u" () VALUES ()" : u" DEFAULT VALUES";
    // Asked in autocommit mode, so that the failure of a missing table leaves no aborted transaction.
    OdbcStatement probe;
    if (!probe.Prepare(connection_, u"SELECT * FROM " + quotedTable_ + u" WHERE 1=0", error) ||
        !probe.Execute(error) || !CheckEngine(tableName, error) || !ReadColumnCasts(error)) {
        return false;
    }
    if (!connection_.SetAutocommit(false, error)) {
        return false;
    }
    open_ = true;
    return true;
}

bool OdbcTableWriter::Fail(OdbcError&) {
    Rollback();
    return false;
}

void OdbcTableWriter::Rollback() {
    if (open_) {
        connection_.Rollback();
        open_ = false;
    }
    group_.clear();
    sent_ = 0;
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

bool OdbcTableWriter::Flush(OdbcError& error) {
    if (!open_) {
        error = {0, "HY010", "the table is not open"};
        return false;
    }
    return SendGroup(error);
}

bool OdbcTableWriter::Commit(OdbcError& error) {
    if (!Flush(error)) {
        return false;
    }
    if (!connection_.Commit(error)) {
        return Fail(error);
    }
    open_ = false;
    return true;
}

bool OdbcTableWriter::SendGroup(OdbcError& error) {
    // Runs of rows with the same columns, sent as full statements, then statements of kMediumRows rows,
    // then one row at a time: a few shapes per set of columns.
    for (size_t start = 0; start < group_.size();) {
        const uint32_t mask = group_[start].Mask;
        const size_t columns = std::max<size_t>(1, static_cast<size_t>(std::popcount(mask)));
        const size_t full = mask == 0 ? 1 : std::max<size_t>(1, kMaxParameters / columns);
        size_t end = start + 1;
        while (end < group_.size() && group_[end].Mask == mask) {
            ++end;
        }
        while (arrays_ && mask != 0 && start < end) {
            const size_t rows = std::min(end - start, kArrayRows);
            if (!InsertArrays(&group_[start], rows, error)) {
                return Fail(error);
            }
            start += rows;
            sent_ += static_cast<int64_t>(rows);
        }
        while (start < end) {
            const size_t left = end - start;
            const size_t rows = left >= full                                ? full
                                : left >= kMediumRows && kMediumRows < full ? kMediumRows
                                                                            : 1;
            if (!InsertRows(&group_[start], rows, error)) {
                return Fail(error);
            }
            start += rows;
            sent_ += static_cast<int64_t>(rows);
        }
    }
    group_.clear();
    return true;
}

OdbcTableWriter::Insert* OdbcTableWriter::StatementFor(uint32_t mask, size_t rows, OdbcError& error) {
    const auto key = std::make_pair(mask, rows);
    for (auto it = inserts_.begin(); it != inserts_.end(); ++it) {
        if (it->Key == key) {
            inserts_.splice(inserts_.begin(), inserts_, it);
            return &inserts_.front();
        }
    }
    std::u16string sql = u"INSERT INTO " + quotedTable_;
    if (mask == 0) {
        // A record with no selected value still makes a row, every column at its default.
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
        if (rows == 0) {
            // The array form: unnest(CAST(? AS text[]), ...) AS u(v1, v3, ...), cast where the column wants.
            std::u16string selected, arrays, names;
            for (int n = 1; n <= 20; ++n) {
                if ((mask & (1u << (n - 1))) != 0) {
                    const std::u16string name = u"v" + Utf8ToUtf16(std::to_string(n));
                    const char16_t* comma = names.empty() ? u"" : u",";
                    selected += comma + name + casts_[static_cast<size_t>(n)];
                    arrays += comma + std::u16string(u"CAST(? AS text[])");
                    names += comma + name;
                }
            }
            sql += u" (" + columns + u") SELECT " + selected + u" FROM unnest(" + arrays + u") AS u(" +
                   names + u")";
        } else {
            sql += u" (" + columns + u") VALUES " + values;
            for (size_t r = 1; r < rows; ++r) {
                sql += u',' + values;
            }
        }
    }
    Insert insert;
    insert.Key = key;
    if (!insert.Statement.Prepare(connection_, sql, error)) {
        return nullptr;
    }
    inserts_.push_front(std::move(insert));
    if (inserts_.size() > kMaxStatements) {
        inserts_.pop_back();
    }
    return &inserts_.front();
}

bool OdbcTableWriter::InsertRows(const Row* rows, size_t count, OdbcError& error) {
    if (const StatementWatch* watch = connection_.Watcher(); watch != nullptr && watch->Stopped()) {
        error = {0, "HY008", kCancelledText};
        return false;
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
    if (parameters > 0 && widest > insert->Slot) {
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

bool OdbcTableWriter::ReadColumnCasts(OdbcError& error) {
    arrays_ = false;
    casts_.fill(std::u16string());
    if (dbms_ != "PostgreSQL") {
        return true;
    }
    // One row per column F1..F20 whose type is not a string type: its number and the type its values are
    // cast to. A built-in type keeps the server's own text with its modifiers (numeric(10,2), bit(3));
    // any other type is named by its schema and name, each quoted by the server's rule (quote_ident), so
    // that no name, whatever it holds, can leave its quotes and reshape the statement.
    std::vector<std::vector<std::string>> rows;
    if (!connection_.QueryRows(
            u"SELECT substr(a.attname, 2), CASE WHEN n.nspname = 'pg_catalog' "
            u"THEN format_type(a.atttypid, a.atttypmod) "
            u"ELSE quote_ident(n.nspname) || '.' || quote_ident(t.typname) END "
            u"FROM pg_attribute a JOIN pg_type t ON t.oid = a.atttypid "
            u"JOIN pg_namespace n ON n.oid = t.typnamespace "
            u"WHERE a.attrelid = CAST(? AS regclass) AND a.attnum > 0 AND NOT a.attisdropped "
            u"AND a.attname ~ '^F([1-9]|1[0-9]|20)$' AND t.typcategory <> 'S'",
            {quotedTable_}, casts_.size(), rows, error)) {
        return false;
    }
    for (const std::vector<std::string>& row : rows) {
        const int n = row.size() == 2 ? std::atoi(row[0].c_str()) : 0;
        if (n < 1 || n > 20 || row[1].empty()) {
            casts_.fill(std::u16string());
            return true;  // not what was asked for: the VALUES form serves
        }
        casts_[static_cast<size_t>(n)] = u"::" + Utf8ToUtf16(row[1]);
    }
    arrays_ = true;
    return true;
}

bool OdbcTableWriter::InsertArrays(const Row* rows, size_t count, OdbcError& error) {
    if (const StatementWatch* watch = connection_.Watcher(); watch != nullptr && watch->Stopped()) {
        error = {0, "HY008", kCancelledText};
        return false;
    }
    Insert* insert = StatementFor(rows[0].Mask, 0, error);
    if (insert == nullptr) {
        return false;
    }
    const size_t columns = rows[0].Values.size();
    insert->Arrays.resize(columns);
    insert->Lengths.assign(columns, 0);
    for (size_t c = 0; c < columns; ++c) {
        // An array literal of quoted elements: inside the quotes only '"' and '\\' are escaped.
        std::u16string& array = insert->Arrays[c];
        array.assign(1, u'{');
        for (size_t r = 0; r < count; ++r) {
            array += r == 0 ? u"\"" : u",\"";
            for (const char16_t ch : rows[r].Values[c]) {
                if (ch == u'"' || ch == u'\\') {
                    array += u'\\';
                }
                array += ch;
            }
            array += u'"';
        }
        array += u'}';
        insert->Lengths[c] = static_cast<SQLLEN>(array.size() * sizeof(char16_t));
        const SQLRETURN rc = SQLBindParameter(insert->Statement.Handle(), static_cast<SQLUSMALLINT>(c + 1),
                                              SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, array.size(), 0,
                                              array.data(), insert->Lengths[c], &insert->Lengths[c]);
        if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
            error = insert->Statement.LastError();
            return false;
        }
    }
    return insert->Statement.Execute(error);
}
