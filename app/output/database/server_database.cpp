#include "output/database/server_database.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>

#include "codec/text_encoding.h"
#include "common/system_error.h"
#include "output/database/database_records.h"
#include "output/database/odbc_connection.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/odbc_table_writer.h"
#include "output/record_fields.h"
#include "output/writers.h"

namespace {

std::atomic<size_t> rowsPerGroup{0};

std::string WriteErrorText(const OdbcError& error, const std::string& connectionString) {
    return HidePasswords(
        "MDB書込ｴﾗｰ : #" + std::to_string(error.Native) + "[" + error.State + "] " + error.Message,
        connectionString);
}

// Every step from connecting to the last commit; the failure, if any, after the rows before it are
// committed.
bool WriteRows(const SettingsRecord& settings, const RunState& run, OperatorView& view, OdbcError& error) {
    if (!Cp932ConvertersAvailable()) {
        error = {0, "HY000", kNoCp932ConverterText};
        return false;
    }
    OdbcConnection connection;
    if (!connection.Connect(settings.DbConnect, kServerLoginTimeout, error)) {
        return false;
    }
    const size_t group = rowsPerGroup.load();
    OdbcTableWriter table(connection, group == 0 ? OdbcTableWriter::kDefaultRowsPerGroup : group);
    if (!table.Open(run.TableName, error)) {
        return false;
    }
    view.SetBusyPointer(true);

    DatabaseRecords backup;
    if (!backup.Open(settings.BackFilePath)) {
        error = {backup.ErrorNumber(), "HY000",
                 "unable to open backup file " + settings.BackFilePath + ": " +
                     SystemErrorText(backup.ErrorNumber())};
        return false;
    }
    RecordFields output;
    while (backup.Next(settings.SelectedFields, output)) {
        if (!table.AddRow(output, error)) {
            return false;
        }
    }
    // The rows read before a read failure are committed, like the rows before a failed row.
    if (!table.Close(error)) {
        return false;
    }
    if (backup.Failed()) {
        error = {backup.ErrorNumber(), "HY000",
                 std::string("backup file read error: ") + SystemErrorText(backup.ErrorNumber())};
        return false;
    }
    return true;
}

}  // namespace

void SetServerRowsPerGroup(size_t rows) {
    rowsPerGroup.store(rows);
}

bool CheckServerDatabase(const std::string& connectionString, OperatorView& view) {
    OdbcConnection connection;
    OdbcError error;
    if (connection.Connect(connectionString, kServerLoginTimeout, error)) {
        return true;
    }
    view.ShowMessage(kAppTitle,
                     HidePasswords("ｴﾗｰ\r\n" + DataSourceLabel(connectionString) + " に接続できません。\r\n" +
                                       error.Message,
                                   connectionString),
                     MessageIcon::None);
    return false;
}

bool SaveToServerDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    OdbcError error;
    if (!WriteRows(settings, run, view, error)) {
        const std::string text = WriteErrorText(error, settings.DbConnect);
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.AppendStatus(text);
        view.SetBusyPointer(false);
        return false;
    }
    view.SetBusyPointer(false);
    return true;
}
