#include "output/workbook/workbook.h"
#include "common/system_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "common/file_ops.h"
#include "output/workbook/new_workbook.h"

using namespace biff;

namespace {

constexpr size_t kMinimumStreamSize = 4096;  // smaller streams land in the mini stream
constexpr size_t kMaxCellText = 32767;       // characters a BIFF8 cell can hold

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
    return out;
}

// Replaces the file `path` names (through any links) durably with `bytes`; see DurableReplacement.
bool ReplaceFile(const std::string& path, std::string_view bytes, std::string& why) {
    bool replaced = false;
    if (!ReplaceFileDurably(path, bytes, 0666, &replaced)) {
        why = (replaced ? "フォルダを同期できません: " : "") + SystemErrorText(errno);
        return false;
    }
    return true;
}

// Where the record at each index sits relative to embedded substreams (charts inside a sheet):
// 0 for the sheet's own BOF and EOF, 1 for sheet-level records, 2 and more inside embedded ones.
std::vector<int> Levels(const std::vector<Record>& records) {
    std::vector<int> levels;
    levels.reserve(records.size());
    int depth = 0;
    for (const Record& r : records) {
        if (r.id == kEof) {
            --depth;
        }
        levels.push_back(depth);
        if (r.id == kBof) {
            ++depth;
        }
    }
    return levels;
}

}  // namespace

bool ReadWholeFile(const std::string& path, uint64_t limit, std::string& bytes, std::string& why) {
    switch (const int error = ReadRegularFile(path, limit, bytes)) {
        case 0:
            return true;
        case EFBIG:
            why = "ファイルが大きすぎます (上限 " + std::to_string(limit >> 20) + " MiB)";
            return false;
        case ENOMEM:
            why = "メモリが足りません";
            return false;
        default:
            why = SystemErrorText(error);
            return false;
    }
}

bool ParseCellReference(std::string_view ref, uint32_t& row, uint16_t& col) {
    size_t i = 0;
    uint32_t c = 0;
    while (i < ref.size() && i < 3 && std::isalpha(static_cast<unsigned char>(ref[i]))) {
        c = c * 26 + static_cast<uint32_t>(std::toupper(static_cast<unsigned char>(ref[i])) - 'A' + 1);
        ++i;
    }
    if (i == 0 || c > 256) {
        return false;
    }
    uint32_t r = 0;
    const size_t digitsAt = i;
    while (i < ref.size() && ref[i] >= '0' && ref[i] <= '9' && r <= 65536) {
        r = r * 10 + static_cast<uint32_t>(ref[i] - '0');
        ++i;
    }
    if (i == digitsAt || i != ref.size() || r < 1 || r > 65536) {
        return false;
    }
    row = r - 1;
    col = static_cast<uint16_t>(c - 1);
    return true;
}

Workbook::Workbook(ErrorHandler onError) : onError_(std::move(onError)) {}
Workbook::~Workbook() = default;

bool Workbook::Fail(const std::string& text) {
    lastError_ = text;
    if (onError_) {
        onError_(text);
    }
    return false;
}

void Workbook::Reset() {
    open_ = false;
    path_.clear();
    root_ = OleEntry{};
    globals_.clear();
    sheetOfBound_.clear();
    sheets_.clear();
    strings_ = SharedStrings{};
    current_ = 0;
}

