#include "output/workbook/xlsx_book.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <utility>

#include "common/file_ops.h"
#include "common/system_error.h"
#include "output/workbook/workbook.h"
#include "output/workbook/xlsx_new_book.h"
#include "output/workbook/xlsx_xml.h"

using xlsx::Attribute;
using xlsx::LocalName;

namespace {

constexpr size_t kMaxCellText = 32767;  // characters (UTF-16 units) a cell can hold
constexpr const char* kOleMagic = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";

// A cell written by this run: its place, and its text already in the form the worksheet stores.
struct NewCell {
    uint32_t Row;
    uint16_t Col;
    bool Preserve;  // the text needs xml:space="preserve"
    uint32_t At;    // position and length of the stored text in Sheet::Texts
    uint32_t Length;
};

struct ColumnStyle {
    uint32_t First, Last;  // 0-based
    std::string Style;     // a number of at most 10 digits: no allocation of its own
};

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

// A decimal number without sign; false for anything else or one past `limit`.
bool ParseNumber(const char* text, uint64_t limit, uint64_t& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || value > limit) {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    return value <= limit;
}

// The part a relationship of `source` targets: relative to the source's folder unless absolute, with
// "." and ".." resolved; empty when it would leave the package.
std::string ResolvePart(const std::string& source, const std::string& target) {
    std::string base;
    if (target.empty() || target[0] != '/') {
        const size_t slash = source.rfind('/');
        base = slash == std::string::npos ? std::string() : source.substr(0, slash + 1);
    }
    std::vector<std::string> segments;
    const std::string path = base + (target.empty() || target[0] != '/' ? target : target.substr(1));
    size_t from = 0;
    while (from <= path.size()) {
        size_t slash = path.find('/', from);
        if (slash == std::string::npos) {
            slash = path.size();
        }
        const std::string segment = path.substr(from, slash - from);
        if (segment == "..") {
            if (segments.empty()) {
                return {};
            }
            segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        from = slash + 1;
    }
    std::string out;
    for (const std::string& s : segments) {
        out += (out.empty() ? "" : "/") + s;
    }
    return out;
}

std::string RelationshipsOf(const std::string& part) {
    const size_t slash = part.rfind('/');
    return slash == std::string::npos
               ? "_rels/" + part + ".rels"
               : part.substr(0, slash + 1) + "_rels/" + part.substr(slash + 1) + ".rels";
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// Elements by depth (the root is 1), for the small parts read whole: relationships, the workbook, the
// shared string count.
class ElementReader : public xlsx::XmlReader {
public:
    using Handler = std::function<void(int depth, std::string_view local, const char** attributes)>;
    explicit ElementReader(const Handler& handler) : handler_(handler) {}

protected:
    void Start(const char* name, const char** attributes) override {
        handler_(++depth_, LocalName(name), attributes);
    }
    void End(const char*) override { --depth_; }

private:
    const Handler& handler_;
    int depth_ = 0;
};

struct Relationship {
    std::string Id, Type, Target;
};

uint64_t Get(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int k = bytes - 1; k >= 0; --k) {
        v = (v << 8) | p[k];
    }
    return v;
}

// The number of entries the zip's end record declares, read before the archive is opened, so that a
// directory of millions of entries is refused before memory goes to it.
bool DeclaredEntries(std::string_view file, uint64_t& entries, std::string& why) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(file.data());
    const uint64_t size = file.size();
    const size_t tail = static_cast<size_t>(std::min<uint64_t>(size, 22 + 65535));
    if (tail < 22) {
        why = "zip の終わりのレコードがありません";
        return false;
    }
    const unsigned char* end = bytes + (size - tail);
    for (size_t at = tail - 22 + 1; at-- > 0;) {
        if (std::memcmp(&end[at], "PK\x05\x06", 4) != 0) {
            continue;
        }
        entries = Get(&end[at + 10], 2);
        const uint64_t eocd = size - tail + at;
        if (entries != 0xFFFF || eocd < 20) {
            return true;
        }
        const unsigned char* locator = bytes + (eocd - 20);
        if (std::memcmp(locator, "PK\x06\x07", 4) == 0) {
            const uint64_t record = Get(locator + 8, 8);
            if (record <= size && size - record >= 56 && std::memcmp(bytes + record, "PK\x06\x06", 4) == 0) {
                entries = Get(bytes + record + 32, 8);
            }
        }
        return true;
    }
    why = "zip の終わりのレコードがありません";
    return false;
}

// The bytes an in-memory archive was written to.
bool ReadAll(zip_source_t* buffer, std::string& bytes) {
    zip_stat_t st;
    if (zip_source_stat(buffer, &st) != 0 || zip_source_open(buffer) != 0) {
        return false;
    }
    bytes.resize(st.size);
    const bool ok = zip_source_read(buffer, bytes.data(), st.size) == static_cast<zip_int64_t>(st.size);
    zip_source_close(buffer);
    return ok;
}

// Writes the in-memory archive `buffer` durably over the file `path` names (through any links), a piece
// at a time, so that the archive is never copied whole. With `prepared`, the new file is left durable
// beside the old one in `prepared`, to be committed or abandoned there.
bool ReplaceFile(const std::string& path, zip_source_t* buffer, std::string& why,
                 DurableReplacement* prepared) {
    DurableReplacement own;
    DurableReplacement& replacement = prepared != nullptr ? *prepared : own;
    if (!replacement.Begin(path, 0666)) {
        why = SystemErrorText(errno);
        return false;
    }
    if (zip_source_open(buffer) != 0) {
        why = "メモリが足りません";
        replacement.Abandon();
        return false;
    }
    std::vector<char> piece(256 * 1024);
    bool ok = true;
    for (;;) {
        const zip_int64_t n = zip_source_read(buffer, piece.data(), piece.size());
        if (n <= 0) {
            ok = n == 0;
            why = ok ? why : "メモリが足りません";
            break;
        }
        if (!replacement.Write({piece.data(), static_cast<size_t>(n)})) {
            why = SystemErrorText(errno);
            ok = false;
            break;
        }
    }
    zip_source_close(buffer);
    if (ok && prepared != nullptr) {
        ok = replacement.Prepare();
        why = ok ? why : SystemErrorText(errno);
    } else if (ok && !replacement.Commit()) {
        why = (replacement.Committed() ? "フォルダを同期できません: " : "") + SystemErrorText(errno);
        ok = false;
    }
    if (!ok) {
        replacement.Abandon();
    }
    return ok;
}

// The archive of a new book of `sheetCount` empty worksheets. Its parts are stored uncompressed: the book
// is read back at once and saved compressed. A thread keeps the last one it made, since every upload into
// a new book asks for the same.
bool NewBookBytes(int sheetCount, std::string& bytes) {
    static thread_local std::pair<int, std::string> made;
    if (made.first == sheetCount) {
        bytes = made.second;
        return true;
    }
    const auto parts = NewXlsxParts(sheetCount);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* archive = buffer == nullptr ? nullptr : zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        zip_source_free(buffer);
        return false;
    }
    zip_source_keep(buffer);
    bool ok = true;
    for (const auto& [name, xml] : parts) {
        zip_source_t* part = zip_source_buffer(archive, xml.data(), xml.size(), 0);
        const zip_int64_t index =
            part == nullptr ? -1 : zip_file_add(archive, name.c_str(), part, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(part);
            ok = false;
            break;
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0);
    }
    if (!ok || zip_close(archive) != 0) {
        zip_discard(archive);
        zip_source_free(buffer);
        return false;
    }
    ok = ReadAll(buffer, bytes);
    zip_source_free(buffer);
    if (ok) {
        made = {sheetCount, bytes};
    }
    return ok;
}

}  // namespace

