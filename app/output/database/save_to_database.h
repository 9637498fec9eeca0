#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "output/database/database_store_options.h"
#include "output/writers.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// Adds one row per record of the backup file to run.TableName: in the SQLite file run.OutputPath, or, with
// DbConnect, in the server database it names. Reports a failure ("MDB書込ｴﾗｰ : #..." or the missing
// file) through `view` and returns false.
// All rows of the upload are one transaction: a failure (or Stop, which cancels the store) leaves the
// table as it was. Every statement has a time-out (options.StatementTimeout), a lock included.
bool SaveToDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view,
                    const DatabaseStoreOptions& options = {});

// The same in two steps (nullptr after a reported failure). The SQLite file is committed at once, as the
// mail attaches the file; Abandon deletes the rows this upload added. A server database holds its
// transaction open until Commit (see PrepareServerDatabase).
std::unique_ptr<PreparedStore> PrepareMdb(const SettingsRecord& settings, RunState& run, OperatorView& view,
                                          const DatabaseStoreOptions& options = {});

// The database file: save folder (one trailing "/" dropped), "/", the database name, ".mdb".
std::string DatabasePath(std::string_view saveFolder, std::string_view databaseName);

// Where a database store goes, checked before the port is opened.
struct StoreTarget {
    bool Reachable = false;
    std::string Label;  // the database file's path, or the server data source's label (never a password)
};

// The SQLite file must exist (otherwise the box "ｴﾗｰ" CR LF <path> " が存在しません。"); a server
// database must have a DbConnect that was not too long (otherwise the box "ｴﾗｰ" CR LF and the reason of
// DbConnectTooLong, and the reason as a status line) and accept a connection (otherwise the box of
// CheckServerDatabase).
StoreTarget CheckDatabaseTarget(const SettingsRecord& settings, OperatorView& view);
