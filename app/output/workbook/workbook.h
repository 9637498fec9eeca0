#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "output/workbook/biff_record.h"
#include "output/workbook/cell_table.h"
#include "output/workbook/ole_storage.h"

class DurableReplacement;
#include "output/workbook/shared_strings.h"

// A legacy Excel workbook (BIFF8 records in an OLE2 compound file) opened for adding text cells.
//
// Model: every record of an opened workbook passes through unchanged, except the shared string
// table (always rebuilt), the sheet offsets in BOUNDSHEET and the INDEX records (recomputed, since
// positions move), and the cell table and DIMENSIONS of a sheet that received new cells. Every other
// stream and storage of the compound file is written back as it was read.
//
// Failures: every operation returns false on failure and, before returning, calls the error handler
// with a text for the operator. Close() writes to a temporary file beside the target, syncs it,
// renames it over the target and syncs the folder, so a failed save leaves the previous file
// byte for byte as it was and a successful one is on disk when Close() returns. A symbolic link is
// followed: the file it points at is replaced, the link stays. A target the caller may not write is
// refused, as opening it for writing would be. A template is only read.
//
// Hostile files: a file larger than kMaxInputBytes, a stream declared larger than its file, a string
// table whose count disagrees with its strings and cells naming strings that do not exist are all
// refused as damaged before anything is allocated for them.
class Workbook {
public:
    using ErrorHandler = std::function<void(const std::string&)>;

    explicit Workbook(ErrorHandler onError = {});
    ~Workbook();
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;

    // Opens the workbook at `path`, or, when `templatePath` is given, the template's contents, to be
    // saved under `path`.
    bool Open(const std::string& path, const std::string& templatePath = {});
    // A new workbook of `sheetCount` empty worksheets, to be saved under `path`. The version codes
    // 97, 2000, 2002 and 2003 all give BIFF8; the code is recorded in the BOF records.
    bool Create(const std::string& path, int versionCode, int sheetCount);
    // Saves the open workbook to its path and closes it (closed even when the save fails). With no
    // workbook open it does nothing and succeeds. With `prepared`, the workbook is only written to that
    // replacement's temporary file and made durable there (Begin and Prepare); its Commit puts it in place.
    bool Close(DurableReplacement* prepared = nullptr);

    bool IsOpen() const { return open_; }
    int SheetCount() const;
    bool SetCurrentSheet(int index);
    int CurrentSheet() const { return current_; }
    // The 0-based index of the last row of the current sheet that holds a value; -1 when none does.
    bool LastUsedRow(int32_t& row);
    // Writes `utf8` as text into the cell at an A1-style reference of the current sheet. An empty
    // text writes no cell.
    bool SetCellText(std::string_view reference, std::string_view utf8);
    // The same for a 0-based row and column (the reference named in a failure is built from them).
    bool SetCellText(uint32_t row, uint16_t col, std::string_view utf8);
    // Closes the workbook without saving it.
    void Discard() { Reset(); }

    static constexpr uint64_t kMaxInputBytes = 512ull << 20;

    const std::string& LastError() const { return lastError_; }

private:
    struct Sheet {
        std::vector<biff::Record> Records;  // the whole substream, BOF to EOF
        std::vector<bool> InTable;          // records that belong to the cell table
        size_t TableAt = 0;                 // where a rebuilt cell table goes
        bool IsWorksheet = false;
        std::vector<biff::Record> ColInfos;  // column formats, for the format of new cells
        std::unique_ptr<CellTable> Table;    // parsed on first use
        bool Dirty = false;
    };
    // One serialised sheet with the positions (relative to its BOF) that INDEX points at.
    struct SheetBytes {
        std::string Bytes;
        long IndexAt = -1;
        uint32_t FirstRow = 0, RowLimit = 0;
        uint32_t DefColWidthAt = 0;
        std::vector<size_t> DbCells;
    };

    bool Fail(const std::string& text);
    // Splits the workbook stream into the globals (LoadGlobals), the sheet substreams (LoadSheets) and the
    // link from each BOUNDSHEET to its substream (BindSheets), then reads the string table.
    bool LoadStream(std::string_view stream, std::string& why);
    // The globals substream into globals_, without the string table, whose records go to `sst`;
    // `sheetsAt` is the index of the first record after it, `boundOffsets` the stream offsets that the
    // BOUNDSHEET records give, in their order.
    bool LoadGlobals(std::vector<biff::Record>& records, size_t& sheetsAt, std::vector<biff::Record>& sst,
                     std::vector<uint32_t>& boundOffsets, std::string& why);
    // The substreams from record `first` on into sheets_, in stream order; `sheetAtOffset` maps the stream
    // offset of each one's BOF to its index in sheets_.
    bool LoadSheets(std::vector<biff::Record>& records, const std::vector<size_t>& offsets, size_t first,
                    std::map<size_t, size_t>& sheetAtOffset, std::string& why);
    // Marks the records of a sheet's cell table and where a rebuilt one goes, and keeps its column formats.
    static void LocateCellTable(Sheet& sheet);
    // sheetOfBound_: each BOUNDSHEET's substream, by its offset (or, when the offsets are stale but there
    // is one substream per BOUNDSHEET, by position).
    bool BindSheets(const std::vector<uint32_t>& boundOffsets, const std::map<size_t, size_t>& sheetAtOffset,
                    std::string& why);
    bool EnsureTable(Sheet& sheet, std::string& why);
    bool CheckStringReferences(std::string& why) const;
    void ChooseCellXf();
    bool SerializeStream(std::string& out, std::string& why) const;
    bool SerializeSheet(const Sheet& sheet, SheetBytes& out, std::string& why) const;
    void Reset();

    ErrorHandler onError_;
    std::string lastError_;
    bool open_ = false;
    std::string path_;
    OleEntry root_;
    size_t workbookChild_ = 0;  // index of the workbook stream in root_.Children

    std::vector<biff::Record> globals_;  // without the SST, its CONTINUEs and EXTSST
    size_t sstAt_ = 0;                   // where the rebuilt SST goes in globals_
    std::vector<size_t> sheetOfBound_;   // BOUNDSHEET order -> index in sheets_
    std::vector<Sheet> sheets_;          // substreams in stream order
    SharedStrings strings_;
    uint16_t cellXf_ = 15;  // the format of new cells that take none from their row or column
    int current_ = 0;
    std::u16string text_;  // conversion buffer for cell texts
};

// Splits an A1-style reference ("A1", "T65536", "iv3") into a 0-based row and column.
bool ParseCellReference(std::string_view reference, uint32_t& row, uint16_t& col);

// The whole regular file `path` in `bytes`, within `limit`; false with the reason for the operator. The
// file is read, never mapped: another program shortening a mapped file would end this one with SIGBUS;
// and it is opened only when regular, so a named pipe never blocks the store.
bool ReadWholeFile(const std::string& path, uint64_t limit, std::string& bytes, std::string& why);