struct XlsxBook::Sheet {
    std::string Name;
    std::string Part;
    zip_int64_t Entry = -1;
    bool IsWorksheet = false;
    int32_t LastValueRow = -1;
    // The cells the part holds and the extent its <dimension> declares, together (0-based).
    bool HasExtent = false;
    uint32_t FirstRow = 0, LastRow = 0, FirstCol = 0, LastCol = 0;
    std::vector<ColumnStyle> Columns;
    // Where the part's <dimension> and the end of its <sheetData> are (byte positions), for a save that
    // only appends rows below the last one; its last <row>.
    uint64_t DimensionAt = 0, DimensionEnd = 0;
    std::string DimensionName;
    bool HasData = false, DataEmpty = false;
    uint64_t DataEndAt = 0, DataTagLength = 0;
    std::string DataPrefix;
    int64_t LastRowElement = -1;
    std::vector<NewCell> Cells;  // in the order written until the save sorts them
    std::string Texts;
    bool Sorted = true;

    void Extend(uint32_t row, uint32_t col) {
        if (!HasExtent) {
            FirstRow = LastRow = row;
            FirstCol = LastCol = col;
            HasExtent = true;
            return;
        }
        FirstRow = std::min(FirstRow, row);
        LastRow = std::max(LastRow, row);
        FirstCol = std::min(FirstCol, col);
        LastCol = std::max(LastCol, col);
    }
    const std::string* StyleOfColumn(uint32_t col) const {
        for (const ColumnStyle& c : Columns) {
            if (c.First <= col && col <= c.Last) {
                return &c.Style;
            }
        }
        return nullptr;
    }
};

namespace {

const char* kTooBig = "シートの行または列が形式の上限を超えています";

// The first reading of a worksheet: its extent, the last row holding a value, the column formats, and
// every check a hostile sheet must pass (limits, order, shared string indexes).
class SheetScan : public xlsx::XmlReader {
public:
    // `columnEntries` counts the <col> elements of the book's worksheets read so far.
    SheetScan(XlsxBook::Sheet& sheet, uint64_t sharedStrings, uint32_t& columnEntries)
        : sheet_(sheet), sharedStrings_(sharedStrings), columnEntries_(columnEntries) {}

protected:
    void Start(const char* name, const char** attributes) override {
        const std::string_view local = LocalName(name);
        ++depth_;
        if (depth_ == 2) {
            inData_ = local == "sheetData";
            inCols_ = local == "cols";
            if (local == "dimension") {
                sheet_.DimensionAt = EventAt();
                sheet_.DimensionEnd = EmptyTag() ? EventAt() + static_cast<uint64_t>(EventLength()) : 0;
                sheet_.DimensionName = name;
                Dimension(Attribute(attributes, "ref"));
            } else if (inData_ && !sheet_.HasData) {
                sheet_.HasData = true;
                sheet_.DataEmpty = EmptyTag();
                sheet_.DataEndAt = EventAt();
                sheet_.DataTagLength = static_cast<uint64_t>(EventLength());
                sheet_.DataPrefix = xlsx::Prefix(name);
            }
        } else if (depth_ == 3 && inCols_ && local == "col") {
            // A worksheet's columns take at most one <col> each, and books as spreadsheet programs write
            // them have a few per sheet: a book with more than one full sheet's worth only costs memory.
            if (++columnEntries_ > xlsx::kMaxColumns) {
                return Stop("列の定義が多すぎます");
            }
            uint64_t first = 0, last = 0, style = 0;
            const char* styleText = Attribute(attributes, "style");
            if (!ParseNumber(Attribute(attributes, "min"), xlsx::kMaxColumns, first) ||
                !ParseNumber(Attribute(attributes, "max"), xlsx::kMaxColumns, last) || first == 0 ||
                last < first || (styleText != nullptr && !ParseNumber(styleText, UINT32_MAX, style))) {
                return Stop("列の情報が壊れています");
            }
            if (style != 0) {
                sheet_.Columns.push_back({static_cast<uint32_t>(first - 1), static_cast<uint32_t>(last - 1),
                                          std::to_string(style)});
            }
        } else if (depth_ == 3 && inData_ && local == "row") {
            uint64_t r = haveRow_ ? static_cast<uint64_t>(row_) + 2 : 1;  // 1-based: after the previous row
            const char* given = Attribute(attributes, "r");
            if (given != nullptr && !ParseNumber(given, UINT32_MAX, r)) {
                return Stop("行番号が正しくありません");
            }
            if (r == 0 || r > xlsx::kMaxRows) {
                return Stop(kTooBig);
            }
            if (haveRow_ && r - 1 <= row_) {
                return Stop("行の順序が正しくありません");
            }
            row_ = static_cast<uint32_t>(r - 1);
            haveRow_ = true;
            haveCol_ = false;
            sheet_.LastRowElement = row_;
        } else if (depth_ == 4 && inData_ && local == "c") {
            uint32_t row = row_;
            uint32_t col = haveCol_ ? col_ + 1 : 0;
            const char* given = Attribute(attributes, "r");
            if (given != nullptr && !xlsx::ParseCellReference(given, row, col)) {
                return Stop(std::string("セル番地が正しくありません: ") + given);
            }
            if (!haveRow_ || row != row_ || (haveCol_ && col <= col_)) {
                return Stop(std::string("セルの位置または順序が正しくありません: ") + (given ? given : ""));
            }
            if (col >= xlsx::kMaxColumns) {
                return Stop(kTooBig);
            }
            col_ = col;
            haveCol_ = true;
            const char* type = Attribute(attributes, "t");
            shared_ = type != nullptr && std::strcmp(type, "s") == 0;
            hasValue_ = false;
            sheet_.Extend(row, col);
        } else if (depth_ == 5 && inData_ && (local == "v" || local == "is" || local == "f")) {
            hasValue_ = true;
            collecting_ = shared_ && local == "v";
            text_.clear();
        }
    }
    void End(const char* name) override {
        if (depth_ == 2 && sheet_.DimensionEnd == 0 && LocalName(name) == "dimension") {
            sheet_.DimensionEnd = EventAt() + static_cast<uint64_t>(EventLength());
        }
        if (depth_ == 2 && inData_ && !sheet_.DataEmpty) {
            sheet_.DataEndAt = EventAt();
        }
        if (depth_ == 5 && collecting_) {
            collecting_ = false;
            uint64_t index = 0;
            if (!ParseNumber(text_.c_str(), UINT32_MAX, index) || index >= sharedStrings_) {
                return Stop("共有文字列表にない文字列を指すセルがあります");
            }
        } else if (depth_ == 4 && inData_ && hasValue_) {
            sheet_.LastValueRow = static_cast<int32_t>(row_);
            hasValue_ = false;
        } else if (depth_ == 2) {
            inData_ = inCols_ = false;
        }
        --depth_;
    }
    void Text(const char* text, int length) override {
        if (collecting_ && text_.size() < 24) {
            text_.append(text, static_cast<size_t>(std::min(length, 24)));
        }
    }

private:
    void Dimension(const char* ref) {
        if (ref == nullptr) {
            return;
        }
        const std::string_view text(ref);
        const size_t colon = text.find(':');
        uint32_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
        if (!xlsx::ParseCellReference(text.substr(0, colon), r1, c1)) {
            return;  // only a hint: an unreadable one is replaced on the save
        }
        r2 = r1;
        c2 = c1;
        if (colon != std::string_view::npos && !xlsx::ParseCellReference(text.substr(colon + 1), r2, c2)) {
            return;
        }
        if (std::max(r1, r2) >= xlsx::kMaxRows || std::max(c1, c2) >= xlsx::kMaxColumns) {
            return Stop(kTooBig);
        }
        if (!(r1 == 0 && c1 == 0 && r2 == 0 && c2 == 0)) {  // "A1" is what an empty sheet declares
            sheet_.Extend(r1, c1);
            sheet_.Extend(r2, c2);
        }
    }

