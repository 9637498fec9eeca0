#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "output/database/save_to_database.h"

// How long a connection waits for the server before it fails.
inline constexpr std::chrono::seconds kServerLoginTimeout{10};

// The upload's first step with a server database: connects once to prove the data source is reachable.
// On failure shows the box "ｴﾗｰ" CR LF <data source> " に接続できません。" CR LF <driver's message> and
// returns false; the caller then ends the run without touching the port.
bool CheckServerDatabase(const std::string& connectionString, OperatorView& view);

// A server database named by DbConnect (an ODBC connection string): the backup file's records as rows of
// run.TableName, in one transaction on a connection of its own. Before the port is opened the data source
// must accept a connection (CheckServerDatabase) and DbConnect must not be too long. Prepare sends every
// row, in groups of options.RowsPerGroup, and holds the transaction open (Stop, run.IsRunning going false,
// cancels it); Commit commits it before the final answer, and there are no row ids to take the rows back
// with afterwards: an upload undone after its commit stays stored, and the operator is told to clear the
// terminal's data. A failure is reported as "MDB書込ｴﾗｰ : #<native>[<SQLSTATE>] <message>" (box and status
// line). It has no file of its own to attach: the mail carries the upload as the text store would write
// it, "<table>.txt", and is capped at kServerMailSecondsCap, so that the transaction is never held open
// longer.
class ServerDatabaseStore : public DatabaseStore {
public:
    using DatabaseStore::DatabaseStore;
    bool CheckTarget(const SettingsRecord& settings, RunState& run, OperatorView& view) override;
    std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) override;
};
inline constexpr long kServerMailSecondsCap = 75;

// What the operator is told when an upload stored in a server database could not be given its "ACK".
inline constexpr const char* kServerKeptText = "ﾃﾞｰﾀは保存済みです。端末のﾃﾞｰﾀは消去してください";
