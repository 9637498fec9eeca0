#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// The database format with a server database: SaveFormat 2 and a non-empty DbConnect (an ODBC
// connection string). MdbName and MdbType are then not used.
inline bool UsesServerDatabase(const SettingsRecord& settings) {
    return settings.SaveFormat == kSaveFormatMdb && !settings.DbConnect.empty();
}

// How long a connection waits for the server before it fails.
inline constexpr std::chrono::seconds kServerLoginTimeout{10};

// The upload's first step with a server database: connects once to prove the data source is reachable.
// On failure shows the box "ｴﾗｰ" CR LF <data source> " に接続できません。" CR LF <driver's message> and
// returns false; the caller then ends the run without touching the port.
bool CheckServerDatabase(const std::string& connectionString, OperatorView& view);

// SaveAsMdb for a server database: the backup file's records as rows of run.TableName. Reports a
// failure as "MDB書込ｴﾗｰ : #<native>[<SQLSTATE>] <message>" (box and status line) and returns false;
// the rows committed before the failure stay.
bool SaveToServerDatabase(const SettingsRecord& settings, RunState& run, OperatorView& view);

// Rows per committed group of SaveToServerDatabase; 0 restores the default. For tests and benchmarks
// that need groups of a certain size.
void SetServerRowsPerGroup(size_t rows);

// The mail attachment of an upload into a server database, which has no file of its own: the
// upload's records as the text writer stores them, in "<table>.txt" inside a private temporary
// folder that goes (with the file) when the object goes.
class ServerUploadAttachment {
public:
    ServerUploadAttachment() = default;
    ~ServerUploadAttachment();
    ServerUploadAttachment(const ServerUploadAttachment&) = delete;
    ServerUploadAttachment& operator=(const ServerUploadAttachment&) = delete;

    // Writes the file; on failure returns false with the reason in `why`.
    bool Make(const SettingsRecord& settings, const RunState& run, std::string& why);
    const std::string& Path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};