    XlsxBook::Sheet& sheet_;
    uint64_t sharedStrings_;
    int depth_ = 0;
    bool inData_ = false, inCols_ = false;
    bool haveRow_ = false, haveCol_ = false;
    uint32_t row_ = 0, col_ = 0;
    uint32_t& columnEntries_;
    bool shared_ = false, hasValue_ = false, collecting_ = false;
    std::string text_;
};

// A worksheet streamed through again with the new cells merged in, as a libzip source: the archive pulls
// the XML as it compresses, this reads the original part a piece at a time. Bytes the merge does not
// change are copied as they are; new rows go between existing ones, new cells between the cells of
// existing rows, and a new cell replaces an existing one in its place (keeping that cell's format).
class SheetWriter : public xlsx::XmlReader {
public:
    SheetWriter(const XlsxBook::Sheet& sheet, zip_t* archive)
        : sheet_(sheet),
          archive_(archive),
          appending_(sheet.HasData && !sheet.Cells.empty() &&
                     static_cast<int64_t>(sheet.Cells.front().Row) > sheet.LastRowElement) {
        zip_error_init(&error_);
        prefix_ = sheet.DataPrefix;
    }
    ~SheetWriter() override {
        if (in_ != nullptr) {
            zip_fclose(in_);
        }
        zip_error_fini(&error_);
    }

