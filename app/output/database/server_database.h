#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// How long a connection waits for the server before it fails.
inline constexpr std::chrono::seconds kServerLoginTimeout{10};

// The upload's first step with a server database: connects once to prove the data source is reachable.
// On failure shows the box "ｴﾗｰ" CR LF <data source> " に接続できません。" CR LF <driver's message> and
// returns false; the caller then ends the run without touching the port.
bool CheckServerDatabase(const std::string& connectionString, OperatorView& view);

// SaveToDatabase for a server database: the backup file's records as rows of run.TableName. Reports a
// failure as "MDB書込ｴﾗｰ : #<native>[<SQLSTATE>] <message>" (box and status line) and returns false;
// the rows committed before the failure stay.
bool SaveToServerDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view);

// Rows per committed group of SaveToServerDatabase; 0 restores the default. For tests and benchmarks
// that need groups of a certain size.
void SetServerRowsPerGroup(size_t rows);
