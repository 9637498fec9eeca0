#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class DurableReplacement;

struct zip;

// An .xlsx workbook (SpreadsheetML in a zip) opened for adding text cells, with the same operations as
// the .xls Workbook so that one writer drives both.
//
// Model: the archive is read as it is on disk and never held whole in memory; its XML is read as a
// stream. Saving builds a new archive in memory in which every entry is copied as it was (compressed data
// included) except the worksheets that received cells: those are streamed through again with the new
// cells merged in, as inline strings, and their <dimension> widened. A new workbook is a small book of
// empty worksheets made here and then treated like any other.
//
// Failures: every operation returns false on failure and, before returning, calls the error handler.
// The saved archive replaces the target durably, so a failed save leaves the old file byte for byte as
// it was.
//
// Hostile books are refused before memory goes to them: a file over kMaxFileBytes, more than kMaxEntries
// entries, a total unpacked size over kMaxUnpackedBytes (as the entries declare it, and then as their
// bytes are counted while they are inflated), an entry that unpacks to more than it declares, entry names
// with "..", an absolute path or a twin, encrypted entries, XML with a DTD, nested deeper than
// xlsx::kMaxDepth or needing more than xlsx::kMaxParserBytes of the parser, more sheets than entries,
// two sheets on one part, sheets past the format's rows or columns, more <col> elements than a sheet's
// 16,384 columns in all, rows or cells out of order, and cells naming shared strings that do not exist.
//
// Memory: from Open or Create to the end of Close, a book takes at most PeakBytes(its file's size, the
// sizes its entries declare) of heap, besides the cells written. That is the file held twice (as read,
// and the archive being written) with libzip's directory of it and what the book keeps per sheet, each
// sheet needing entries of its own; one parser at a time, within xlsx::kMaxParserBytes; buffers of a few
// hundred kilobytes; the column formats, within a megabyte; and what the book keeps of its parts' text
// (names, relationships), never more than they unpack to, which never exceeds what they declare. Within
// the limits that is at most 1.6 GiB; for books as spreadsheet programs write them, a few times the
// file. fuzz_xlsx checks the bound for every input with a counting allocator.
class XlsxBook {
public:
    using ErrorHandler = std::function<void(const std::string&)>;

    explicit XlsxBook(ErrorHandler onError = {});
    ~XlsxBook();
    XlsxBook(const XlsxBook&) = delete;
    XlsxBook& operator=(const XlsxBook&) = delete;

    // Opens the book at `path`, or, when `templatePath` is given, the template's contents, to be saved
    // under `path`.
    bool Open(const std::string& path, const std::string& templatePath = {});
    // A new book of `sheetCount` empty worksheets "Sheet1", "Sheet2", ..., to be saved under `path`.
    // `versionCode` must be kVersionCode.
    bool Create(const std::string& path, int versionCode, int sheetCount);
    // Saves the open book to its path and closes it (closed even when the save fails). With no book
    // open it does nothing and succeeds.
    bool Close(DurableReplacement* prepared = nullptr);
    // Closes the book without saving it.
    void Discard() { Reset(); }

    bool IsOpen() const { return open_; }
    int SheetCount() const;
    bool SetCurrentSheet(int index);
    int CurrentSheet() const { return current_; }
    // The 0-based index of the last row of the current sheet that holds a value; -1 when none does.
    bool LastUsedRow(int32_t& row);
    // Writes `utf8` as text into the cell at a 0-based row and column of the current sheet. An empty
    // text writes no cell.
    bool SetCellText(uint32_t row, uint16_t col, std::string_view utf8);

    static constexpr int kVersionCode = 2007;
    static constexpr uint64_t kMaxFileBytes = 64ull << 20;
    static constexpr uint64_t kMaxUnpackedBytes = 512ull << 20;
    static constexpr uint64_t kMaxEntries = 65535;

    // The most heap a book takes from its opening to the end of its save, besides the cells written
    // (their text as stored and 16 bytes each): see "Memory" above.
    static constexpr uint64_t PeakBytes(uint64_t fileBytes, uint64_t declaredBytes) {
        return (32ull << 20) + 16 * fileBytes + declaredBytes;
    }

    struct Sheet;  // one sheet of the book (defined in the source)

private:
    using ElementHandler = std::function<void(int depth, std::string_view local, const char** attributes)>;

    bool Fail(const std::string& text);
    bool Load(const std::string& source, std::string& why);
    bool OpenArchive(const std::string& source, std::string& why);
    bool CheckEntries(std::string& why);
    bool ReadSheets(uint64_t& budget, std::string& why);
    // Reads the part named `part` (missing: a failure only when `required`) element by element.
    bool ReadPart(const std::string& part, const ElementHandler& handler, bool required, uint64_t& budget,
                  std::string& why);
    bool Save(std::string& why, DurableReplacement* prepared);
    void Reset();

    ErrorHandler onError_;
    bool open_ = false;
    std::string path_;
    std::string created_;     // the bytes of the book (new, or read from its file), which the archive reads
    zip* archive_ = nullptr;  // the book as read, open until the save
    std::vector<Sheet> sheets_;
    int current_ = 0;
    // The calculation chain, which lists the formula cells: dropped (Excel rebuilds it) when cells are
    // written among existing ones, where a formula may be overwritten. With it go its relationship in
    // the workbook's relationships and its content type.
    std::string calcChain_, workbookRelationships_;
};