    static zip_int64_t Callback(void* self, void* data, zip_uint64_t length, zip_source_cmd_t command) {
        return static_cast<SheetWriter*>(self)->Command(data, length, command);
    }
    const std::string& Failure() const { return failure_; }

protected:
    void Start(const char* name, const char** attributes) override {
        const std::string_view local = LocalName(name);
        const uint64_t at = EventAt();
        const auto length = static_cast<uint64_t>(EventLength());
        const bool empty = IsEmptyTag(at, length);
        ++depth_;
        if (!replacing_) {
            CopyTo(at);
        }
        if (depth_ == 2 && local == "dimension") {
            out_ += "<" + std::string(name) + " ref=\"" + NewDimension() + "\"";
            out_ += empty ? "/>" : ">";
            copied_ = at + length;
        } else if (depth_ == 2 && local == "sheetData") {
            prefix_ = xlsx::Prefix(name);
            inData_ = true;
            dataEmpty_ = empty;
            if (empty) {
                out_ += "<" + std::string(name) + ">";
                copied_ = at + length;
            }
        } else if (depth_ == 3 && inData_ && local == "row") {
            RowStart(name, attributes, at, length, empty);
        } else if (depth_ == 4 && merging_ && local == "c") {
            CellStart(name, attributes, at, length, empty);
        } else if (depth_ == 5 && replacing_ && local == "f") {
            const char* type = Attribute(attributes, "t");
            if (type != nullptr &&
                (std::strcmp(type, "array") == 0 ||
                 (std::strcmp(type, "shared") == 0 && Attribute(attributes, "ref") != nullptr))) {
                Stop("共有数式または配列数式の基点セルには書き込めません: " +
                     xlsx::CellReference(row_, col_));
            }
        }
        if (empty) {
            starts_.push_back(at + length);
        } else {
            starts_.push_back(0);
        }
    }
    void End(const char* name) override {
        const uint64_t emptyEnd = starts_.back();
        starts_.pop_back();
        const uint64_t at = emptyEnd != 0 ? emptyEnd : EventAt();
        const uint64_t end = emptyEnd != 0 ? emptyEnd : at + static_cast<uint64_t>(EventLength());
        if (depth_ == 4 && replacing_) {
            replacing_ = false;
            copied_ = end;
            EmitCell(cellStyle_.empty() ? nullptr : &cellStyle_);
        } else if (!replacing_) {
            CopyTo(at);
        }
        if (depth_ == 3 && merging_) {
            while (next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row == row_) {
                EmitCell(CellStyle(sheet_.Cells[next_].Col));
            }
            if (emptyEnd != 0) {
                out_ += "</" + std::string(name) + ">";
            }
            merging_ = false;
        } else if (depth_ == 2 && inData_) {
            EmitRowsBefore(xlsx::kMaxRows);
            if (dataEmpty_) {
                out_ += "</" + std::string(name) + ">";
            }
            inData_ = false;
        }
        --depth_;
    }
    void Text(const char*, int) override {
        // Text between tags goes out as it comes, so a long run of it is never held whole.
        if (!replacing_) {
            CopyTo(EventAt() + static_cast<uint64_t>(EventLength()));
        }
    }

private:
    zip_int64_t Command(void* data, zip_uint64_t length, zip_source_cmd_t command) {
        switch (command) {
            case ZIP_SOURCE_OPEN:
                if (opened_) {
                    zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
                    return -1;
                }
                opened_ = true;
                in_ = zip_fopen_index(archive_, static_cast<zip_uint64_t>(sheet_.Entry), 0);
                if (in_ == nullptr) {
                    failure_ = std::string("部品を読めません (") + zip_strerror(archive_) + ")";
                    zip_error_set(&error_, ZIP_ER_READ, 0);
                    return -1;
                }
                return 0;
            case ZIP_SOURCE_READ: {
                if (!Produce(length)) {
                    zip_error_set(&error_, ZIP_ER_READ, 0);
                    return -1;
                }
                const size_t n = std::min<size_t>(length, out_.size() - outAt_);
                std::memcpy(data, out_.data() + outAt_, n);
                outAt_ += n;
                if (outAt_ > (1u << 20) && outAt_ * 2 > out_.size()) {
                    out_.erase(0, outAt_);
                    outAt_ = 0;
                }
                return static_cast<zip_int64_t>(n);
            }
            case ZIP_SOURCE_CLOSE:
                if (in_ != nullptr) {
                    zip_fclose(in_);
                    in_ = nullptr;
                }
                // The archive pulls the sheets one after another: what one held goes before the next.
                Release();
                std::string().swap(window_);
                std::string().swap(out_);
                std::vector<char>().swap(chunk_);
                return 0;
            case ZIP_SOURCE_STAT: {
                auto* st = static_cast<zip_stat_t*>(data);
                zip_stat_init(st);
                st->mtime = std::time(nullptr);
                st->valid |= ZIP_STAT_MTIME;
                return sizeof(*st);
            }
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error_, data, length);
            case ZIP_SOURCE_FREE:
                return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                                      ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
            default:
                zip_error_set(&error_, ZIP_ER_OPNOTSUPP, 0);
                return -1;
        }
    }

    // Reads on until `wanted` bytes are ready or the part has ended.
    bool Produce(size_t wanted) {
        while (out_.size() - outAt_ < wanted && !done_) {
            if (tail_) {
                // The new rows below the last one, as many at a time as the archive asks for.
                EmitRowsBefore(xlsx::kMaxRows, wanted);
                if (next_ == sheet_.Cells.size()) {
                    tail_ = false;
                    if (sheet_.DataEmpty) {
                        out_ += "</" + prefix_ + "sheetData>";
                    }
                }
                continue;
            }
            chunk_.resize(64 * 1024);
            const zip_int64_t n = zip_fread(in_, chunk_.data(), chunk_.size());
            if (n < 0) {
                failure_ = std::string("部品を読めません (") + zip_file_strerror(in_) + ")";
                return false;
            }
            window_.append(chunk_.data(), static_cast<size_t>(n));
            if (appending_) {
                Append(n == 0);
            } else if (!Feed({chunk_.data(), static_cast<size_t>(n)}, n == 0)) {
                failure_ = sheet_.Name + ": " + Why();
                return false;
            }
            if (n == 0 && !tail_) {
                CopyTo(windowAt_ + window_.size());
                done_ = true;
                if (next_ != sheet_.Cells.size()) {
                    failure_ = sheet_.Name + ": シートに sheetData がありません";
                    return false;
                }
            }
            window_.erase(0, copied_ - windowAt_);
            windowAt_ = copied_;
        }
        return true;
    }

    // Rows only below the last one: the part is copied as it is up to the end of its <sheetData>, but
    // for its <dimension>, without being parsed again.
    void Append(bool last) {
        const uint64_t end = windowAt_ + window_.size();
        if (!dimensionDone_ && sheet_.DimensionEnd != 0) {
            if (end < sheet_.DimensionEnd) {
                return CopyTo(std::min(end, sheet_.DimensionAt));
            }
            CopyTo(sheet_.DimensionAt);
            out_ += "<" + sheet_.DimensionName + " ref=\"" + NewDimension() + "\"/>";
            copied_ = sheet_.DimensionEnd;
            dimensionDone_ = true;
        }
        if (!dataDone_) {
            const uint64_t dataEnd = sheet_.DataEndAt + (sheet_.DataEmpty ? sheet_.DataTagLength : 0);
            if (end < dataEnd) {
                return CopyTo(std::min(end, sheet_.DataEndAt));
            }
            CopyTo(sheet_.DataEndAt);
            if (sheet_.DataEmpty) {
                out_ += "<" + prefix_ + "sheetData>";
                copied_ = dataEnd;
            }
            dataDone_ = true;
            tail_ = true;
            return;
        }
        if (last) {
            CopyTo(end);
        }
    }

    bool IsEmptyTag(uint64_t at, uint64_t length) const {
        const uint64_t end = at + length;
        return length >= 2 && end <= windowAt_ + window_.size() && at >= windowAt_ &&
               window_.compare(end - 2 - windowAt_, 2, "/>") == 0;
    }

    void CopyTo(uint64_t to) {
        if (to > copied_) {
            out_.append(window_, copied_ - windowAt_, to - copied_);
            copied_ = to;
        }
    }

