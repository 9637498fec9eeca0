#pragma once

#include <memory>
#include <string>

#include "output/writers.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"

// Converts the backup file into the text output run.OutputPath: one line per record, the selected fields
// joined by ",", CR LF, appended (OverWrite 0) or replacing the file (1). Any failure leaves the output as
// it was; the failure is reported through `view`.
bool SaveAsText(const SettingsRecord& settings, RunState& run, OperatorView& view);

// The same in two steps (nullptr after a reported failure). Appended lines are written to the output and
// synced (Abandon truncates them away again, or removes a file this store created); a replacing store
// waits in a temporary file beside the output (the attachment until Commit renames it into place).
std::unique_ptr<PreparedStore> PrepareText(const SettingsRecord& settings, RunState& run, OperatorView& view);

// The upload's records as the text writer stores them, in "<name>.txt" inside a private temporary folder
// that goes (with the file) when the object goes: the mail attachment of a store that has no file of its
// own (a server database).
class TextAttachment {
public:
    TextAttachment() = default;
    ~TextAttachment();
    TextAttachment(const TextAttachment&) = delete;
    TextAttachment& operator=(const TextAttachment&) = delete;

    // Writes the file for `name` ("upload" when empty; "/" becomes "_"); on failure returns false with the
    // reason in `why`.
    bool Make(const SettingsRecord& settings, const std::string& name, std::string& why);
    const std::string& Path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
};
