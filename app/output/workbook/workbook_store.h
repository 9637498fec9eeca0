#pragma once

#include "output/output_store.h"

// The workbook stores (SaveFormat 1, "XLS"): the backup file's records into the workbook
// run.OutputPath, .xls (XlsType 0 to 3, the version code of a new book) or .xlsx (kXlsTypeXlsx): a new
// one, an existing one extended, or a copy of the template XlsTemp (of the same format). The book is
// written to a temporary file beside the output and renamed into place by Commit, the previous book kept
// until Keep. A failure leaves the old workbook as it was and is reported through the view
// ("XLSﾌｧｲﾙ書込ｴﾗｰ : ..." or the missing template).
class WorkbookStore : public OutputStore {
public:
    enum class Format { Xls, Xlsx };
    explicit WorkbookStore(Format format) : format_(format) {}

    std::string Word() const override { return format_ == Format::Xlsx ? "xlsx" : "xls"; }
    StoreOptions Options() const override { return {.FileName = true, .Workbook = true}; }
    bool NameUsesTerminalId(const SettingsRecord& settings) const override;
    OutputName NameOutput(const SettingsRecord& settings, const RunState& run, std::string_view terminalId,
                          const PcDateTime& now) const override;
    std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) override;

private:
    Format format_;
};