    void RowStart(const char* name, const char** attributes, uint64_t at, uint64_t length, bool empty) {
        uint64_t r = haveRow_ ? static_cast<uint64_t>(row_) + 2 : 1;
        const char* given = Attribute(attributes, "r");
        if (given != nullptr) {
            ParseNumber(given, xlsx::kMaxRows, r);  // checked by the scan
        }
        row_ = static_cast<uint32_t>(r - 1);
        haveRow_ = true;
        haveCol_ = false;
        EmitRowsBefore(row_);
        merging_ = next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row == row_;
        if (merging_) {
            // The start tag again without "spans" (a hint the new cells may break), and never empty.
            out_ += "<" + std::string(name) + " r=\"" + std::to_string(r) + "\"";
            rowStyle_.clear();
            const char* custom = Attribute(attributes, "customFormat");
            for (size_t i = 0; attributes[i] != nullptr; i += 2) {
                const std::string_view attribute = attributes[i];
                if (attribute == "r" || attribute == "spans") {
                    continue;
                }
                if (attribute == "s" && custom != nullptr &&
                    (std::strcmp(custom, "1") == 0 || std::strcmp(custom, "true") == 0)) {
                    rowStyle_ = attributes[i + 1];
                }
                out_ += " " + std::string(attribute) + "=\"";
                xlsx::AppendEscaped(out_, attributes[i + 1]);
                out_ += "\"";
            }
            out_ += ">";
            copied_ = at + length;
            (void)empty;
        } else if (given == nullptr) {
            InsertReference(name, at, xlsx::CellReference(row_, 0).substr(1), true);
        }
    }

    void CellStart(const char* name, const char** attributes, uint64_t at, uint64_t /*length*/,
                   bool /*empty*/) {
        uint32_t row = row_;
        uint32_t col = haveCol_ ? col_ + 1 : 0;
        const char* given = Attribute(attributes, "r");
        if (given != nullptr) {
            xlsx::ParseCellReference(given, row, col);  // checked by the scan
        }
        col_ = col;
        haveCol_ = true;
        while (next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row == row_ &&
               sheet_.Cells[next_].Col < col) {
            EmitCell(CellStyle(sheet_.Cells[next_].Col));
        }
        if (next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row == row_ &&
            sheet_.Cells[next_].Col == col) {
            replacing_ = true;
            const char* style = Attribute(attributes, "s");
            cellStyle_ = style == nullptr ? std::string() : style;
        } else if (given == nullptr) {
            InsertReference(name, at, xlsx::CellReference(row_, col), false);
        }
    }

    // An element that had no "r" gets one: its place may have moved with the new rows or cells.
    void InsertReference(const char* name, uint64_t at, const std::string& reference, bool) {
        const size_t nameLength = std::strlen(name);
        out_ += "<";
        out_ += name;
        out_ += " r=\"" + reference + "\"";
        copied_ = at + 1 + nameLength;
    }

    const std::string* CellStyle(uint32_t col) const {
        return merging_ && !rowStyle_.empty() ? &rowStyle_ : sheet_.StyleOfColumn(col);
    }

    // New rows before `row`, until `enough` bytes wait in out_.
    void EmitRowsBefore(uint32_t row, size_t enough = SIZE_MAX) {
        while (next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row < row &&
               out_.size() - outAt_ < enough) {
            const uint32_t r = sheet_.Cells[next_].Row;
            out_ += "<" + prefix_ + "row r=\"" + std::to_string(static_cast<uint64_t>(r) + 1) + "\">";
            while (next_ < sheet_.Cells.size() && sheet_.Cells[next_].Row == r) {
                EmitCell(sheet_.StyleOfColumn(sheet_.Cells[next_].Col));
            }
            out_ += "</" + prefix_ + "row>";
        }
    }

    void EmitCell(const std::string* style) {
        const NewCell& cell = sheet_.Cells[next_++];
        out_ += "<";
        out_ += prefix_;
        out_ += "c r=\"";
        xlsx::AppendCellReference(out_, cell.Row, cell.Col);
        if (style != nullptr) {
            out_ += "\" s=\"";
            xlsx::AppendEscaped(out_, *style);
        }
        out_ += "\" t=\"inlineStr\"><";
        out_ += prefix_;
        out_ += "is><";
        out_ += prefix_;
        out_ += cell.Preserve ? "t xml:space=\"preserve\">" : "t>";
        out_.append(sheet_.Texts, cell.At, cell.Length);
        out_ += "</";
        out_ += prefix_;
        out_ += "t></";
        out_ += prefix_;
        out_ += "is></";
        out_ += prefix_;
        out_ += "c>";
    }

    std::string NewDimension() const {
        XlsxBook::Sheet extent = {};
        extent.HasExtent = sheet_.HasExtent;
        extent.FirstRow = sheet_.FirstRow;
        extent.LastRow = sheet_.LastRow;
        extent.FirstCol = sheet_.FirstCol;
        extent.LastCol = sheet_.LastCol;
        for (const NewCell& cell : sheet_.Cells) {
            extent.Extend(cell.Row, cell.Col);
        }
        if (!extent.HasExtent) {
            return "A1";
        }
        return xlsx::CellReference(extent.FirstRow, extent.FirstCol) + ":" +
               xlsx::CellReference(extent.LastRow, extent.LastCol);
    }

    const XlsxBook::Sheet& sheet_;
    zip_t* archive_;
    zip_error_t error_;
    zip_file_t* in_ = nullptr;
    bool opened_ = false, done_ = false;
    const bool appending_;  // the new cells all lie below the last row
    bool dimensionDone_ = false, dataDone_ = false, tail_ = false;
    std::vector<char> chunk_;
    std::string window_;     // the part's bytes from windowAt_ on
    uint64_t windowAt_ = 0;  // stream position of window_[0]
    uint64_t copied_ = 0;    // the bytes before this position are in out_ (or dropped)
    std::string out_;        // what the archive has not pulled yet, from outAt_ on
    size_t outAt_ = 0;
    std::string failure_;

    std::vector<uint64_t> starts_;  // per open element: the end of an empty tag, else 0
    int depth_ = 0;
    std::string prefix_;
    bool inData_ = false, dataEmpty_ = false;
    bool merging_ = false, replacing_ = false;
    bool haveRow_ = false, haveCol_ = false;
    uint32_t row_ = 0, col_ = 0;
    std::string rowStyle_, cellStyle_;
    size_t next_ = 0;  // the next new cell to write
};