bool Workbook::Open(const std::string& path, const std::string& templatePath) {
    Reset();
    const std::string& source = templatePath.empty() ? path : templatePath;
    std::string why;
    std::string bytes;
    if (!ReadWholeFile(source, kMaxInputBytes, bytes, why)) {
        return Fail("ブックを開けません: " + source + " (" + why + ")");
    }
    if (!ReadCompoundFile(bytes, root_, why)) {
        Reset();
        return Fail("ブックを開けません: " + source + " (" + why + ")");
    }
    bool found = false;
    bool biff5 = false;
    for (size_t i = 0; i < root_.Children.size(); ++i) {
        const OleEntry& child = root_.Children[i];
        const std::string name = Lower(child.Name);
        if (!child.IsStorage && name == "workbook") {
            workbookChild_ = i;
            found = true;
            break;
        }
        biff5 = biff5 || (!child.IsStorage && name == "book");
    }
    if (!found) {
        Reset();
        return Fail(
            "ブックを開けません: " + source +
            (biff5 ? " (Excel 5.0/95 形式のブックは扱えません)" : " (Workbook ストリームがありません)"));
    }
    if (!LoadStream(root_.Children[workbookChild_].Data, why)) {
        Reset();
        return Fail("ブックを開けません: " + source + " (" + why + ")");
    }
    path_ = path;
    open_ = true;
    return true;
}

bool Workbook::Create(const std::string& path, int versionCode, int sheetCount) {
    Reset();
    if (sheetCount < 1 || sheetCount > 255) {
        return Fail("シート数が範囲外です: " + std::to_string(sheetCount));
    }
    if (versionCode != 97 && versionCode != 2000 && versionCode != 2002 && versionCode != 2003) {
        return Fail("ブックのバージョンが正しくありません: " + std::to_string(versionCode));
    }
    root_.IsStorage = true;
    root_.Children.push_back(OleEntry{"Workbook", false, {}, {}, {}});
    workbookChild_ = 0;
    std::string why;
    if (!LoadStream(BuildNewWorkbookStream(versionCode, sheetCount), why)) {
        Reset();
        return Fail("ブックを作れません: " + why);
    }
    path_ = path;
    open_ = true;
    return true;
}

bool Workbook::LoadStream(std::string_view stream, std::string& why) {
    std::vector<Record> records;
    std::vector<size_t> offsets;
    if (!SplitRecords(stream, records, offsets, why)) {
        return false;
    }
    size_t sheetsAt = 0;
    std::vector<Record> sst;
    std::vector<uint32_t> boundOffsets;
    std::map<size_t, size_t> sheetAtOffset;
    if (!LoadGlobals(records, sheetsAt, sst, boundOffsets, why) ||
        !LoadSheets(records, offsets, sheetsAt, sheetAtOffset, why) ||
        !BindSheets(boundOffsets, sheetAtOffset, why) || !strings_.Parse(sst, why) ||
        !CheckStringReferences(why)) {
        return false;
    }
    ChooseCellXf();
    current_ = 0;
    return true;
}

bool Workbook::LoadGlobals(std::vector<Record>& records, size_t& sheetsAt, std::vector<Record>& sst,
                           std::vector<uint32_t>& boundOffsets, std::string& why) {
    if (records.empty() || records[0].id != kBof || records[0].data.size() < 4) {
        why = "ブックの先頭が BOF ではありません";
        return false;
    }
    if (Get16(records[0].data, 0) != kBiff8Version || Get16(records[0].data, 2) != kBofGlobals) {
        why = "BIFF8 (Excel 97以降) 形式ではありません";
        return false;
    }

    // Every record is kept except the string table, which is rebuilt.
    size_t i = 0;
    int depth = 0;
    bool haveSst = false;
    for (; i < records.size(); ++i) {
        Record& r = records[i];
        if (r.id == kBof) {
            ++depth;
        } else if (r.id == kEof) {
            --depth;
        }
        if (depth == 1 && r.id == kFilePass) {
            why = "パスワードで暗号化されたブックは扱えません";
            return false;
        }
        if (depth == 1 && r.id == kSst && !haveSst) {
            haveSst = true;
            sstAt_ = globals_.size();
            sst.push_back(std::move(r));
            while (i + 1 < records.size() && records[i + 1].id == kContinue) {
                sst.push_back(std::move(records[++i]));
            }
            continue;
        }
        if (depth == 1 && r.id == kExtSst) {
            continue;
        }
        if (depth == 0 && r.id == kEof) {
            if (!haveSst) {
                sstAt_ = globals_.size();
            }
            globals_.push_back(std::move(r));
            ++i;
            break;
        }
        if (depth == 1 && r.id == kBoundSheet) {
            if (r.data.size() < 8) {
                why = "BOUNDSHEET レコードが壊れています";
                return false;
            }
            boundOffsets.push_back(Get32(r.data, 0));
        }
        globals_.push_back(std::move(r));
    }
    if (depth != 0) {
        why = "ブック全体の情報が途中で切れています";
        return false;
    }
    sheetsAt = i;
    return true;
}

