#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "codec/text_encoding.h"
#include "output/database_connection.h"
#include "output/database_connection_string.h"
#include "output/database_table_writer.h"
#include "output/record_fields.h"
#include "output/writers.h"

namespace {

// The backup file read line by line. CR LF ends a line, as the upload writes it; a CR or LF alone is part
// of the record (the text writer reads it the same way), and a last line without CR LF still counts.
class BackupLines {
public:
    BackupLines() = default;
    ~BackupLines() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
        std::free(buffer_);
    }
    BackupLines(const BackupLines&) = delete;
    BackupLines& operator=(const BackupLines&) = delete;

    bool Open(const std::string& path, DatabaseError& error) {
        file_ = std::fopen(path.c_str(), "rb");
        if (file_ == nullptr) {
            error = {SQLITE_CANTOPEN, "unable to open backup file " + path + ": " + std::strerror(errno)};
            return false;
        }
        return true;
    }

    // False at the end of the file, and at a read failure (then `failed` is set).
    bool Next(std::string& line, std::optional<DatabaseError>& failed) {
        line.clear();
        bool any = false;
        while (true) {
            const ssize_t length = getline(&buffer_, &capacity_, file_);
            if (length < 0) {
                if (std::ferror(file_)) {
                    failed = DatabaseError{SQLITE_IOERR_READ,
                                           std::string("backup file read error: ") + std::strerror(errno)};
                    return false;
                }
                return any;
            }
            any = true;
            line.append(buffer_, static_cast<size_t>(length));
            if (line.ends_with("\r\n")) {
                line.resize(line.size() - 2);
                return true;
            }
        }
    }

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;  // grown by getline
    size_t capacity_ = 0;
};

// CP932 record text as UTF-8 for the database; plain ASCII is the same in both.
std::string FieldToUtf8(const std::string& cp932) {
    for (const char c : cp932) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return Cp932ToUtf8(cp932);
        }
    }
    return cp932;
}

// Every step from opening the database to the last row. Returns the failure, if any, after every
// handle it opened is closed again and the rows saved so far are committed.
std::optional<DatabaseError> WriteRows(const SettingsRecord& settings, const RunState& run,
                                       OperatorView& view) {
    DatabaseError error;
    DatabaseConnection connection;
    if (!connection.Open(BuildConnectionString(settings.MdbType, run.OutputPath), error)) {
        return error;
    }
    DatabaseTableWriter table(connection);
    if (!table.Open(run.TableName, error)) {
        return error;
    }
    view.SetBusyPointer(true);

    BackupLines backup;
    if (!backup.Open(settings.BackFilePath, error)) {
        return error;
    }
    std::string line;
    std::optional<DatabaseError> readFailure;
    while (backup.Next(line, readFailure)) {
        RecordFields output = SelectFields(SplitRecord(line), settings.XlsField);
        for (int n = 1; n <= 20; ++n) {
            output[n] = FieldToUtf8(output[n]);
        }
        if (!table.AddRow(output, error)) {
            return error;
        }
    }
    // The rows read before a read failure stay saved, like the rows before a failed row.
    if (!table.Close(error)) {
        return error;
    }
    return readFailure;
}

}  // namespace

bool SaveAsMdb(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    const std::string& path = run.OutputPath;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        view.ShowMessage(kAppTitle, "ｴﾗｰ\r\n" + path + " が存在しません。", MessageIcon::None);
        view.ShowStatus(1, path + " が存在しません。");
        return false;
    }

    const std::optional<DatabaseError> failure = WriteRows(settings, run, view);
    if (failure) {
        const std::string text = "MDB書込ｴﾗｰ : #" + std::to_string(failure->Number) + failure->Description;
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.ShowStatus(1, text);
        view.SetBusyPointer(false);
        return false;
    }
    view.SetBusyPointer(false);
    return true;
}
