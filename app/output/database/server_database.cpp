#include "output/database/server_database.h"

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "codec/text_encoding.h"
#include "common/system_error.h"
#include "output/database/database_failure_text.h"
#include "output/database/database_records.h"
#include "output/database/odbc_connection.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/odbc_table_writer.h"
#include "output/database/statement_watch.h"
#include "output/record_fields.h"
#include "output/text_attachment.h"
#include "output/text_file_store.h"
#include "output/writers.h"
#include "settings/settings_store.h"

namespace {

constexpr const char* kRefusedLogin = "ﾛｸﾞｲﾝが拒否されました (ﾕｰｻﾞｰ名とﾊﾟｽﾜｰﾄﾞを確認してください)";

// The server refused the user or the password: SQLSTATE class 28 (SQL Server, MariaDB), or psqlODBC's
// "08001" with PostgreSQL's own words.
bool IsRefusedLogin(const OdbcError& error) {
    return error.State.rfind("28", 0) == 0 ||
           error.Message.find("password authentication failed") != std::string::npos;
}

// The head, a description for the failures an operator can put right, then the driver's message.
std::string WriteErrorText(const OdbcError& error, const std::string& connectionString,
                           const std::string& table) {
    return HidePasswords("MDB書込ｴﾗｰ : #" + std::to_string(error.Native) + "[" + error.State + "] " +
                             WithDescription(error.Message, error.State, table),
                         connectionString);
}

void ReportWriteError(OperatorView& view, const OdbcError& error, const std::string& connectionString,
                      const std::string& table) {
    const std::string text = WriteErrorText(error, connectionString, table);
    view.ShowMessage(kAppTitle, text, MessageIcon::None);
    view.AppendStatus(text);
}

// One upload's rows in one open transaction on a connection of its own.
class ServerTransaction : public PreparedStore {
public:
    ServerTransaction(const SettingsRecord& settings, RunState& run, const DatabaseStoreOptions& options)
        : settings_(settings),
          run_(run),
          options_(options),
          watch_(&run.IsRunning, options.StatementTimeout) {}

    // Every step from connecting to the last row sent; the transaction stays open.
    bool Write(OdbcError& error) {
        if (!Cp932ConvertersAvailable()) {
            error = {0, "HY000", kNoCp932ConverterText};
            return false;
        }
        if (!connection_.Connect(settings_.DbConnect, kServerLoginTimeout, error)) {
            return false;
        }
        connection_.Watch(&watch_);
        table_ = std::make_unique<OdbcTableWriter>(connection_, options_.RowsPerGroup);
        if (!table_->Open(run_.TableName, error, options_.Naming)) {
            return false;
        }
        DatabaseRecords backup;
        if (!backup.Open(ProgramFile(settings_, settings_.BackFilePath))) {
            error = {backup.ErrorNumber(), "HY000",
                     "unable to open backup file " + settings_.BackFilePath + ": " +
                         SystemErrorText(backup.ErrorNumber())};
            return false;
        }
        RecordFields output;
        while (backup.Next(settings_.SelectedFields, output)) {
            if (!table_->AddRow(output, error)) {
                return false;
            }
        }
        // A read failure is no end of file: the rest of the records would be lost.
        if (backup.Failed()) {
            error = {backup.ErrorNumber(), "HY000",
                     std::string("backup file read error: ") + SystemErrorText(backup.ErrorNumber())};
            return false;
        }
        return table_->Flush(error);
    }

    // The upload as the text store would write it, "<table>.txt", made at the first call.
    MailAttachment Attachment() override {
        MailAttachment attachment{{}, {}, TextEncoding{}.ContentType, {}};
        if (attachment_.Path().empty() && !attachment_.Make(settings_, run_.TableName, attachment.Why)) {
            return attachment;
        }
        attachment.Path = attachment_.Path();
        return attachment;
    }
    long MailSecondsCap() const override { return kServerMailSecondsCap; }

    StoreState Commit(OperatorView& view) override {
        OdbcError error;
        if (!table_->Commit(error)) {
            ReportWriteError(view, error, settings_.DbConnect, run_.TableName);
            return StoreState::Failed;
        }
        committed_ = true;
        return StoreState::Committed;
    }

    StoreState Undo(OperatorView& view) override {
        if (committed_) {
            view.AppendStatus(kServerKeptText);
            return StoreState::Committed;
        }
        table_->Rollback();
        return StoreState::Undone;
    }

private:
    const SettingsRecord& settings_;
    RunState& run_;
    DatabaseStoreOptions options_;
    StatementWatch watch_;
    OdbcConnection connection_;
    std::unique_ptr<OdbcTableWriter> table_;
    TextAttachment attachment_;
    bool committed_ = false;
};

}  // namespace

bool CheckServerDatabase(const std::string& connectionString, OperatorView& view) {
    OdbcConnection connection;
    OdbcError error;
    if (connection.Connect(connectionString, kServerLoginTimeout, error)) {
        return true;
    }
    // A refused login is said in words before the driver's message, which reads differently per driver.
    const std::string refused = IsRefusedLogin(error) ? std::string(kRefusedLogin) + "\r\n" : std::string();
    view.ShowMessage(kAppTitle,
                     HidePasswords("ｴﾗｰ\r\n" + DataSourceLabel(connectionString) + " に接続できません。\r\n" +
                                       refused + error.Message,
                                   connectionString),
                     MessageIcon::None);
    return false;
}

bool ServerDatabaseStore::CheckTarget(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    run.OutputPath = DataSourceLabel(settings.DbConnect);
    if (const std::string tooLong = DbConnectTooLong(settings); !tooLong.empty()) {
        view.ShowMessage(kAppTitle, "ｴﾗｰ\r\n" + tooLong, MessageIcon::None);
        view.AppendStatus(tooLong);
        return false;
    }
    return CheckServerDatabase(settings.DbConnect, view);
}

std::unique_ptr<PreparedStore> ServerDatabaseStore::Prepare(const SettingsRecord& settings, RunState& run,
                                                            OperatorView& view) {
    auto store = std::make_unique<ServerTransaction>(settings, run, options_);
    view.SetBusyPointer(true);
    OdbcError error;
    const bool written = store->Write(error);
    if (!written) {
        store.reset();  // rolled back before the operator is told, as the box may wait a long time
        ReportWriteError(view, error, settings.DbConnect, run.TableName);
    }
    view.SetBusyPointer(false);
    return written ? std::move(store) : nullptr;
}