// The small part `index` of `archive` without its elements below the root that `drop` names (by local
// name and attributes): the calculation chain's relationship or content type.
class ElementDropper : public xlsx::XmlReader {
public:
    using Test = std::function<bool(std::string_view local, const char** attributes)>;
    explicit ElementDropper(Test drop) : drop_(std::move(drop)) {}
    std::vector<std::pair<uint64_t, uint64_t>> Ranges;  // byte ranges to leave out

protected:
    void Start(const char* name, const char** attributes) override {
        if (++depth_ == 2 && drop_(LocalName(name), attributes)) {
            const uint64_t at = EventAt();
            Ranges.emplace_back(at, EmptyTag() ? at + static_cast<uint64_t>(EventLength()) : 0);
        }
    }
    void End(const char*) override {
        if (depth_-- == 2 && !Ranges.empty() && Ranges.back().second == 0) {
            Ranges.back().second = EventAt() + static_cast<uint64_t>(EventLength());
        }
    }

private:
    Test drop_;
    int depth_ = 0;
};

bool WithoutElements(zip_t* archive, zip_int64_t index, const ElementDropper::Test& drop, std::string& out,
                     std::string& why) {
    constexpr uint64_t kLargest = 16u << 20;  // these parts are a few kilobytes
    zip_stat_t st;
    if (zip_stat_index(archive, static_cast<zip_uint64_t>(index), 0, &st) != 0 || st.size > kLargest) {
        why = "部品が大きすぎます";
        return false;
    }
    std::string bytes(st.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(index), 0);
    const bool read = file != nullptr &&
                      zip_fread(file, bytes.data(), bytes.size()) == static_cast<zip_int64_t>(bytes.size());
    if (file != nullptr) {
        zip_fclose(file);
    }
    ElementDropper dropper(drop);
    if (!read || !dropper.Feed(bytes, true)) {
        why = read ? dropper.Why() : std::string("部品を読めません (") + zip_strerror(archive) + ")";
        return false;
    }
    uint64_t from = 0;
    out.clear();
    for (const auto& [at, end] : dropper.Ranges) {
        out.append(bytes, from, at - from);
        from = end;
    }
    out.append(bytes, from, bytes.size() - from);
    return true;
}

}  // namespace

XlsxBook::XlsxBook(ErrorHandler onError) : onError_(std::move(onError)) {}

XlsxBook::~XlsxBook() {
    Reset();
}

bool XlsxBook::Fail(const std::string& text) {
    if (onError_) {
        onError_(text);
    }
    return false;
}

void XlsxBook::Reset() {
    if (archive_ != nullptr) {
        zip_discard(archive_);
        archive_ = nullptr;
    }
    open_ = false;
    path_.clear();
    created_.clear();
    created_.shrink_to_fit();
    sheets_.clear();
    current_ = 0;
    calcChain_.clear();
    workbookRelationships_.clear();
}

bool XlsxBook::Open(const std::string& path, const std::string& templatePath) {
    Reset();
    const std::string& source = templatePath.empty() ? path : templatePath;
    std::string why;
    if (!Load(source, why)) {
        Reset();
        return Fail("ブックを開けません: " + source + " (" + why + ")");
    }
    path_ = path;
    open_ = true;
    return true;
}

bool XlsxBook::Create(const std::string& path, int versionCode, int sheetCount) {
    Reset();
    if (sheetCount < 1 || sheetCount > 255) {
        return Fail("シート数が範囲外です: " + std::to_string(sheetCount));
    }
    if (versionCode != kVersionCode) {
        return Fail("ブックのバージョンが正しくありません: " + std::to_string(versionCode));
    }
    std::string why;
    if (!NewBookBytes(sheetCount, created_)) {
        why = "メモリが足りません";
    }
    if (!why.empty() || !Load({}, why)) {
        Reset();
        return Fail("ブックを作れません: " + why);
    }
    path_ = path;
    open_ = true;
    return true;
}

bool XlsxBook::Load(const std::string& source, std::string& why) {
    uint64_t budget = kMaxUnpackedBytes;  // what the parts may still unpack to, counted as they are read
    return OpenArchive(source, why) && CheckEntries(why) && ReadSheets(budget, why);
}

bool XlsxBook::OpenArchive(const std::string& source, std::string& why) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* input = nullptr;
    if (source.empty()) {
        input = zip_source_buffer_create(created_.data(), created_.size(), 0, &error);
    } else {
        // Read whole, never mapped and only when regular: a named pipe in the save folder never blocks
        // the store, and another program shortening the file meanwhile only shortens what is read.
        if (!ReadWholeFile(source, kMaxFileBytes, created_, why)) {
            return false;
        }
        uint64_t entries = 0;
        if (created_.size() >= 8 && std::memcmp(created_.data(), kOleMagic, 8) == 0) {
            why = "Excel 97-2003 形式 (.xls) か暗号化されたブックです。.xlsx 形式ではありません";
            return false;
        }
        if (!DeclaredEntries(created_, entries, why)) {
            why = "zip が壊れています (" + why + ")";
            return false;
        }
        if (entries > kMaxEntries) {
            why = "zip の項目が多すぎます (" + std::to_string(entries) + ")";
            return false;
        }
        input = zip_source_buffer_create(created_.data(), created_.size(), 0, &error);
    }
    if (input != nullptr) {
        archive_ = zip_open_from_source(input, ZIP_RDONLY | ZIP_CHECKCONS, &error);
        if (archive_ == nullptr) {
            zip_source_free(input);
        }
    }
    if (archive_ == nullptr) {
        why = zip_error_code_zip(&error) == ZIP_ER_EXISTS
                  ? std::string("zip に同じ名前の項目があります")
                  : std::string("zip が壊れています (") + zip_error_strerror(&error) + ")";
    }
    zip_error_fini(&error);
    return archive_ != nullptr;
}

