// The .xlsx writer given an arbitrary existing file: the first input byte chooses whether the file is the
// output to extend or the template of a new output, and how the records are laid out; the rest is the file.
// A one-byte input has no file: a new book is made. Whatever the bytes, the writer must end in
// success or in its failure exit, without a crash, a sanitizer report or an escaped exception.
#include <unistd.h>

#include "fuzz_support.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "stores/store_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string& folder = ScratchFolder();
    const bool fresh = size == 1;
    const bool asTemplate = !fresh && (data[0] & 1) != 0;
    const std::string given = folder + (asTemplate ? "/Template.xlsx" : "/Out.xlsx");
    const std::string output = folder + "/Out.xlsx";
    if (asTemplate || fresh) {
        ::unlink(output.c_str());
    }
    if (!fresh && !WriteWholeFile(given, AsText(data + 1, size - 1))) {
        return 0;
    }
    // Records that overwrite cells of the first rows, split across sheets, and need escapes.
    static const char kRecords[] =
        "1,\x83\x65\x83\x58\x83\x67,12,_x0041_\r\n"
        "2,,7,\x01-1\r\n"
        ",=1+1,\x82\xA0\x82\xA2,9e9 \r\n";
    SettingsRecord settings;
    settings.SaveFolder = folder;
    settings.BackFilePath = folder + "/Back.txt";
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = kXlsTypeXlsx;
    settings.XlsF1 = static_cast<int16_t>((data[0] >> 3) & 1);
    settings.XlsStartLine = (data[0] >> 4) & 3;
    settings.XlsTemp = asTemplate ? "Template" : "";
    settings.SelectedFields.fill(1);
    if (!WriteWholeFile(settings.BackFilePath, kRecords)) {
        return 0;
    }
    RunState run;
    run.OutputPath = output;
    SilentOperatorView view;
    (void)StoreFor(settings)->Save(settings, run, view);
    return 0;
}
