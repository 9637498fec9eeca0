#include "output/database/odbc_connection.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/visible_text.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "unixODBC's SQLWCHAR is UTF-16");

namespace {

bool Succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

SQLWCHAR* Wide(std::u16string& text) {
    return reinterpret_cast<SQLWCHAR*>(text.data());
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    size_t i = 0;
    while (i < utf8.size()) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        char32_t code = 0xFFFD;
        size_t length = 1;
        if (byte < 0x80) {
            code = byte;
        } else if (byte >= 0xC2 && byte < 0xF5) {
            length = byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
            char32_t value = byte & (0x3F >> (length - 1));
            bool valid = i + length <= utf8.size();
            for (size_t k = 1; valid && k < length; ++k) {
                const auto next = static_cast<unsigned char>(utf8[i + k]);
                valid = (next & 0xC0) == 0x80;
                value = (value << 6) | (next & 0x3F);
            }
            const char32_t minimum = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
            if (valid && value >= minimum && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF)) {
                code = value;
            } else {
                length = 1;  // one bad byte becomes one replacement character
            }
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
        i += length;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t code = utf16[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

OdbcError DiagnoseHandle(SQLSMALLINT handleType, SQLHANDLE handle) {
    OdbcError error{0, "HY000", "unknown ODBC failure"};
    if (handle == SQL_NULL_HANDLE) {
        return error;
    }
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::vector<SQLWCHAR> message(1024);
    SQLRETURN rc = SQLGetDiagRecW(handleType, handle, 1, state, &native, message.data(),
                                  static_cast<SQLSMALLINT>(message.size()), &length);
    if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(message.size())) {
        message.resize(static_cast<size_t>(length) + 1);
        rc = SQLGetDiagRecW(handleType, handle, 1, state, &native, message.data(),
                            static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!Succeeded(rc)) {
        return error;
    }
    error.Native = native;
    error.State = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(state), 5));
    const size_t used = std::min(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)), message.size() - 1);
    error.Message = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(message.data()), used));
    // One line for the status display: drivers add context lines (psqlODBC's "Error while preparing
    // parameters") after the server's own message, and end it with ";" or a line break.
    error.Message.resize(std::min(error.Message.find_first_of("\r\n"), error.Message.size()));
    while (!error.Message.empty() && (error.Message.back() == ';' || error.Message.back() == ' ')) {
        error.Message.pop_back();
    }
    // Servers repeat record values in their messages (an invalid number, a value too long): outside text.
    error.Message = VisibleText(error.Message);
    return error;
}

OdbcHandle& OdbcHandle::operator=(OdbcHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        type_ = other.type_;
        handle_ = std::exchange(other.handle_, static_cast<SQLHANDLE>(nullptr));
    }
    return *this;
}

bool OdbcHandle::Allocate(SQLSMALLINT type, SQLHANDLE parent) {
    Reset();
    type_ = type;
    if (!Succeeded(SQLAllocHandle(type, parent, &handle_))) {
        handle_ = SQL_NULL_HANDLE;
        return false;
    }
    return true;
}

void OdbcHandle::Reset() {
    if (handle_ != SQL_NULL_HANDLE) {
        SQLFreeHandle(type_, handle_);
        handle_ = SQL_NULL_HANDLE;
    }
}

OdbcConnection::~OdbcConnection() {
    Disconnect();
}

namespace {

// One SQLDriverConnect running on a thread of its own. Whoever is last to let go of it (the caller that
// took the connection, or the thread of a connect the caller gave up on) frees the handles.
struct PendingConnect {
    OdbcHandle Env;
    OdbcHandle Dbc;
    std::u16string Text;
    SQLRETURN Result = SQL_ERROR;
    bool Done = false;
    bool Abandoned = false;
    std::mutex Mutex;
    std::condition_variable Finished;
};

// What the caller waits beyond the login time-out before it leaves a connect behind: a driver that
// honours the time-out reports its own failure first.
constexpr std::chrono::seconds kLoginGrace{2};

}  // namespace

