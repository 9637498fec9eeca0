#pragma once

#include "output/output_store.h"

// The text store (SaveFormat 0, "CSV/TXT"): one line per record in "<name>.txt", the selected fields
// joined by ",", CR LF, in the terminal's CP932 bytes, appended (OverWrite 0) or replacing the file (1).
// Any failure leaves the output as it was.
class TextStore : public OutputStore {
public:
    std::string Word() const override { return "text"; }
    StoreOptions Options() const override { return {.FileName = true, .OverWrite = true}; }
    bool NameUsesTerminalId(const SettingsRecord& settings) const override;
    OutputName NameOutput(const SettingsRecord& settings, const RunState& run, std::string_view terminalId,
                          const PcDateTime& now) const override;
    std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) override;
};
