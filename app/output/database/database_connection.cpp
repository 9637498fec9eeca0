#include "output/database/database_connection.h"

#include "common/file_ops.h"
#include "common/held_folder_vfs.h"
#include "common/system_error.h"
#include "common/visible_text.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace {

DatabaseError EngineError(int code) {
    return {code, sqlite3_errstr(code)};
}

}  // namespace

DatabaseConnection::~DatabaseConnection() {
    Close();
}

void DatabaseConnection::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int DatabaseConnection::Busy(void* self, int count) {
    // The engine's own handler sleeps without looking at anything; this one ends the wait at a stop.
    auto* connection = static_cast<DatabaseConnection*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) {
        connection->busySince_ = now;
    }
    if ((connection->watch_ != nullptr && connection->watch_->Stopped()) ||
        now - connection->busySince_ >= connection->busyTimeout_) {
        return 0;
    }
    sqlite3_sleep(10);
    return 1;
}

bool DatabaseConnection::Open(std::string_view databasePath, DatabaseError& error,
                              std::chrono::milliseconds busyTimeout, const StatementWatch* watch) {
    Close();
    busyTimeout_ = busyTimeout;
    watch_ = watch;
    std::string path(databasePath);
    if (path.find('\0') != std::string::npos) {
        error = EngineError(SQLITE_CANTOPEN);
        return false;
    }

    // A FIFO or a device would block the engine's first read for good, and a folder is no database:
    // only a regular file (or a link to one, except in a folder others may write) is opened.
    const FileAt file(path);
    const bool shared = InSharedFolder(file);
    struct stat info {};
    if (fstatat(file.Folder, file.Name.c_str(), &info, shared ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
        error = {SQLITE_CANTOPEN, std::string(sqlite3_errstr(SQLITE_CANTOPEN)) + ": " + std::strerror(errno)};
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = {SQLITE_CANTOPEN,
                 SystemErrorText(S_ISLNK(info.st_mode) ? kLinkInSharedFolder : kNotRegularFile)};
        return false;
    }

    // This SQLite reads names starting with "file:" as URIs; a relative path is made to start with
    // "./" so that it always names the file itself. A database in the held program folder is opened
    // through the folder's descriptor.
    if (file.Folder != AT_FDCWD) {
        path = PathOf(file);
    } else if (!path.starts_with('/')) {
        path.insert(0, "./");
    }
    // Never SQLITE_OPEN_CREATE; no link either where the look above refused one (it may be planted since).
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE | (shared ? SQLITE_OPEN_NOFOLLOW : 0);
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, HeldFolderVfsFor(path));
    if (rc != SQLITE_OK) {
        error = db_ != nullptr ? LastError() : EngineError(rc);
        Close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_handler(db_, &DatabaseConnection::Busy, this);

    // The engine falls back to read-only on a write-protected file; say so now rather than at the
    // first row.
    if (sqlite3_db_readonly(db_, "main") == 1) {
        error = EngineError(SQLITE_READONLY);
        Close();
        return false;
    }
    // Opening reads nothing yet. Reading the schema proves the file is an SQLite database (not, say, a
    // renamed spreadsheet) and waits for another program's lock.
    if (!Execute("SELECT count(*) FROM sqlite_master", error)) {
        Close();
        return false;
    }
    return true;
}

bool DatabaseConnection::Execute(const char* sql, DatabaseError& error) {
    if (db_ == nullptr) {
        error = EngineError(SQLITE_MISUSE);
        return false;
    }
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        error = LastError();
        return false;
    }
    return true;
}

DatabaseError DatabaseConnection::LastError() const {
    if (db_ == nullptr) {
        return EngineError(SQLITE_MISUSE);
    }
    // The engine's message may quote a value or a name from the database: outside text.
    return {sqlite3_extended_errcode(db_), VisibleText(sqlite3_errmsg(db_))};
}

bool DatabaseConnection::InAutocommit() const {
    return db_ == nullptr || sqlite3_get_autocommit(db_) != 0;
}

DatabaseStatement::~DatabaseStatement() {
    sqlite3_finalize(stmt_);
}

DatabaseStatement& DatabaseStatement::operator=(DatabaseStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

bool DatabaseStatement::Prepare(DatabaseConnection& connection, std::string_view sql, DatabaseError& error) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    if (!connection.IsOpen()) {
        error = EngineError(SQLITE_MISUSE);
        return false;
    }
    if (sqlite3_prepare_v2(connection.Handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
        SQLITE_OK) {
        error = connection.LastError();
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        return false;
    }
    return true;
}

std::string QuoteIdentifier(std::string_view name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    quoted += '"';
    return quoted;
}
