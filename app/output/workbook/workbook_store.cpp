#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>

#include "codec/text_encoding.h"
#include "common/file_ops.h"
#include "common/system_error.h"
#include "output/backup_lines.h"
#include "output/output_naming.h"
#include "output/record_fields.h"
#include "output/workbook/workbook.h"
#include "output/workbook/workbook_store.h"
#include "output/workbook/xlsx_book.h"
#include "output/writers.h"

namespace {

constexpr int kStartRowEntries = 20;  // start rows are kept for worksheets 1..20 only

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The version code of a new .xls book.
int VersionCode(int16_t xlsType) {
    switch (xlsType) {
        case 0:
            return 97;
        case 1:
            return 2000;
        case 2:
            return 2002;
        default:
            return 2003;
    }
}

// The numeric value at the start of a text, as a BASIC Val() reads it: leading blanks, a sign,
// digits with one decimal point, an exponent. A text without a leading number is 0.
double LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
        ++i;
    }
    std::string number;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        number += text[i++];
    }
    bool digits = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            number += text[i];
            digits = true;
        } else if (text[i] == '.' && !point) {
            number += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digits) {
        return 0.0;
    }
    if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        std::string exponent = "e";
        size_t j = i + 1;
        if (text[j] == '+' || text[j] == '-') {
            exponent += text[j++];
        }
        const size_t start = j;
        while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
            exponent += text[j++];
        }
        if (j > start) {
            number += exponent;
        }
    }
    // from_chars, unlike strtod, ignores the locale: the decimal point is always ".".
    double value = 0.0;
    const char* first = number.data();
    if (*first == '+') {
        ++first;
    }
    std::from_chars(first, number.data() + number.size(), value);
    return value;
}

// The component text for a backup file that cannot be opened or read.
std::string BackupFailureText(const std::string& path, int error) {
    return path + ": " + SystemErrorText(error);
}

// The sheet index a first field chooses: its value minus 1, rounded to the nearest integer with
// halves to the even neighbour. False when the value does not fit an integer.
bool SheetIndexOf(const std::string& field, int& index) {
    const double rounded = std::nearbyint(LeadingNumber(field) - 1.0);  // default mode: halves to even
    if (!(rounded >= std::numeric_limits<int>::min() && rounded <= std::numeric_limits<int>::max())) {
        return false;
    }
    index = static_cast<int>(rounded);
    return true;
}

// Fields as UTF-8. CP932 bytes below 0x80 are ASCII, so a field without others (numbers, codes) needs
// no conversion. Texts repeat across an upload (product names, places, dates), so each converted text
// is kept for the next record that has it, up to a bound.
class CellTexts {
public:
    std::string_view Of(const std::string& field) {
        const bool ascii = std::all_of(field.begin(), field.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (ascii) {
            return field;
        }
        if (field.size() > kLongestKept) {
            converted_ = Cp932ToUtf8(field);
            return converted_;
        }
        auto found = kept_.find(field);
        if (found == kept_.end()) {
            if (kept_.size() >= kMostKept) {
                kept_.clear();
            }
            found = kept_.emplace(field, Cp932ToUtf8(field)).first;
        }
        return found->second;
    }

private:
    static constexpr size_t kLongestKept = 64;
    static constexpr size_t kMostKept = 16384;
    std::unordered_map<std::string, std::string> kept_;
    std::string converted_;
};

// The failure exit. The workbook is dropped unsaved, so the file on disk stays byte for byte as it was:
// the upload ends without its final "ACK", the terminal keeps its records and sends them again, and
// rows already written would otherwise be stored twice.
template <class Book>
bool FailureExit(OperatorView& view, Book& book, BackupLines& backup, const std::string& error) {
    backup.Close();
    book.Discard();
    view.SetBusyPointer(false);
    const std::string text = "XLSﾌｧｲﾙ書込ｴﾗｰ : " + error;
    view.ShowMessage(kAppTitle, text, MessageIcon::None);
    view.AppendStatus(text);
    return false;
}

// The workbook the records go to: a copy of the template, the existing file, or a new workbook. Book is
// Workbook (.xls) or XlsxBook (.xlsx): the steps below are the same for both.
template <class Book>
bool OpenWorkbook(const SettingsRecord& settings, const std::string& path, const std::string& templatePath,
                  Book& book) {
    if (!settings.XlsTemp.empty()) {
        return book.Open(path, templatePath);
    }
    if (FileExists(path)) {
        return book.Open(path);
    }
    if constexpr (std::is_same_v<Book, XlsxBook>) {
        return book.Create(path, XlsxBook::kVersionCode, kStartRowEntries);
    } else {
        return book.Create(path, VersionCode(settings.XlsType), kStartRowEntries);
    }
}

// Puts records into the worksheets of an open workbook, each below the previous one on its sheet.
// Worksheets beyond the 20th have no start row and cannot be written.
template <class Book>
class RecordPlacer {
public:
    // Each worksheet's first row: the start line, or with start line 0 the row below the sheet's last
    // used one (a sheet whose last row cannot be read takes the previous sheet's).
    RecordPlacer(const SettingsRecord& settings, Book& book)
        : settings_(settings), book_(book), sheets_(std::min(book.SheetCount(), kStartRowEntries)) {
        int32_t lastRow = 0;
        for (int sheet = 0; sheet < sheets_; ++sheet) {
            if (settings.XlsStartLine == 0) {
                book.SetCurrentSheet(sheet);  // an existing sheet: cannot fail
                int32_t row = 0;
                if (book.LastUsedRow(row)) {
                    lastRow = row;
                }
                nextRow_[sheet] = lastRow + 2;
            } else {
                nextRow_[sheet] = settings.XlsStartLine;
            }
        }
    }