bool Workbook::LoadSheets(std::vector<Record>& records, const std::vector<size_t>& offsets, size_t i,
                          std::map<size_t, size_t>& sheetAtOffset, std::string& why) {
    while (i < records.size()) {
        if (records[i].id != kBof || records[i].data.size() < 4) {
            why = "シートの先頭が BOF ではありません";
            return false;
        }
        Sheet sheet;
        sheet.IsWorksheet = Get16(records[i].data, 2) == kBofWorksheet;
        sheetAtOffset[offsets[i]] = sheets_.size();
        int depth = 0;
        for (; i < records.size(); ++i) {
            const uint16_t id = records[i].id;
            depth += id == kBof ? 1 : id == kEof ? -1 : 0;
            sheet.Records.push_back(std::move(records[i]));
            if (depth == 0) {
                ++i;
                break;
            }
        }
        if (depth != 0) {
            why = "シートが途中で切れています";
            return false;
        }
        LocateCellTable(sheet);
        sheets_.push_back(std::move(sheet));
    }
    return true;
}

void Workbook::LocateCellTable(Sheet& sheet) {
    const std::vector<int> levels = Levels(sheet.Records);
    sheet.InTable.assign(sheet.Records.size(), false);
    size_t firstTable = 0, afterDimensions = 0, window2 = 0;
    for (size_t k = 0; k < sheet.Records.size(); ++k) {
        const Record& r = sheet.Records[k];
        if (levels[k] != 1) {
            continue;
        }
        const bool attached = r.id == kContinue && k > 0 && sheet.InTable[k - 1];
        if (sheet.IsWorksheet && (IsCellTableRecord(r.id) || attached)) {
            sheet.InTable[k] = true;
            firstTable = firstTable == 0 ? k : firstTable;
        }
        if (r.id == kDimensions && afterDimensions == 0) {
            afterDimensions = k + 1;
        }
        if (r.id == kWindow2 && window2 == 0) {
            window2 = k;
        }
        if (r.id == kColInfo) {
            sheet.ColInfos.push_back(r);
        }
    }
    sheet.TableAt = firstTable != 0        ? firstTable
                    : afterDimensions != 0 ? afterDimensions
                    : window2 != 0         ? window2
                                           : sheet.Records.size() - 1;
}

bool Workbook::BindSheets(const std::vector<uint32_t>& boundOffsets,
                          const std::map<size_t, size_t>& sheetAtOffset, std::string& why) {
    for (size_t k = 0; k < boundOffsets.size(); ++k) {
        auto found = sheetAtOffset.find(boundOffsets[k]);
        if (found != sheetAtOffset.end()) {
            sheetOfBound_.push_back(found->second);
        } else if (boundOffsets.size() == sheets_.size()) {
            sheetOfBound_.push_back(k);  // offsets stale, but one substream per sheet in order
        } else {
            why = "シートの位置情報が壊れています";
            return false;
        }
    }
    return true;
}

bool Workbook::CheckStringReferences(std::string& why) const {
    for (const Sheet& sheet : sheets_) {
        for (const Record& r : sheet.Records) {
            if (r.id == kLabelSst && (r.data.size() < 10 || Get32(r.data, 6) >= strings_.Size())) {
                why = "共有文字列表にない文字列を指すセルがあります";
                return false;
            }
        }
    }
    return true;
}

