#pragma once

#include "settings/settings_record.h"
#include "run/operator_view.h"
#include "run/run_state.h"

// The three output writers and the mail dispatch. Each reads the backup file (settings.BackFilePath)
// and writes run.OutputPath (the database: run.OutputPath and run.TableName), reports its own failures
// through `view`, and returns true on success. They do not yield to the window.
bool SaveAsText(const SettingsRecord& settings, RunState& run, OperatorView& view);
bool SaveAsXls(const SettingsRecord& settings, RunState& run, OperatorView& view);
bool SaveAsMdb(const SettingsRecord& settings, RunState& run, OperatorView& view);

// The writers' failure report: the system's description of `number` and `path`, then the component,
// in a message box and as a status line. Also used for a backup file that could not be made durable.
void ReportStoreFailure(OperatorView& view, int number, const std::string& path);

// Mails run.OutputPath to settings.MailAddress. On failure sets run.MailErrorText and returns false.
bool SendByMail(const SettingsRecord& settings, RunState& run, OperatorView& view);