    // Writes the selected fields of one backup line into the next row of its worksheet (the first field
    // names the sheet when it is used for that). False at the first cell that cannot be written.
    bool Place(const std::string& line) {
        const RecordFields fields = SplitRecord(line);
        int column = 1;
        int sheet = 0;
        if (settings_.XlsF1 == 0 && fields[1].empty() && book_.CurrentSheet() != 0) {
            // A record without a sheet number belongs to worksheet 1, not to the previous record's.
            if (!book_.SetCurrentSheet(0)) {
                return false;
            }
        }
        for (int i = 1; i <= 20; ++i) {
            if (fields[i].empty()) {
                continue;
            }
            if (i == 1 && settings_.XlsF1 == 0) {
                if (!SheetIndexOf(fields[1], sheet) || !book_.SetCurrentSheet(sheet)) {
                    return false;
                }
            } else if (settings_.SelectedFields[i - 1] == 1) {
                if (!HasStartRow(sheet)) {
                    return false;
                }
                // Rows count from 1; the workbook takes 0-based rows and refuses those past its end.
                const int64_t row = static_cast<int64_t>(nextRow_[sheet]) - 1;
                if (row < 0 || row > UINT32_MAX ||
                    !book_.SetCellText(static_cast<uint32_t>(row), static_cast<uint16_t>(column - 1),
                                       texts_.Of(fields[i]))) {
                    return false;
                }
                ++column;
            }
        }
        if (!HasStartRow(sheet)) {
            return false;
        }
        ++nextRow_[sheet];
        return true;
    }

private:
    bool HasStartRow(int sheet) const { return sheet >= 0 && sheet < sheets_; }

    const SettingsRecord& settings_;
    Book& book_;
    const int sheets_;                                 // the worksheets that have a start row
    std::array<int32_t, kStartRowEntries> nextRow_{};  // 1-based, by 0-based sheet index
    CellTexts texts_;
};

// Stores the backup file's records into the workbook at `path` and saves it. False at the first step
// that fails, with `error` holding the failure text (the workbook layer writes its own there); the
// caller then takes the failure exit, before anything was saved.
template <class Book>
bool WriteWorkbook(const SettingsRecord& settings, const std::string& path, const std::string& templatePath,
                   Book& book, BackupLines& backup, std::string& error, DurableReplacement* prepared) {
    if (!OpenWorkbook(settings, path, templatePath, book)) {
        return false;
    }
    RecordPlacer<Book> placer(settings, book);
    if (!book.SetCurrentSheet(0)) {
        return false;
    }
    if (!backup.Open(ProgramFile(settings, settings.BackFilePath))) {
        error = BackupFailureText(settings.BackFilePath, backup.ErrorNumber());
        return false;
    }
    if (!Cp932ConvertersAvailable()) {
        error = kNoCp932ConverterText;
        return false;
    }
    std::string line;
    while (backup.Next(line)) {
        if (!placer.Place(line)) {
            return false;
        }
    }
    if (backup.Failed()) {  // a read error is no end of file: the rest of the records would be lost
        error = BackupFailureText(settings.BackFilePath, backup.ErrorNumber());
        return false;
    }
    backup.Close();
    return book.Close(prepared);
}

// The workbook written to its temporary file and made durable there, waiting to be committed; after the
// commit the previous book stays beside it until the final answer is out.
class WorkbookPrepared : public PreparedStore {
public:
    WorkbookPrepared(const std::string& outputPath, bool xlsx) : outputPath_(outputPath), xlsx_(xlsx) {
        replacement_.KeepPrevious();
    }

    DurableReplacement& Replacement() { return replacement_; }

    MailAttachment Attachment() override {
        return {replacement_.TemporaryPath(),
                FileNamePart(outputPath_),
                xlsx_ ? "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"
                      : "application/vnd.ms-excel",
                {}};
    }

    StoreState Commit(OperatorView& view) override {
        if (replacement_.Commit()) {
            return StoreState::Committed;
        }
        // A folder sync that failed has put the previous book back when it could.
        Report(view, "ブックを保存できません: ",
               replacement_.FolderSyncFailed() ? "フォルダを同期できません: " : "");
        return replacement_.Committed() ? StoreState::UndoFailed : StoreState::Failed;
    }

