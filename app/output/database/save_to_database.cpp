#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "common/system_error.h"
#include "output/database/database_connection.h"
#include "output/database/database_failure_text.h"
#include "output/database/database_records.h"
#include "output/database/database_table_writer.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/save_to_database.h"
#include "output/database/statement_watch.h"
#include "output/record_fields.h"
#include "output/writers.h"

namespace {

// The box and status line for a database file that does not exist.
constexpr const char* kMissingHead = "ｴﾗｰ\r\n";
constexpr const char* kMissingTail = " が存在しません。";

// One upload's rows in the SQLite file, committed at once by Prepare (the mail attaches the file, which
// must hold them) and taken back by their row ids when the upload is undone.
class SqliteCommittedRows : public PreparedStore {
public:
    SqliteCommittedRows(const SettingsRecord& settings, RunState& run, std::chrono::milliseconds timeout)
        : settings_(settings), run_(run), timeout_(timeout), watch_(&run.IsRunning, timeout) {}

    // Every step from opening the database to the commit; the failure, if any, after the transaction
    // is rolled back.
    std::optional<DatabaseError> Write(OperatorView& view) {
        if (!Cp932ConvertersAvailable()) {
            return DatabaseError{SQLITE_ERROR, kNoCp932ConverterText};
        }
        DatabaseError error;
        if (!connection_.Open(run_.OutputPath, error, timeout_, &watch_)) {
            return error;
        }
        DatabaseTableWriter table(connection_, &watch_);
        if (!table.Open(run_.TableName, error)) {
            return error;
        }
        view.SetBusyPointer(true);

        DatabaseRecords backup;
        if (!backup.Open(ProgramFile(settings_, settings_.BackFilePath))) {
            return DatabaseError{SQLITE_CANTOPEN, "unable to open backup file " + settings_.BackFilePath +
                                                      ": " + SystemErrorText(backup.ErrorNumber())};
        }
        RecordFields output;
        while (backup.Next(settings_.SelectedFields, output)) {
            if (!table.AddRow(output, error)) {
                return error;
            }
        }
        // A read failure is no end of file: the rest of the records would be lost.
        if (backup.Failed()) {
            return DatabaseError{SQLITE_IOERR_READ, std::string("backup file read error: ") +
                                                        SystemErrorText(backup.ErrorNumber())};
        }
        if (!table.Commit(error)) {
            return error;
        }
        quotedTable_ = table.QuotedTable();
        rowIds_ = table.RowIds();
        return std::nullopt;
    }

    bool Stopped() const { return watch_.Stopped(); }

    MailAttachment Attachment() override {
        return {run_.OutputPath, FileNamePart(run_.OutputPath), "application/vnd.sqlite3", {}};
    }

    // Committed (fully synchronous) by Prepare already.
    StoreState Commit(OperatorView&) override { return StoreState::Committed; }

    StoreState Undo(OperatorView& view) override {
        if (rowIds_.empty()) {
            return StoreState::Undone;
        }
        // Taken back even when the mail failed at a stop: the lock is waited for up to the time-out.
        connection_.Watch(nullptr);
        DatabaseError error;
        if (!DeleteRows(connection_, quotedTable_, rowIds_, error)) {
            const std::string text = "MDB書込ｴﾗｰ : #" + std::to_string(error.Number) + error.Description +
                                     " (取り消せなかった " + std::to_string(rowIds_.size()) +
                                     " 行が残っています: " + run_.OutputPath + ")";
            view.ShowMessage(kAppTitle, text, MessageIcon::None);
            view.AppendStatus(text);
            return StoreState::UndoFailed;
        }
        rowIds_.clear();
        return StoreState::Undone;
    }

    void Keep() override { rowIds_.clear(); }

private:
    const SettingsRecord& settings_;
    RunState& run_;
    std::chrono::milliseconds timeout_;
    StatementWatch watch_;
    DatabaseConnection connection_;
    std::string quotedTable_;
    std::vector<int64_t> rowIds_;
};

bool ReportMissing(OperatorView& view, const std::string& path) {
    view.ShowMessage(kAppTitle, kMissingHead + path + kMissingTail, MessageIcon::None);
    view.AppendStatus(path + kMissingTail);
    return false;
}

}  // namespace

std::string DatabasePath(std::string_view saveFolder, std::string_view mdbName) {
    if (!saveFolder.empty() && saveFolder.back() == '/') {
        saveFolder.remove_suffix(1);
    }
    return std::string(saveFolder) + "/" + std::string(mdbName) + ".mdb";
}

OutputName NameDatabaseTable(const SettingsRecord& settings, std::string_view databasePath,
                             std::string_view terminalId) {
    OutputName name;
    name.OutputPath = std::string(databasePath);
    name.TableName = settings.MdbTblName.empty() ? std::string(terminalId) : settings.MdbTblName;
    name.FileLabel = name.OutputPath + "\r\nﾃｰﾌﾞﾙ : " + name.TableName;
    return name;
}

OutputName DatabaseStore::NameOutput(const SettingsRecord& settings, const RunState& run,
                                     std::string_view terminalId, const PcDateTime&) const {
    return NameDatabaseTable(settings, run.OutputPath, terminalId);
}

bool SqliteFileStore::CheckTarget(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    run.OutputPath = DatabasePath(settings.SaveFolder, settings.DatabaseName);
    struct stat info {};
    if (::stat(run.OutputPath.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        return true;
    }
    view.ShowMessage(kAppTitle, kMissingHead + run.OutputPath + kMissingTail, MessageIcon::None);
    return false;
}

std::unique_ptr<PreparedStore> SqliteFileStore::Prepare(const SettingsRecord& settings, RunState& run,
                                                        OperatorView& view) {
    const std::string& path = run.OutputPath;
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status) || std::filesystem::is_directory(status)) {
        ReportMissing(view, path);
        return nullptr;
    }
    auto store = std::make_unique<SqliteCommittedRows>(settings, run, options_.StatementTimeout);
    std::optional<DatabaseError> failure = store->Write(view);
    if (failure && store->Stopped()) {
        failure = DatabaseError{SQLITE_INTERRUPT, kCancelledText};  // whatever the step waiting said
    }
    if (failure) {
        store.reset();  // rolled back before the operator is told, as the box may wait a long time
        // A failure the operator can put right gets its description between the number and SQLite's text.
        const std::string described = WithDescription(failure->Description, "", run.TableName);
        const std::string text = "MDB書込ｴﾗｰ : #" + std::to_string(failure->Number) +
                                 (described == failure->Description ? described : " " + described);
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.AppendStatus(text);
    }
    view.SetBusyPointer(false);
    return store;
}
