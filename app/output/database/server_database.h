#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "output/database/database_store_options.h"
#include "output/writers.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// How long a connection waits for the server before it fails.
inline constexpr std::chrono::seconds kServerLoginTimeout{10};

// The upload's first step with a server database: connects once to prove the data source is reachable.
// On failure shows the box "ｴﾗｰ" CR LF <data source> " に接続できません。" CR LF <driver's message> and
// returns false; the caller then ends the run without touching the port.
bool CheckServerDatabase(const std::string& connectionString, OperatorView& view);

// SaveToDatabase for a server database: the backup file's records as rows of run.TableName, in one
// transaction. Reports a failure as "MDB書込ｴﾗｰ : #<native>[<SQLSTATE>] <message>" (box and status line)
// and returns false; the table is then as it was. Stop (run.IsRunning going false) cancels the store.
bool SaveToServerDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view,
                          const DatabaseStoreOptions& options = {});

// The same in two steps: every row sent and the transaction held open (nullptr after a reported
// failure); Commit commits it, Abandon rolls it back. It has no attachment file of its own
// (AttachmentPath and AttachmentName are empty): the mail carries the upload as text. The mail is capped at
// kServerMailSecondsCap, so that the transaction is never held open longer.
std::unique_ptr<PreparedStore> PrepareServerDatabase(const SettingsRecord& settings, RunState& run,
                                                     OperatorView& view,
                                                     const DatabaseStoreOptions& options = {});
inline constexpr long kServerMailSecondsCap = 75;