    StoreState Undo(OperatorView& view) override {
        if (replacement_.Undo()) {
            return StoreState::Undone;
        }
        Report(view, "ブックを元に戻せません: ", "");
        return StoreState::UndoFailed;
    }

    void Keep() override { replacement_.Keep(); }

private:
    void Report(OperatorView& view, const char* what, const char* step) const {
        const std::string text =
            "XLSﾌｧｲﾙ書込ｴﾗｰ : " + (what + outputPath_) + " (" + step + SystemErrorText(errno) + ")";
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.AppendStatus(text);
    }

    std::string outputPath_;
    bool xlsx_;
    DurableReplacement replacement_;
};

// A template of the other format under this format's name: an .xls book (or an encrypted one, which is a
// compound file too) named .xlsx, or an .xlsx book named .xls. Empty when it is neither.
std::string OtherFormatText(const std::string& path, bool xlsx) {
    // Opened as every file in the save folder is: a named pipe there never blocks the store.
    char magic[4] = {};
    FileHandle file(OpenRegularFile(path, O_RDONLY | O_CLOEXEC, 0));
    const ssize_t read = file.IsOpen() ? FileOps().Read(file.Get(), magic, sizeof magic) : 0;
    const bool compound = read == 4 && std::memcmp(magic, "\xD0\xCF\x11\xE0", 4) == 0;
    const bool zip = read == 4 && std::memcmp(magic, "PK\x03\x04", 4) == 0;
    if (xlsx && compound) {
        return path +
               " は Excel 97-2003 形式 (.xls) のブックです。保存形式が EXCEL2007以降 のときは .xlsx "
               "のブックを使います";
    }
    if (!xlsx && zip) {
        return path + " は .xlsx 形式のブックです。.xlsx のブックには保存形式 EXCEL2007以降 を選びます";
    }
    return {};
}

// Writes the workbook into `prepared`, durable beside the output. False after a reported failure.
template <class Book>
bool SaveAs(const SettingsRecord& settings, RunState& run, OperatorView& view, const std::string& extension,
            DurableReplacement& prepared) {
    const bool xlsx = std::is_same_v<Book, XlsxBook>;
    const std::string templatePath = settings.SaveFolder + "/" + settings.XlsTemp + extension;
    // The text of the last failure; the workbook layer reports each of its own before the failing call
    // returns. A failure without a text of its own (a record for a sheet without a start row) shows it.
    std::string error;
    Book book([&error](const std::string& text) { error = text; });
    BackupLines backup;
    if (!settings.XlsTemp.empty() && !FileExists(templatePath)) {
        const std::string other = settings.SaveFolder + "/" + settings.XlsTemp + (xlsx ? ".xls" : ".xlsx");
        if (FileExists(other)) {
            return FailureExit(view, book, backup,
                               "テンプレート " + other + " は保存形式と違う形式です (" +
                                   (xlsx ? "EXCEL2007以降 には .xlsx" : "EXCEL97～2003 には .xls") +
                                   " のテンプレートを使います)");
        }
        view.SetBusyPointer(false);
        view.AppendStatus("XLSﾃﾝﾌﾟﾚｰﾄﾌｧｲﾙが存在しません");
        return false;
    }
    if (const std::string other =
            settings.XlsTemp.empty() ? std::string() : OtherFormatText(templatePath, xlsx);
        !other.empty()) {
        return FailureExit(view, book, backup, other);
    }
    // Whatever throws (memory running out on a huge book) ends in the failure exit.
    try {
        if (WriteWorkbook(settings, run.OutputPath, templatePath, book, backup, error, &prepared)) {
            view.SetBusyPointer(false);
            return true;
        }
    } catch (const std::bad_alloc&) {
        error = "メモリが足りません";
    } catch (const std::exception& e) {
        error = std::string("予期しないエラーが発生しました (") + e.what() + ")";
    } catch (...) {
        error = "予期しないエラーが発生しました";
    }
    return FailureExit(view, book, backup, error);
}

}  // namespace

bool WorkbookStore::NameUsesTerminalId(const SettingsRecord& settings) const {
    return FileNameUsesTerminalId(settings);
}

OutputName WorkbookStore::NameOutput(const SettingsRecord& settings, const RunState&,
                                     std::string_view terminalId, const PcDateTime& now) const {
    return NameOutputFile(settings, terminalId, now, format_ == Format::Xlsx ? ".xlsx" : ".xls");
}

std::unique_ptr<PreparedStore> WorkbookStore::Prepare(const SettingsRecord& settings, RunState& run,
                                                      OperatorView& view) {
    const bool xlsx = format_ == Format::Xlsx;
    auto store = std::make_unique<WorkbookPrepared>(run.OutputPath, xlsx);
    view.SetBusyPointer(true);
    const bool written = xlsx ? SaveAs<XlsxBook>(settings, run, view, ".xlsx", store->Replacement())
                              : SaveAs<Workbook>(settings, run, view, ".xls", store->Replacement());
    return written ? std::move(store) : nullptr;
}