// New cells take format 15, the default cell format of every book Excel writes, when it is a cell
// format; else the book's first cell format; a book with none gets one added after its last XF.
void Workbook::ChooseCellXf() {
    size_t lastXf = globals_.size();
    uint16_t count = 0;
    int firstCellXf = -1;
    bool fifteenIsCellXf = false;
    for (size_t k = 0; k < globals_.size(); ++k) {
        if (globals_[k].id != kXf) {
            continue;
        }
        const bool cellXf = globals_[k].data.size() >= 6 && (Get16(globals_[k].data, 4) & 0x0004) == 0;
        if (cellXf && firstCellXf < 0) {
            firstCellXf = count;
        }
        fifteenIsCellXf = fifteenIsCellXf || (cellXf && count == 15);
        lastXf = k;
        ++count;
    }
    if (fifteenIsCellXf) {
        cellXf_ = 15;
    } else if (firstCellXf >= 0) {
        cellXf_ = static_cast<uint16_t>(firstCellXf);
    } else {
        const size_t at = lastXf == globals_.size() ? sstAt_ : lastXf + 1;
        globals_.insert(globals_.begin() + static_cast<long>(at), Record{kXf, NewCellXfData()});
        sstAt_ += at <= sstAt_ ? 1 : 0;
        cellXf_ = count;
    }
}

int Workbook::SheetCount() const {
    return open_ ? static_cast<int>(sheetOfBound_.size()) : 0;
}

bool Workbook::SetCurrentSheet(int index) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (index < 0 || index >= SheetCount()) {
        return Fail("シート番号が範囲外です: " + std::to_string(index));
    }
    current_ = index;
    return true;
}

bool Workbook::EnsureTable(Sheet& sheet, std::string& why) {
    if (sheet.Table) {
        return true;
    }
    std::vector<const Record*> table;
    for (size_t k = 0; k < sheet.Records.size(); ++k) {
        if (sheet.InTable[k]) {
            table.push_back(&sheet.Records[k]);
        }
    }
    auto parsed = std::make_unique<CellTable>();
    if (!parsed->Parse(table, why)) {
        return false;
    }
    sheet.Table = std::move(parsed);
    return true;
}

bool Workbook::LastUsedRow(int32_t& row) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (SheetCount() == 0) {
        return Fail("ブックにシートがありません");
    }
    Sheet& sheet = sheets_[sheetOfBound_[current_]];
    if (!sheet.IsWorksheet) {
        row = -1;
        return true;
    }
    std::string why;
    if (!EnsureTable(sheet, why)) {
        return Fail("シート " + std::to_string(current_ + 1) + " を読めません (" + why + ")");
    }
    row = sheet.Table->LastValueRow();
    return true;
}

bool Workbook::SetCellText(std::string_view reference, std::string_view utf8) {
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    uint32_t row = 0;
    uint16_t col = 0;
    if (!ParseCellReference(reference, row, col)) {
        return Fail("セル番地が正しくないか範囲外です: " + std::string(reference));
    }
    return SetCellText(row, col, utf8);
}

