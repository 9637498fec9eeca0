#pragma once

#include "output/output_store.h"

// The UTF-8 CSV store (SaveFormat 3, "CSV(UTF-8)"), for imports that read UTF-8: the text store's lines
// (the selected fields joined by ",", unquoted, fields as received) in UTF-8 in "<name>.csv", CR LF, with a
// byte order mark at the start of a new or empty file only, appended (OverWrite 0) or replacing the file
// (1). A byte CP932 cannot convert becomes U+FFFD, and the status says how many were replaced;
// Back.txt and LOG.TXT keep the terminal's bytes. Any failure leaves the output as it was.
class Utf8CsvStore : public OutputStore {
public:
    std::string Word() const override { return "csv"; }
    StoreOptions Options() const override { return {.FileName = true, .OverWrite = true}; }
    bool NameUsesTerminalId(const SettingsRecord& settings) const override;
    OutputName NameOutput(const SettingsRecord& settings, const RunState& run, std::string_view terminalId,
                          const PcDateTime& now) const override;
    std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) override;
};
