#pragma once

#include <string>

#include "run/operator_view.h"

// What the stores (output/text, output/workbook, output/database, ...) share: each reads the backup file
// (SettingsRecord::BackFilePath), writes RunState::OutputPath (the database: OutputPath and TableName) and
// reports its own failures through the view.

// The `number` of ReportStoreFailure for an output that names the backup file itself.
inline constexpr int kStoreFailureOutputIsBackup = -1;

// The writers' failure report: the system's description of `number` and `path`, then the component,
// in a message box and as a status line. Also used for a backup file that could not be made durable.
void ReportStoreFailure(OperatorView& view, int number, const std::string& path);

// The last part of a path, the name a file carries in a mail.
std::string FileNamePart(const std::string& path);