bool OdbcConnection::Connect(std::string_view connectionString, std::chrono::seconds loginTimeout,
                             OdbcError& error) {
    Disconnect();
    auto pending = std::make_shared<PendingConnect>();
    if (!pending->Env.Allocate(SQL_HANDLE_ENV, SQL_NULL_HANDLE) ||
        !Succeeded(SQLSetEnvAttr(pending->Env.Get(), SQL_ATTR_ODBC_VERSION,
                                 reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
        error = {0, "HY001", "the ODBC environment cannot be set up"};
        return false;
    }
    if (!pending->Dbc.Allocate(SQL_HANDLE_DBC, pending->Env.Get())) {
        error = DiagnoseHandle(SQL_HANDLE_ENV, pending->Env.Get());
        return false;
    }
    const auto seconds = static_cast<SQLULEN>(loginTimeout.count());
    // SQL_ATTR_CONNECTION_TIMEOUT is not set: the statement time-out and its watch bound every call after
    // the login, and some drivers (psqlODBC) refuse the attribute.
    if (!Succeeded(SQLSetConnectAttrW(pending->Dbc.Get(), SQL_ATTR_LOGIN_TIMEOUT,
                                      reinterpret_cast<SQLPOINTER>(seconds), 0))) {
        // Not needed from the driver: the wait below gives up on a login that takes longer.
    }
    pending->Text = Utf8ToUtf16(connectionString);

    std::thread([pending] {
        const SQLRETURN rc = SQLDriverConnectW(pending->Dbc.Get(), nullptr, Wide(pending->Text),
                                               static_cast<SQLSMALLINT>(pending->Text.size()), nullptr, 0,
                                               nullptr, SQL_DRIVER_NOPROMPT);
        std::lock_guard lock(pending->Mutex);
        pending->Result = rc;
        pending->Done = true;
        if (pending->Abandoned && Succeeded(rc)) {
            SQLDisconnect(pending->Dbc.Get());
        }
        pending->Finished.notify_all();
    }).detach();

    std::unique_lock lock(pending->Mutex);
    if (!pending->Finished.wait_for(lock, loginTimeout + kLoginGrace, [&] { return pending->Done; })) {
        pending->Abandoned = true;
        error = {0, "HYT00", kTimeoutText};
        return false;
    }
    if (!Succeeded(pending->Result)) {
        error = DiagnoseHandle(SQL_HANDLE_DBC, pending->Dbc.Get());
        return false;
    }
    env_ = std::move(pending->Env);
    dbc_ = std::move(pending->Dbc);
    connected_ = true;
    autocommit_ = true;
    return true;
}

void OdbcConnection::Disconnect() {
    if (connected_) {
        if (!autocommit_) {
            Rollback();
        }
        SQLDisconnect(dbc_.Get());
        connected_ = false;
    }
    dbc_.Reset();
    env_.Reset();
}

bool OdbcConnection::SetAutocommit(bool on, OdbcError& error) {
    const auto value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    if (!Succeeded(SQLSetConnectAttrW(dbc_.Get(), SQL_ATTR_AUTOCOMMIT,
                                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(value)), 0))) {
        error = DiagnoseHandle(SQL_HANDLE_DBC, dbc_.Get());
        return false;
    }
    autocommit_ = on;
    return true;
}

bool OdbcConnection::Commit(OdbcError& error) {
    if (!Succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc_.Get(), SQL_COMMIT))) {
        error = DiagnoseHandle(SQL_HANDLE_DBC, dbc_.Get());
        return false;
    }
    return true;
}

void OdbcConnection::Rollback() {
    SQLEndTran(SQL_HANDLE_DBC, dbc_.Get(), SQL_ROLLBACK);
}

bool OdbcConnection::Execute(std::string_view sql, OdbcError& error) {
    OdbcHandle stmt;
    if (!stmt.Allocate(SQL_HANDLE_STMT, dbc_.Get())) {
        error = DiagnoseHandle(SQL_HANDLE_DBC, dbc_.Get());
        return false;
    }
    std::u16string text = Utf8ToUtf16(sql);
    const SQLRETURN rc = SQLExecDirectW(stmt.Get(), Wide(text), static_cast<SQLINTEGER>(text.size()));
    if (!Succeeded(rc) && rc != SQL_NO_DATA) {
        error = DiagnoseHandle(SQL_HANDLE_STMT, stmt.Get());
        return false;
    }
    return true;
}

bool OdbcConnection::QueryRow(std::u16string_view sql, const std::vector<std::u16string>& parameters,
                              std::vector<std::string>& row, bool& found, OdbcError& error) {
    std::vector<std::vector<std::string>> rows;
    const bool ok = QueryRows(sql, parameters, 1, rows, error);
    found = ok && !rows.empty();
    row = found ? std::move(rows.front()) : std::vector<std::string>();
    return ok;
}

