// The workbook store given an arbitrary existing file, in one format per target: fuzz_workbook is .xls,
// fuzz_xlsx is this file built with GATHRA_FUZZ_XLSX. The first input byte chooses whether the file is the
// output to extend or the template of a new output (or, with bit 7 or alone, that there is no file and a
// new book is made), and how the records are laid out (with .xls also the version of a new book); the rest
// is the file. Whatever the bytes, the store must end in success or in its failure exit, without a crash,
// a sanitizer report or an escaped exception. The compound-file reader, given the same bytes, never
// produces more stream bytes than the file holds.
#include <unistd.h>

#include <cstdlib>

#include "fuzz_support.h"
#include "output/workbook/ole_storage.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "stores/store_table.h"

namespace {

#ifdef GATHRA_FUZZ_XLSX
constexpr bool kXlsx = true;
#else
constexpr bool kXlsx = false;
#endif

uint64_t StreamBytes(const OleEntry& entry) {
    uint64_t total = entry.Data.size();
    for (const OleEntry& child : entry.Children) {
        total += StreamBytes(child);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string& folder = ScratchFolder();
    const std::string extension = kXlsx ? ".xlsx" : ".xls";
    const bool fresh = size == 1 || (data[0] & 0x80) != 0;
    const bool asTemplate = !fresh && (data[0] & 1) != 0;
    const std::string given = folder + (asTemplate ? "/Template" : "/Out") + extension;
    const std::string output = folder + "/Out" + extension;
    if (asTemplate || fresh) {
        ::unlink(output.c_str());
    }
    if (!fresh && !WriteWholeFile(given, AsText(data + 1, size - 1))) {
        return 0;
    }
    if (!fresh && !kXlsx) {
        OleEntry root;
        std::string why;
        if (ReadCompoundFile(AsText(data + 1, size - 1), root, why) && StreamBytes(root) > size - 1) {
            std::abort();  // the streams read hold more bytes than the input
        }
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
    settings.XlsType = kXlsx ? kXlsTypeXlsx : static_cast<int16_t>((data[0] >> 1) & 3);
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