bool Workbook::SetCellText(uint32_t row, uint16_t col, std::string_view utf8) {
    auto reference = [row, col] {
        std::string ref;
        if (col >= 26) {
            ref.push_back(static_cast<char>('A' + col / 26 - 1));
        }
        ref.push_back(static_cast<char>('A' + col % 26));
        return ref + std::to_string(static_cast<uint64_t>(row) + 1);
    };
    if (!open_) {
        return Fail("ブックが開かれていません");
    }
    if (row > 65535 || col > 255) {
        return Fail("セル番地が正しくないか範囲外です: " + reference());
    }
    if (SheetCount() == 0) {
        return Fail("ブックにシートがありません");
    }
    if (utf8.empty()) {
        return true;
    }
    Sheet& sheet = sheets_[sheetOfBound_[current_]];
    if (!sheet.IsWorksheet) {
        return Fail("シート " + std::to_string(current_ + 1) + " はワークシートではありません");
    }
    Utf8ToUtf16(utf8, text_);
    if (text_.size() > kMaxCellText) {
        return Fail("セルの文字数が多すぎます: " + reference());
    }
    std::string why;
    if (!EnsureTable(sheet, why)) {
        return Fail("シート " + std::to_string(current_ + 1) + " を読めません (" + why + ")");
    }
    const uint32_t index = strings_.Add(text_);
    if (!sheet.Table->PutLabelSst(static_cast<uint16_t>(row), col, index, sheet.ColInfos, cellXf_, why)) {
        return Fail(why + ": " + reference());
    }
    sheet.Dirty = true;
    return true;
}

bool Workbook::SerializeSheet(const Sheet& sheet, SheetBytes& out, std::string& why) const {
    const std::vector<int> levels = Levels(sheet.Records);
    size_t blocks = 0;
    if (sheet.Dirty) {
        blocks = sheet.Table->BlockCount();
    } else {
        for (size_t k = 0; k < sheet.Records.size(); ++k) {
            blocks += levels[k] == 1 && sheet.Records[k].id == kDbCell ? 1 : 0;
        }
    }
    std::string& s = out.Bytes;
    for (size_t k = 0; k < sheet.Records.size(); ++k) {
        const Record& r = sheet.Records[k];
        if (sheet.Dirty && k == sheet.TableAt && !sheet.Table->Emit(s, out.DbCells, cellXf_, why)) {
            return false;
        }
        if (sheet.Dirty && sheet.InTable[k]) {
            continue;
        }
        if (levels[k] == 1 && r.id == kIndex && out.IndexAt < 0) {
            out.IndexAt = static_cast<long>(s.size());
            if (sheet.Dirty) {
                const CellTable::Bounds b = sheet.Table->Extent();
                out.FirstRow = b.Empty ? 0 : b.FirstRow;
                out.RowLimit = b.Empty ? 0 : b.LastRow + 1;
            } else {
                out.FirstRow = Get32(r.data, 4);
                out.RowLimit = Get32(r.data, 8);
            }
            AppendRecord(s, kIndex, std::string(16 + 4 * blocks, '\0'));
            continue;
        }
        if (levels[k] == 1 && r.id == kDefColWidth) {
            out.DefColWidthAt = static_cast<uint32_t>(s.size());
        }
        if (!sheet.Dirty && levels[k] == 1 && r.id == kDbCell) {
            out.DbCells.push_back(s.size());
        }
        if (sheet.Dirty && levels[k] == 1 && r.id == kDimensions) {
            const CellTable::Bounds b = sheet.Table->Extent();
            uint32_t rwMic = Get32(r.data, 0), rwMac = Get32(r.data, 4);
            uint16_t colMic = Get16(r.data, 8), colMac = Get16(r.data, 10);
            if (b.HasCells) {
                const bool wasEmpty = rwMac == 0 || colMac == 0;
                rwMic = wasEmpty ? b.FirstCellRow : std::min(rwMic, b.FirstCellRow);
                rwMac = wasEmpty ? b.LastCellRow + 1 : std::max(rwMac, b.LastCellRow + 1);
                colMic = wasEmpty ? b.FirstCol : std::min(colMic, b.FirstCol);
                colMac = wasEmpty ? static_cast<uint16_t>(b.LastCol + 1)
                                  : std::max(colMac, static_cast<uint16_t>(b.LastCol + 1));
            }
            std::string d;
            Put32(d, rwMic);
            Put32(d, rwMac);
            Put16(d, colMic);
            Put16(d, colMac);
            Put16(d, 0);
            AppendRecord(s, kDimensions, d);
            continue;
        }
        AppendRecord(s, r);
    }
    return true;
}

