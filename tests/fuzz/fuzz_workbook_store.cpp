// The workbook store given an arbitrary existing file, in one format per target: fuzz_workbook is .xls,
// fuzz_xlsx the same source built with GATHRA_FUZZ_XLSX. The first input byte chooses whether the file is the
// output to extend or the template of a new output (or, with bit 7 or alone, that there is no file and a
// new book is made), and how the records are laid out (with .xls also the version of a new book); the rest
// is the file. Whatever the bytes, the store must end in success or in its failure exit, without a crash,
// a sanitizer report or an escaped exception. The compound-file reader, given the same bytes, never
// produces more stream bytes than the file holds. An .xlsx book stays within the peak memory
// XlsxBook::PeakBytes allows it, measured by a counting allocator: libFuzzer's RSS limit covers the whole
// process, and is no measure of one input.
#include <sanitizer/allocator_interface.h>
#include <unistd.h>
#include <zip.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"
#include "output/workbook/ole_storage.h"
#include "output/workbook/xlsx_book.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "stores/store_table.h"

namespace {

#ifdef GATHRA_FUZZ_XLSX
constexpr bool kXlsx = true;
#else
constexpr bool kXlsx = false;
#endif

// Every heap block the process holds, and the most it held since the last reset.
std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};

void OnMalloc(const volatile void*, size_t size) {
    const int64_t live = gLive += static_cast<int64_t>(size);
    if (live > gPeak.load()) {
        gPeak.store(live);  // the work measured runs on one thread
    }
}

void OnFree(const volatile void* block) {
    gLive -= static_cast<int64_t>(__sanitizer_get_allocated_size(const_cast<const void*>(block)));
}

// The sizes the entries of `book` declare; 0 for what libzip cannot open.
uint64_t DeclaredBytes(std::string_view book) {
    zip_source_t* source = zip_source_buffer_create(book.data(), book.size(), 0, nullptr);
    zip_t* archive = source == nullptr ? nullptr : zip_open_from_source(source, ZIP_RDONLY, nullptr);
    if (archive == nullptr) {
        zip_source_free(source);
        return 0;
    }
    uint64_t declared = 0;
    zip_stat_t st;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
        if (zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) == 0 &&
            (st.valid & ZIP_STAT_SIZE)) {
            declared += st.size;
        }
    }
    zip_discard(archive);
    return declared;
}

uint64_t StreamBytes(const OleEntry& entry) {
    uint64_t total = entry.Data.size();
    for (const OleEntry& child : entry.Children) {
        total += StreamBytes(child);
    }
    return total;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(&OnMalloc, &OnFree);
    return 0;
}

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
    const std::string_view book = fresh ? std::string_view() : AsText(data + 1, size - 1);
    if (!fresh && !WriteWholeFile(given, book)) {
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
    const uint64_t bound = XlsxBook::PeakBytes(book.size(), DeclaredBytes(book));
    RunState run;
    run.OutputPath = output;
    SilentOperatorView view;
    const int64_t before = gLive.load();
    gPeak.store(before);
    (void)StoreFor(settings)->Save(settings, run, view);
    const int64_t peak = gPeak.load() - before;
    if (kXlsx && peak > static_cast<int64_t>(bound)) {
        std::fprintf(stderr, "peak heap %lld bytes, over the bound of %llu\n", static_cast<long long>(peak),
                     static_cast<unsigned long long>(bound));
        std::abort();
    }
    return 0;
}