bool XlsxBook::CheckEntries(std::string& why) {
    // Every entry: a name that stays inside the package and has no twin, no encryption, and a total
    // declared size within the limit (the real sizes are counted as the parts are read).
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    std::set<std::string> names;
    uint64_t declared = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(archive_, static_cast<zip_uint64_t>(i), 0, &st) != 0 || st.name == nullptr) {
            why = std::string("zip が壊れています (") + zip_strerror(archive_) + ")";
            return false;
        }
        const std::string name = st.name;
        const std::string slashed = "/" + name + "/";
        if (name.empty() || name[0] == '/' || name.find('\\') != std::string::npos ||
            slashed.find("/../") != std::string::npos || name.find(':') != std::string::npos) {
            why = "zip の項目名が正しくありません: " + name;
            return false;
        }
        if (!names.insert(Lower(name)).second) {
            why = "zip に同じ名前の項目があります: " + name;
            return false;
        }
        if ((st.valid & ZIP_STAT_ENCRYPTION_METHOD) != 0 && st.encryption_method != ZIP_EM_NONE) {
            why = "暗号化されたブックは扱えません";
            return false;
        }
        declared += (st.valid & ZIP_STAT_SIZE) != 0 ? st.size : 0;
        if (declared > kMaxUnpackedBytes) {
            why = xlsx::UnpackedLimitText();
            return false;
        }
    }
    return true;
}

bool XlsxBook::ReadPart(const std::string& part, const ElementHandler& handler, bool required,
                        uint64_t& budget, std::string& why) {
    const zip_int64_t index = part.empty() ? -1 : zip_name_locate(archive_, part.c_str(), ZIP_FL_NOCASE);
    if (index < 0) {
        if (required) {
            why = "部品がありません: " + part;
        }
        return !required;
    }
    ElementReader reader(handler);
    if (!reader.ReadEntry(archive_, static_cast<zip_uint64_t>(index), budget)) {
        why = part + ": " + reader.Why();
        return false;
    }
    return true;
}

bool XlsxBook::ReadSheets(uint64_t& budget, std::string& why) {
    // Only what the book's structure needs is kept of its relationships: the workbook's part, and of the
    // workbook's own relationships the sheets', the calculation chain's and the shared strings'.
    auto relationships = [&](const std::string& part, const std::function<void(const Relationship&)>& keep) {
        return ReadPart(
            RelationshipsOf(part),
            [&keep](int depth, std::string_view local, const char** a) {
                const char* mode = Attribute(a, "TargetMode");
                if (depth == 2 && local == "Relationship" &&
                    (mode == nullptr || std::strcmp(mode, "External") != 0)) {
                    const char* id = Attribute(a, "Id");
                    const char* type = Attribute(a, "Type");
                    const char* target = Attribute(a, "Target");
                    keep({id ? id : "", type ? type : "", target ? target : ""});
                }
            },
            false, budget, why);
    };
    std::string workbook = "xl/workbook.xml";
    if (!relationships("", [&workbook](const Relationship& r) {
            if (EndsWith(r.Type, "/officeDocument")) {
                workbook = ResolvePart("", r.Target);
            }
        })) {
        return false;
    }
    std::vector<std::pair<std::string, std::string>> sheetIds;  // name, relationship id
    bool tooMany = false;
    if (!ReadPart(
            workbook,
            [&](int depth, std::string_view local, const char** a) {
                if (depth == 3 && local == "sheet") {
                    const char* name = Attribute(a, "name");
                    const char* id = Attribute(a, "id", true);
                    tooMany = tooMany || sheetIds.size() >= kMaxEntries;  // each sheet needs an entry
                    if (!tooMany) {
                        sheetIds.emplace_back(name ? name : "", id ? id : "");
                    }
                }
            },
            true, budget, why)) {
        return false;
    }
    if (tooMany) {
        why = "シートが多すぎます";
        return false;
    }
    std::set<std::string> wanted;
    for (const auto& [name, id] : sheetIds) {
        wanted.insert(id);
    }
    std::map<std::string, Relationship> parts;  // the sheets' relationships by id
    std::string sharedStringsPart;
    if (!relationships(workbook, [&](const Relationship& r) {
            if (EndsWith(r.Type, "/calcChain")) {
                calcChain_ = ResolvePart(workbook, r.Target);
            } else if (EndsWith(r.Type, "/sharedStrings")) {
                sharedStringsPart = ResolvePart(workbook, r.Target);
            }
            if (wanted.count(r.Id) != 0) {
                parts[r.Id] = r;
            }
        })) {
        return false;
    }
    workbookRelationships_ = RelationshipsOf(workbook);
    uint64_t sharedStrings = 0;
    if (!sharedStringsPart.empty() && !ReadPart(
                                          sharedStringsPart,
                                          [&sharedStrings](int depth, std::string_view local, const char**) {
                                              sharedStrings += depth == 2 && local == "si" ? 1 : 0;
                                          },
                                          false, budget, why)) {
        return false;
    }
    std::set<zip_int64_t> entries;  // a part serves one sheet: two would take each other's cells
    uint32_t columnEntries = 0;
    for (auto& [name, id] : sheetIds) {
        Sheet sheet;
        sheet.Name = std::move(name);
        if (const auto found = parts.find(id); found != parts.end()) {
            sheet.Part = ResolvePart(workbook, found->second.Target);
            sheet.IsWorksheet = EndsWith(found->second.Type, "/worksheet");
        }
        sheet.Entry = sheet.Part.empty() ? -1 : zip_name_locate(archive_, sheet.Part.c_str(), ZIP_FL_NOCASE);
        if (sheet.Entry < 0) {
            why = "シート " + sheet.Name + " の部品がありません";
            return false;
        }
        if (!entries.insert(sheet.Entry).second) {
            why = "シート " + sheet.Name + " の部品が他のシートと同じです";
            return false;
        }
        if (sheet.IsWorksheet) {
            SheetScan scan(sheet, sharedStrings, columnEntries);
            if (!scan.ReadEntry(archive_, static_cast<zip_uint64_t>(sheet.Entry), budget)) {
                why = "シート " + sheet.Name + ": " + scan.Why();
                return false;
            }
            sheet.Columns.shrink_to_fit();
        }
        sheets_.push_back(std::move(sheet));
    }
    current_ = 0;
    return true;
}

int XlsxBook::SheetCount() const {
    return open_ ? static_cast<int>(sheets_.size()) : 0;
}

bool XlsxBook::SetCurrentSheet(int index) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (index < 0 || index >= SheetCount()) {
        return Fail("シート番号が範囲外です: " + std::to_string(index));
    }
    current_ = index;
    return true;
}

