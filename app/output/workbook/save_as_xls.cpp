#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "codec/text_encoding.h"
#include "common/system_error.h"
#include "output/backup_lines.h"
#include "output/record_fields.h"
#include "output/workbook/save_as_xls.h"
#include "output/workbook/workbook.h"
#include "output/writers.h"

namespace {

constexpr int kStartRowEntries = 20;  // start rows are kept for worksheets 1..20 only

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

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
bool FailureExit(OperatorView& view, RunState& run, Workbook& book, BackupLines& backup) {
    backup.Close();
    book.Discard();
    view.SetBusyPointer(false);
    const std::string text = "XLSﾌｧｲﾙ書込ｴﾗｰ : " + run.XlsErrorText;
    view.ShowMessage(kAppTitle, text, MessageIcon::None);
    view.ShowStatus(1, text);
    run.XlsErrorText.clear();
    return false;
}

bool WriteWorkbook(const SettingsRecord& settings, RunState& run, OperatorView& view, Workbook& book,
                   BackupLines& backup, const std::string& templatePath) {
    // Steps record a failure and go on; the flow looks at it only where it checks.
    bool failed = false;
    auto record = [&failed](bool ok) { failed = failed || !ok; };

    auto failureExit = [&] { return FailureExit(view, run, book, backup); };

    if (!settings.XlsTemp.empty()) {
        record(book.Open(run.OutputPath, templatePath));
    } else if (FileExists(run.OutputPath)) {
        record(book.Open(run.OutputPath));
    } else {
        record(book.Create(run.OutputPath, VersionCode(settings.XlsType), kStartRowEntries));
    }
    if (failed) {
        return failureExit();
    }

    // 1-based row of the next record per worksheet 1..20 (element 0 unused). Worksheets beyond the
    // 20th get no entry and cannot be written.
    std::array<int32_t, kStartRowEntries + 1> startRow{};
    const int sheets = std::min(book.SheetCount(), kStartRowEntries);
    int32_t lastRow = 0;
    for (int k = 1; k <= sheets; ++k) {
        if (settings.XlsStartLine == 0) {
            record(book.SetCurrentSheet(k - 1));
            int32_t row = 0;
            if (book.LastUsedRow(row)) {
                lastRow = row;
            } else {
                record(false);
            }
            startRow[k] = lastRow + 2;
        } else {
            startRow[k] = settings.XlsStartLine;
        }
    }
    if (settings.XlsStartLine == 0) {
        failed = false;  // a sheet whose last row cannot be read just reuses the previous sheet's
    }
    record(book.SetCurrentSheet(0));

    if (!backup.Open(settings.BackFilePath)) {
        run.XlsErrorText = BackupFailureText(settings.BackFilePath, backup.ErrorNumber());
        record(false);
    }
    if (!failed && !Cp932ConvertersAvailable()) {
        run.XlsErrorText = kNoCp932ConverterText;
        record(false);
    }

    std::string line;
    CellTexts texts;
    while (backup.Next(line)) {
        const RecordFields fields = SplitRecord(line);
        int column = 1;
        int sheet = 0;
        if (settings.XlsF1 == 0 && fields[1].empty() && book.CurrentSheet() != 0) {
            // A record without a sheet number belongs to worksheet 1, not to the previous record's.
            record(book.SetCurrentSheet(0));
        }
        for (int i = 1; i <= 20; ++i) {
            if (fields[i].empty()) {
                continue;
            }
            if (i == 1 && settings.XlsF1 == 0) {
                record(SheetIndexOf(fields[1], sheet) && book.SetCurrentSheet(sheet));
                if (failed) {
                    return failureExit();
                }
            } else if (settings.SelectedFields[i - 1] == 1) {
                if (sheet < 0 || sheet >= sheets) {
                    record(false);  // no start row for this worksheet
                } else {
                    // Rows count from 1; the workbook takes 0-based rows and refuses those past its end.
                    const int64_t row = static_cast<int64_t>(startRow[sheet + 1]) - 1;
                    record(row >= 0 && row <= UINT32_MAX &&
                           book.SetCellText(static_cast<uint32_t>(row), static_cast<uint16_t>(column - 1),
                                            texts.Of(fields[i])));
                }
                if (failed) {
                    return failureExit();
                }
                ++column;
            }
        }
        if (sheet < 0 || sheet >= sheets) {
            record(false);
        } else {
            ++startRow[sheet + 1];
        }
        if (failed) {
            return failureExit();
        }
    }

    if (backup.Failed()) {  // a read error is no end of file: the rest of the records would be lost
        run.XlsErrorText = BackupFailureText(settings.BackFilePath, backup.ErrorNumber());
        record(false);
    }
    if (failed) {
        return failureExit();  // before the save: a failed store leaves the file as it was
    }
    backup.Close();
    record(book.Close());
    if (failed) {
        return failureExit();
    }
    view.SetBusyPointer(false);
    return true;
}

}  // namespace

bool SaveAsXls(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    view.SetBusyPointer(true);
    const std::string templatePath = settings.SaveFolder + "/" + settings.XlsTemp + ".xls";
    if (!settings.XlsTemp.empty() && !FileExists(templatePath)) {
        view.SetBusyPointer(false);
        view.ShowStatus(1, "XLSﾃﾝﾌﾟﾚｰﾄﾌｧｲﾙが存在しません");
        return false;
    }

    // The workbook layer reports every failure here before the failing call returns.
    Workbook book([&run](const std::string& text) { run.XlsErrorText = text; });
    BackupLines backup;
    // Whatever throws (memory running out on a huge book) ends in the failure exit.
    try {
        return WriteWorkbook(settings, run, view, book, backup, templatePath);
    } catch (const std::bad_alloc&) {
        run.XlsErrorText = "メモリが足りません";
    } catch (const std::exception& e) {
        run.XlsErrorText = std::string("予期しないエラーが発生しました (") + e.what() + ")";
    } catch (...) {
        run.XlsErrorText = "予期しないエラーが発生しました";
    }
    return FailureExit(view, run, book, backup);
}
