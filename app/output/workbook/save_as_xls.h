#pragma once

#include <memory>

#include "output/writers.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// Stores the backup file's records into the workbook run.OutputPath (.xls, or .xlsx when XlsType is
// kXlsTypeXlsx): a new one, an existing one extended, or a copy of the template XlsTemp (of the same
// format). A failure leaves the old workbook as it was and is reported through `view` ("XLSﾌｧｲﾙ書込ｴﾗｰ :
// ..." or the missing template).
bool SaveAsXls(const SettingsRecord& settings, RunState& run, OperatorView& view);

// The same in two steps (nullptr after a reported failure): the workbook waits, durable, in a temporary
// file beside the output (the attachment until Commit renames it into place).
std::unique_ptr<PreparedStore> PrepareXls(const SettingsRecord& settings, RunState& run, OperatorView& view);