bool Workbook::SerializeStream(std::string& out, std::string& why) const {
    if (SharedStrings::BucketSize(strings_.Size()) == 0) {
        why = "共有文字列が多すぎて索引を作れません (" + std::to_string(strings_.Size()) + " 個)";
        return false;
    }
    uint32_t references = 0;
    size_t estimate = strings_.ByteSize();  // room for all, so the stream is never copied as it grows
    for (const Record& r : globals_) {
        estimate += 4 + r.data.size();
    }
    for (const Sheet& sheet : sheets_) {
        for (const Record& r : sheet.Records) {
            estimate += 4 + r.data.size();
        }
        if (sheet.Dirty) {
            references += sheet.Table->LabelSstCount();
            estimate += sheet.Table->ByteSize();
        } else {
            for (const Record& r : sheet.Records) {
                references += r.id == kLabelSst ? 1 : 0;
            }
        }
    }
    out.clear();
    out.reserve(estimate);
    std::vector<size_t> boundFixups;
    for (size_t k = 0; k < globals_.size(); ++k) {
        if (k == sstAt_) {
            std::vector<Record> sst;
            Record extSst;
            strings_.Build(references, static_cast<uint32_t>(out.size()), sst, extSst);
            for (const Record& r : sst) {
                AppendRecord(out, r);
            }
            AppendRecord(out, extSst);
        }
        if (globals_[k].id == kBoundSheet) {
            boundFixups.push_back(out.size() + 4);
        }
        AppendRecord(out, globals_[k]);
    }
    std::vector<uint32_t> sheetStart;
    for (const Sheet& sheet : sheets_) {
        const auto base = static_cast<uint32_t>(out.size());
        sheetStart.push_back(base);
        SheetBytes bytes;
        if (!SerializeSheet(sheet, bytes, why)) {
            return false;
        }
        if (bytes.IndexAt >= 0) {
            const auto at = static_cast<size_t>(bytes.IndexAt) + 4;
            Set32(bytes.Bytes, at + 4, bytes.FirstRow);
            Set32(bytes.Bytes, at + 8, bytes.RowLimit);
            Set32(bytes.Bytes, at + 12, bytes.DefColWidthAt == 0 ? 0 : base + bytes.DefColWidthAt);
            for (size_t b = 0; b < bytes.DbCells.size(); ++b) {
                Set32(bytes.Bytes, at + 16 + 4 * b, base + static_cast<uint32_t>(bytes.DbCells[b]));
            }
        }
        out += bytes.Bytes;
    }
    for (size_t k = 0; k < boundFixups.size() && k < sheetOfBound_.size(); ++k) {
        Set32(out, boundFixups[k], sheetStart[sheetOfBound_[k]]);
    }
    if (out.size() <= kMinimumStreamSize) {
        out.resize(kMinimumStreamSize + 512, '\0');
    }
    return true;
}

bool Workbook::Close(DurableReplacement* prepared) {
    if (!open_) {
        return true;
    }
    const std::string path = path_;
    std::string why;
    std::string& stream = root_.Children[workbookChild_].Data;
    if (!SerializeStream(stream, why)) {
        Reset();
        return Fail("ブックを保存できません: " + path + " (" + why + ")");
    }
    const std::string streamName = root_.Children[workbookChild_].Name;
    bool saved = false;
    const bool built = WriteCompoundFile(
        root_, streamName,
        [&](std::string_view bytes) {
            if (prepared == nullptr) {
                return saved = ReplaceFile(path, bytes, why);
            }
            saved = prepared->Begin(path, 0666) && prepared->Write(bytes) && prepared->Prepare();
            if (!saved) {
                why = SystemErrorText(errno);
                prepared->Abandon();
            }
            return saved;
        },
        why);
    Reset();
    if (!built || !saved) {
        return Fail("ブックを保存できません: " + path + " (" + why + ")");
    }
    return true;
}
