#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "output/database/database_store_options.h"
#include "output/output_store.h"

// The database stores (SaveFormat 2, "MDB"): one row per record of the backup file in run.TableName, all
// rows of an upload in one transaction, so that a failure (or Stop, which cancels the store) leaves the
// table as it was. Every statement has a time-out (DatabaseStoreOptions::StatementTimeout), a lock
// included. Failures are reported as "MDB書込ｴﾗｰ : #..." (or the missing file) through the view.

// The database file: save folder (one trailing "/" dropped), "/", the database name, ".mdb".
std::string DatabasePath(std::string_view saveFolder, std::string_view databaseName);

// The table is MdbTblName, or the terminal ID when that is empty; the label is the database's path (or
// label), CR LF, "ﾃｰﾌﾞﾙ : " and the table.
OutputName NameDatabaseTable(const SettingsRecord& settings, std::string_view databasePath,
                             std::string_view terminalId);

// What both database stores share: the word, the options, the table's name, and the options of their
// statements (an upload uses the defaults; tests and benchmarks give their own to the store they make).
class DatabaseStore : public OutputStore {
public:
    explicit DatabaseStore(DatabaseStoreOptions options = {}) : options_(std::move(options)) {}

    std::string Word() const override { return "database"; }
    StoreOptions Options() const override { return {.Database = true}; }
    bool NameUsesTerminalId(const SettingsRecord& settings) const override {
        return settings.MdbTblName.empty();
    }
    OutputName NameOutput(const SettingsRecord& settings, const RunState& run, std::string_view terminalId,
                          const PcDateTime& now) const override;

protected:
    DatabaseStoreOptions options_;
};

// An SQLite file prepared by the operator (<save folder>/<MdbName>.mdb), which must exist before the port
// is opened (otherwise the box "ｴﾗｰ" CR LF <path> " が存在しません。").
//
// The mail attaches the file itself, which must hold the new rows: so the rows are committed (durable) by
// Prepare, before the mail, and taken back by deleting them by their row ids when the upload is undone.
// Should that fail, the message says how many rows stayed.
class SqliteFileStore : public DatabaseStore {
public:
    using DatabaseStore::DatabaseStore;
    bool CheckTarget(const SettingsRecord& settings, RunState& run, OperatorView& view) override;
    std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) override;
};
