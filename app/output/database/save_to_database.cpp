#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "codec/text_encoding.h"
#include "common/system_error.h"
#include "output/database/database_connection.h"
#include "output/database/database_records.h"
#include "output/database/database_table_writer.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/save_to_database.h"
#include "output/database/server_database.h"
#include "output/record_fields.h"

namespace {

// The box and status line for a database file that does not exist.
constexpr const char* kMissingHead = "ｴﾗｰ\r\n";
constexpr const char* kMissingTail = " が存在しません。";

// Every step from opening the database to the last row. Returns the failure, if any, after every
// handle it opened is closed again and the rows saved so far are committed.
std::optional<DatabaseError> WriteRows(const SettingsRecord& settings, const RunState& run,
                                       OperatorView& view) {
    if (!Cp932ConvertersAvailable()) {
        return DatabaseError{SQLITE_ERROR, kNoCp932ConverterText};
    }
    DatabaseError error;
    DatabaseConnection connection;
    if (!connection.Open(run.OutputPath, error)) {
        return error;
    }
    DatabaseTableWriter table(connection);
    if (!table.Open(run.TableName, error)) {
        return error;
    }
    view.SetBusyPointer(true);

    DatabaseRecords backup;
    if (!backup.Open(settings.BackFilePath)) {
        return DatabaseError{SQLITE_CANTOPEN, "unable to open backup file " + settings.BackFilePath + ": " +
                                                  SystemErrorText(backup.ErrorNumber())};
    }
    RecordFields output;
    while (backup.Next(settings.SelectedFields, output)) {
        if (!table.AddRow(output, error)) {
            return error;
        }
    }
    // The rows read before a read failure stay saved, like the rows before a failed row.
    if (!table.Close(error)) {
        return error;
    }
    if (backup.Failed()) {
        return DatabaseError{SQLITE_IOERR_READ,
                             std::string("backup file read error: ") + SystemErrorText(backup.ErrorNumber())};
    }
    return std::nullopt;
}

}  // namespace

std::string DatabasePath(std::string_view saveFolder, std::string_view databaseName) {
    if (!saveFolder.empty() && saveFolder.back() == '/') {
        saveFolder.remove_suffix(1);
    }
    return std::string(saveFolder) + "/" + std::string(databaseName) + ".mdb";
}

StoreTarget CheckDatabaseTarget(const SettingsRecord& settings, OperatorView& view) {
    StoreTarget target;
    if (UsesServerDatabase(settings)) {
        target.Label = DataSourceLabel(settings.DbConnect);
        target.Reachable = CheckServerDatabase(settings.DbConnect, view);
        return target;
    }
    target.Label = DatabasePath(settings.SaveFolder, settings.DatabaseName);
    struct stat info {};
    target.Reachable = ::stat(target.Label.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (!target.Reachable) {
        view.ShowMessage(kAppTitle, kMissingHead + target.Label + kMissingTail, MessageIcon::None);
    }
    return target;
}

bool SaveToDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    if (UsesServerDatabase(settings)) {
        return SaveToServerDatabase(settings, run, view);
    }
    const std::string& path = run.OutputPath;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        view.ShowMessage(kAppTitle, kMissingHead + path + kMissingTail, MessageIcon::None);
        view.AppendStatus(path + kMissingTail);
        return false;
    }

    const std::optional<DatabaseError> failure = WriteRows(settings, run, view);
    if (failure) {
        const std::string text = "MDB書込ｴﾗｰ : #" + std::to_string(failure->Number) + failure->Description;
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.AppendStatus(text);
        view.SetBusyPointer(false);
        return false;
    }
    view.SetBusyPointer(false);
    return true;
}
