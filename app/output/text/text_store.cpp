#include "output/text/text_store.h"

#include "output/output_naming.h"
#include "output/text_file_store.h"

bool TextStore::NameUsesTerminalId(const SettingsRecord& settings) const {
    return FileNameUsesTerminalId(settings);
}

OutputName TextStore::NameOutput(const SettingsRecord& settings, const RunState&, std::string_view terminalId,
                                 const PcDateTime& now) const {
    return NameOutputFile(settings, terminalId, now, ".txt");
}

std::unique_ptr<PreparedStore> TextStore::Prepare(const SettingsRecord& settings, RunState& run,
                                                  OperatorView& view) {
    return PrepareTextFile(settings, run.OutputPath, settings.OverWrite == 1, TextEncoding{}, view);
}
