#include "journal/history_text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "common/visible_text.h"

namespace {

std::tm LocalTm(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::string Format(std::chrono::system_clock::time_point time, const char* format) {
    const std::tm local = LocalTm(time);
    char text[64];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// Local times of many entries in a row, as the history prints them: the zone's offset is asked once per
// quarter hour of UTC (offsets change only on such boundaries), the rest is arithmetic, which keeps
// 100,000 rows from costing 200,000 calls of localtime_r and strftime.
class LocalTimes {
public:
    // "YYYY-MM-DDThh:mm:ss+hh:mm".
    std::string Iso(std::chrono::system_clock::time_point time) {
        const std::tm local = At(time);
        char text[32];
        Put(text, local, 'T');
        const long offset = local.tm_gmtoff;
        const long minutes = (offset < 0 ? -offset : offset) / 60;
        text[19] = offset < 0 ? '-' : '+';
        Digits(text + 20, minutes / 60, 2);
        text[22] = ':';
        Digits(text + 23, minutes % 60, 2);
        return std::string(text, 25);
    }

    // "YYYY-MM-DD hh:mm:ss".
    std::string Local(std::chrono::system_clock::time_point time) {
        char text[19];
        Put(text, At(time), ' ');
        return std::string(text, 19);
    }

private:
    std::tm At(std::chrono::system_clock::time_point time) {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
        const std::time_t quarter = seconds >= 0 ? seconds / 900 : (seconds - 899) / 900;
        std::tm local{};
        if (quarter != quarter_) {
            localtime_r(&seconds, &local);
            quarter_ = quarter;
            offset_ = local.tm_gmtoff;
            return local;
        }
        const std::time_t shifted = seconds + offset_;
        gmtime_r(&shifted, &local);
        local.tm_gmtoff = offset_;
        return local;
    }
    static void Digits(char* at, long value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            at[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
    }
    // "YYYY-MM-DD?hh:mm:ss" into the first 19 characters.
    static void Put(char* text, const std::tm& local, char between) {
        Digits(text, local.tm_year + 1900L, 4);
        text[4] = '-';
        Digits(text + 5, local.tm_mon + 1, 2);
        text[7] = '-';
        Digits(text + 8, local.tm_mday, 2);
        text[10] = between;
        Digits(text + 11, local.tm_hour, 2);
        text[13] = ':';
        Digits(text + 14, local.tm_min, 2);
        text[16] = ':';
        Digits(text + 17, local.tm_sec, 2);
    }

    std::time_t quarter_ = -1;
    long offset_ = 0;
};

// The code points of a UTF-8 text (a malformed byte counts as one of its own).
template <typename F>
void ForEachCodePoint(std::string_view text, F f) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        f(c);
        i += length;
    }
}

bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

// A text field of the CSV. A spreadsheet program reads a field that begins with "=", "+", "-" or "@" as a
// formula, and drops a leading tab or CR before it does so: such a field is made text with a leading "'".
// Control characters are shown as the screen shows them, so the file holds no line break of an entry's.
std::string CsvField(const std::string& raw) {
    std::string value = VisibleText(raw);
    if (!raw.empty() && std::string_view("=+-@\t\r").find(raw.front()) != std::string_view::npos) {
        value.insert(0, 1, '\'');
    }
    if (value.find_first_of(",\"\r\n") == std::string::npos) {
        return value;
    }
    std::string quoted = "\"";
    for (const char c : value) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// Terminal columns never take a line break or a control character from an entry.
std::string OneLineCell(const std::string& text) {
    std::string cell;
    for (const char c : text) {
        cell += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? ' ' : c;
    }
    return cell;
}

}  // namespace

std::string OutcomeLabel(const JournalEntry& entry) {
    const UploadResult& upload = entry.Upload;
    std::string label;
    switch (upload.Outcome) {
        case UploadOutcome::Stored:
            label = "正常終了";
            break;
        case UploadOutcome::Failed:
            label = "異常終了";
            break;
        case UploadOutcome::Stopped:
            label = "停止";
            break;
        case UploadOutcome::DeviceGone:
            label = "ﾎﾟｰﾄ切断";
            break;
    }
    // What the operator must know beyond the outcome: records that stayed, an "ACK" that never arrived.
    if (upload.Store == StoreState::UndoFailed) {
        label += "(取消失敗)";
    } else if (upload.Outcome == UploadOutcome::Stored && upload.Answer != FinalAnswer::Ack) {
        label += "(ACK未送信)";
    }
    if (!upload.FailureText.empty()) {
        label += " : " + upload.FailureText;
    }
    return label;
}

std::string CommandLabel(const JournalEntry& entry) {
    if (entry.Command.empty()) {
        return {};
    }
    return entry.CommandDetail.empty() ? entry.Command : entry.Command + " : " + entry.CommandDetail;
}

std::string OutputLabel(const UploadResult& upload) {
    return upload.Table.empty() ? upload.Output : upload.Output + " : " + upload.Table;
}

std::string RecordsLabel(const UploadResult& upload) {
    if (upload.RecordsStored == upload.RecordsAnnounced) {
        return std::to_string(upload.RecordsStored);
    }
    return std::to_string(upload.RecordsStored) + "/" + std::to_string(upload.RecordsAnnounced);
}

std::string LocalTimeText(std::chrono::system_clock::time_point time) {
    return Format(time, "%Y-%m-%d %H:%M:%S");
}

std::string IsoTimeText(std::chrono::system_clock::time_point time) {
    std::string text = Format(time, "%Y-%m-%dT%H:%M:%S%z");  // the offset as +hhmm
    text.insert(text.size() - 2, ":");
    return text;
}

std::string LocalDayText(std::chrono::system_clock::time_point time) {
    return Format(time, "%Y-%m-%d");
}

std::optional<int64_t> LocalDayStartMs(std::string_view date, int days) {
    int year = 0;
    int month = 0;
    int day = 0;
    char tail = 0;
    const std::string text(date);
    if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3 ||
        text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_isdst = -1;
    std::tm check = local;
    if (std::mktime(&check) == -1 || check.tm_mday != day || check.tm_mon != month - 1) {
        return std::nullopt;  // 2026-02-30 and the like
    }
    local.tm_mday += days;
    const std::time_t start = std::mktime(&local);
    return static_cast<int64_t>(start) * 1000;
}

class HistoryCsvWriter::Times : public LocalTimes {};

HistoryCsvWriter::HistoryCsvWriter(bool byteOrderMark) : times_(std::make_unique<Times>()) {
    text_ = byteOrderMark ? "\xEF\xBB\xBF" : "";
    text_ +=
        "started,ended,port,terminal,announced,stored,format,output,table,outcome,failure,mail,command,"
        "command_detail,answer,store\r\n";
}

HistoryCsvWriter::~HistoryCsvWriter() = default;

void HistoryCsvWriter::Add(const JournalEntry& entry) {
    const UploadResult& u = entry.Upload;
    text_ += times_->Iso(u.Started);
    text_ += ',';
    text_ += times_->Iso(u.Ended);
    // Counts and times are written as they are.
    text_ += ',';
    text_ += std::to_string(u.Port);
    text_ += ',';
    text_ += CsvField(u.TerminalId);
    text_ += ',';
    text_ += std::to_string(u.RecordsAnnounced);
    text_ += ',';
    text_ += std::to_string(u.RecordsStored);
    for (const std::string& field :
         {u.Format, u.Output, u.Table, OutcomeWord(u.Outcome), u.FailureText, MailWord(u.Mail), entry.Command,
          entry.CommandDetail, AnswerWord(u.Answer), StoreWord(u.Store)}) {
        text_ += ',';
        text_ += CsvField(field);
    }
    text_ += "\r\n";
}

std::string HistoryCsv(const std::vector<JournalEntry>& entries, bool byteOrderMark) {
    HistoryCsvWriter writer(byteOrderMark);
    writer.Text().reserve(entries.size() * 160);
    for (const JournalEntry& entry : entries) {
        writer.Add(entry);
    }
    return std::move(writer.Text());
}

std::string HistoryColumns(const std::vector<JournalEntry>& entries) {
    LocalTimes times;
    std::vector<std::vector<std::string>> rows;
    rows.reserve(entries.size() + 1);
    rows.push_back({"日時", "端末ID", "件数", "出力", "結果", "ｺﾏﾝﾄﾞ"});
    for (const JournalEntry& entry : entries) {
        rows.push_back({times.Local(entry.Upload.Started), OneLineCell(entry.Upload.TerminalId),
                        RecordsLabel(entry.Upload), OneLineCell(OutputLabel(entry.Upload)),
                        OneLineCell(OutcomeLabel(entry)), OneLineCell(CommandLabel(entry))});
    }
    std::vector<int> widths(rows.front().size(), 0);
    std::vector<std::vector<int>> cellWidths(rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            cellWidths[r].push_back(DisplayWidth(rows[r][c]));
            widths[c] = std::max(widths[c], cellWidths[r][c]);
        }
    }
    std::string text;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (size_t c = 0; c < rows[r].size(); ++c) {
            line += rows[r][c];
            if (c + 1 < rows[r].size()) {
                line.append(widths[c] - cellWidths[r][c] + 2, ' ');
            }
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    }
    return text;
}

int DisplayWidth(std::string_view utf8) {
    int width = 0;
    ForEachCodePoint(utf8, [&width](char32_t c) { width += IsWide(c) ? 2 : 1; });
    return width;
}