bool OdbcConnection::QueryRows(std::u16string_view sql, const std::vector<std::u16string>& parameters,
                               size_t maxRows, std::vector<std::vector<std::string>>& rows,
                               OdbcError& error) {
    rows.clear();
    OdbcStatement statement;
    if (!statement.Prepare(*this, sql, error)) {
        return false;
    }
    std::vector<std::u16string> values = parameters;
    std::vector<SQLLEN> lengths(values.size());
    for (size_t p = 0; p < values.size(); ++p) {
        lengths[p] = static_cast<SQLLEN>(values[p].size() * sizeof(char16_t));
        if (!Succeeded(SQLBindParameter(statement.Handle(), static_cast<SQLUSMALLINT>(p + 1), SQL_PARAM_INPUT,
                                        SQL_C_WCHAR, SQL_WVARCHAR, std::max<size_t>(values[p].size(), 1), 0,
                                        Wide(values[p]), lengths[p], &lengths[p]))) {
            error = statement.LastError();
            return false;
        }
    }
    WatchedStatement watched(watch_, [handle = statement.Handle()] { SQLCancel(handle); });
    if (!Succeeded(SQLExecute(statement.Handle()))) {
        error = statement.LastError();
        return false;
    }
    SQLSMALLINT columns = 0;
    SQLNumResultCols(statement.Handle(), &columns);
    while (rows.size() < maxRows) {
        const SQLRETURN fetched = SQLFetch(statement.Handle());
        if (fetched == SQL_NO_DATA) {
            break;
        }
        if (!Succeeded(fetched)) {
            error = statement.LastError();
            return false;
        }
        std::vector<std::string>& row = rows.emplace_back();
        for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
            // In pieces until the driver has given the whole value (SQL_NO_DATA after its last piece).
            std::u16string value;
            for (;;) {
                SQLWCHAR piece[256] = {};
                SQLLEN length = 0;
                const SQLRETURN got =
                    SQLGetData(statement.Handle(), c, SQL_C_WCHAR, piece, sizeof piece, &length);
                if (got == SQL_NO_DATA) {
                    break;
                }
                if (!Succeeded(got)) {
                    error = statement.LastError();
                    return false;
                }
                const size_t whole = length == SQL_NO_TOTAL || static_cast<size_t>(length) >= sizeof piece
                                         ? std::size(piece) - 1
                                     : length <= 0 ? 0
                                                   : static_cast<size_t>(length) / sizeof(SQLWCHAR);
                value.append(reinterpret_cast<const char16_t*>(piece), whole);
                if (value.size() > kMaxQueryValue) {
                    error = {0, "HY000",
                             "ｻｰﾊﾞｰの値が長すぎます (" + std::to_string(kMaxQueryValue) + " 文字まで)"};
                    return false;
                }
                if (got == SQL_SUCCESS) {
                    break;  // the last piece
                }
            }
            row.push_back(Utf16ToUtf8(value));
        }
    }
    SQLCloseCursor(statement.Handle());
    return true;
}

size_t OdbcConnection::MaxTableNameLength() const {
    SQLUSMALLINT length = 0;
    if (!Succeeded(SQLGetInfoW(dbc_.Get(), SQL_MAX_TABLE_NAME_LEN, &length, sizeof length, nullptr))) {
        return 0;
    }
    return length;
}

std::u16string OdbcConnection::IdentifierQuote() const {
    SQLWCHAR quote[8] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetInfoW(dbc_.Get(), SQL_IDENTIFIER_QUOTE_CHAR, quote, sizeof quote, &length))) {
        return u"\"";
    }
    std::u16string text(
        reinterpret_cast<const char16_t*>(quote),
        std::min<size_t>(static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) / sizeof(SQLWCHAR),
                         std::size(quote) - 1));
    // A blank means the driver does not quote identifiers.
    return text == u" " ? std::u16string() : text;
}

std::string OdbcConnection::DbmsName() const {
    SQLWCHAR name[128] = {};
    SQLSMALLINT length = 0;
    if (!Succeeded(SQLGetInfoW(dbc_.Get(), SQL_DBMS_NAME, name, sizeof name, &length))) {
        return {};
    }
    const size_t used = std::min<size_t>(
        static_cast<size_t>(std::max<SQLSMALLINT>(length, 0)) / sizeof(SQLWCHAR), std::size(name) - 1);
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(name), used));
}

bool OdbcStatement::Prepare(OdbcConnection& connection, std::u16string_view sql, OdbcError& error) {
    if (!stmt_.Allocate(SQL_HANDLE_STMT, connection.Handle())) {
        error = DiagnoseHandle(SQL_HANDLE_DBC, connection.Handle());
        return false;
    }
    watch_ = connection.Watcher();
    if (watch_ != nullptr) {
        // Whole seconds, at least one.
        const auto seconds = std::max<long long>(1, std::chrono::duration_cast<std::chrono::seconds>(
                                                        watch_->Timeout() + std::chrono::milliseconds(999))
                                                        .count());
        if (!Succeeded(SQLSetStmtAttrW(stmt_.Get(), SQL_ATTR_QUERY_TIMEOUT,
                                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0))) {
            // Not needed from the driver: the watch cancels the statement at the same time-out.
        }
    }
    std::u16string text(sql);
    if (!Succeeded(SQLPrepareW(stmt_.Get(), Wide(text), static_cast<SQLINTEGER>(text.size())))) {
        error = LastError();
        stmt_.Reset();
        return false;
    }
    return true;
}

bool OdbcStatement::Execute(OdbcError& error) {
    SQLRETURN rc = SQL_ERROR;
    {
        WatchedStatement watched(watch_, [handle = stmt_.Get()] { SQLCancel(handle); });
        rc = SQLExecute(stmt_.Get());
    }
    if (!Succeeded(rc) && rc != SQL_NO_DATA) {
        error = LastError();
        if (watch_ != nullptr && error.Message == "unknown ODBC failure") {
            error.Message = watch_->TimedOut() ? kTimeoutText : kCancelledText;
        }
        SQLFreeStmt(stmt_.Get(), SQL_CLOSE);
        return false;
    }
    SQLFreeStmt(stmt_.Get(), SQL_CLOSE);
    return true;
}