bool XlsxBook::LastUsedRow(int32_t& row) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (SheetCount() == 0) {
        return Fail("ブックにシートがありません");
    }
    const Sheet& sheet = sheets_[static_cast<size_t>(current_)];
    row = sheet.LastValueRow;
    for (const NewCell& cell : sheet.Cells) {
        row = std::max(row, static_cast<int32_t>(cell.Row));
    }
    return true;
}

bool XlsxBook::SetCellText(uint32_t row, uint16_t col, std::string_view utf8) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (row >= xlsx::kMaxRows || col >= xlsx::kMaxColumns) {
        return Fail("セル番地が正しくないか範囲外です: " + xlsx::CellReference(row, col));
    }
    if (SheetCount() == 0) {
        return Fail("ブックにシートがありません");
    }
    if (utf8.empty()) {
        return true;
    }
    Sheet& sheet = sheets_[static_cast<size_t>(current_)];
    if (!sheet.IsWorksheet) {
        return Fail("シート " + std::to_string(current_ + 1) + " はワークシートではありません");
    }
    const size_t at = sheet.Texts.size();
    if (xlsx::AppendCellText(sheet.Texts, utf8) > kMaxCellText) {
        sheet.Texts.resize(at);
        return Fail("セルの文字数が多すぎます: " + xlsx::CellReference(row, col));
    }
    if (!sheet.Cells.empty()) {
        const NewCell& last = sheet.Cells.back();
        sheet.Sorted = sheet.Sorted && (last.Row < row || (last.Row == row && last.Col < col));
    }
    sheet.Cells.push_back({row, col, xlsx::NeedsPreserve(utf8), static_cast<uint32_t>(at),
                           static_cast<uint32_t>(sheet.Texts.size() - at)});
    return true;
}

bool XlsxBook::Save(std::string& why, DurableReplacement* prepared) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    zip_t* out = buffer == nullptr ? nullptr : zip_open_from_source(buffer, ZIP_TRUNCATE, &error);
    if (out == nullptr) {
        why = zip_error_strerror(&error);
        zip_error_fini(&error);
        zip_source_free(buffer);
        return false;
    }
    zip_error_fini(&error);
    zip_source_keep(buffer);

    // Cells among existing ones may overwrite a formula: the calculation chain goes (see calcChain_).
    bool merging = false;
    for (const Sheet& sheet : sheets_) {
        merging = merging || (!sheet.Cells.empty() &&
                              static_cast<int64_t>(sheet.Cells.front().Row) <= sheet.LastRowElement);
    }
    const bool dropChain = merging && !calcChain_.empty();
    std::string relationships, contentTypes;
    if (dropChain) {
        const std::string chainName = "/" + calcChain_;
        const bool ok =
            WithoutElements(
                archive_, zip_name_locate(archive_, workbookRelationships_.c_str(), ZIP_FL_NOCASE),
                [](std::string_view local, const char** a) {
                    const char* type = Attribute(a, "Type");
                    return local == "Relationship" && type != nullptr && EndsWith(type, "/calcChain");
                },
                relationships, why) &&
            WithoutElements(
                archive_, zip_name_locate(archive_, "[Content_Types].xml", ZIP_FL_NOCASE),
                [&chainName](std::string_view local, const char** a) {
                    const char* part = Attribute(a, "PartName");
                    return local == "Override" && part != nullptr && Lower(part) == Lower(chainName);
                },
                contentTypes, why);
        if (!ok) {
            zip_discard(out);
            zip_source_free(buffer);
            return false;
        }
    }

    std::vector<std::unique_ptr<SheetWriter>> writers;
    bool ok = true;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < count && ok; ++i) {
        const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
        const Sheet* changed = nullptr;
        for (const Sheet& sheet : sheets_) {
            changed = sheet.Entry == i && !sheet.Cells.empty() ? &sheet : changed;
        }
        zip_source_t* source = nullptr;
        const std::string lower = Lower(name == nullptr ? "" : name);
        if (dropChain && lower == Lower(calcChain_)) {
            continue;
        }
        if (dropChain && (lower == Lower(workbookRelationships_) || lower == "[content_types].xml")) {
            const std::string& bytes = lower == "[content_types].xml" ? contentTypes : relationships;
            source = zip_source_buffer(out, bytes.data(), bytes.size(), 0);
        } else if (changed != nullptr) {
            writers.push_back(std::make_unique<SheetWriter>(*changed, archive_));
            source = zip_source_function(out, &SheetWriter::Callback, writers.back().get());
        } else {
            source = zip_source_zip(out, archive_, static_cast<zip_uint64_t>(i), 0, 0, -1);
        }
        const zip_int64_t index =
            source == nullptr || name == nullptr ? -1 : zip_file_add(out, name, source, 0);
        if (index < 0) {
            zip_source_free(source);
            ok = false;
        } else if (changed != nullptr) {
            // The fastest deflate level: a worksheet of text compresses well at any level.
            zip_set_file_compression(out, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
        }
    }
    if (ok && zip_close(out) == 0) {
        out = nullptr;
    } else {
        for (const auto& writer : writers) {
            why = writer->Failure().empty() ? why : writer->Failure();
        }
        if (why.empty()) {
            why = zip_strerror(out);
        }
        zip_discard(out);
        zip_source_free(buffer);
        return false;
    }
    writers.clear();

    ok = ReplaceFile(path_, buffer, why, prepared);
    zip_source_free(buffer);
    return ok;
}

bool XlsxBook::Close(DurableReplacement* prepared) {
    if (!open_) {
        return true;
    }
    for (Sheet& sheet : sheets_) {
        if (!sheet.Sorted) {
            // Sorted by place; of two cells in one place the later one stays.
            std::stable_sort(sheet.Cells.begin(), sheet.Cells.end(), [](const NewCell& a, const NewCell& b) {
                return a.Row != b.Row ? a.Row < b.Row : a.Col < b.Col;
            });
            std::vector<NewCell> kept;
            kept.reserve(sheet.Cells.size());
            for (const NewCell& cell : sheet.Cells) {
                if (!kept.empty() && kept.back().Row == cell.Row && kept.back().Col == cell.Col) {
                    kept.back() = cell;
                } else {
                    kept.push_back(cell);
                }
            }
            sheet.Cells = std::move(kept);
            sheet.Sorted = true;
        }
    }
    const std::string path = path_;
    std::string why;
    const bool saved = Save(why, prepared);
    Reset();
    if (!saved) {
        return Fail("ブックを保存できません: " + path + " (" + why + ")");
    }
    return true;
}
