#include "journal/history_text.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

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

std::string CsvField(const std::string& value) {
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

std::string OutcomeWord(UploadOutcome outcome) {
    switch (outcome) {
        case UploadOutcome::Stored:
            return "stored";
        case UploadOutcome::Failed:
            return "failed";
        case UploadOutcome::Stopped:
            return "stopped";
        case UploadOutcome::DeviceGone:
            return "device-gone";
    }
    return "failed";
}

std::string OutcomeLabel(const JournalEntry& entry) {
    const UploadReport& upload = entry.Upload;
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
    if (upload.Outcome != UploadOutcome::Stored && !upload.FailureText.empty()) {
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

std::string OutputLabel(const UploadReport& upload) {
    return upload.Table.empty() ? upload.Output : upload.Output + " : " + upload.Table;
}

std::string RecordsLabel(const UploadReport& upload) {
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

std::string HistoryCsv(const std::vector<JournalEntry>& entries, bool byteOrderMark) {
    std::string csv = byteOrderMark ? "\xEF\xBB\xBF" : "";
    csv +=
        "started,ended,port,terminal,announced,stored,format,output,table,outcome,failure,mail,command,"
        "command_detail\r\n";
    for (const JournalEntry& entry : entries) {
        const UploadReport& u = entry.Upload;
        const char* mail = u.Mail == MailOutcome::Sent     ? "sent"
                           : u.Mail == MailOutcome::Failed ? "failed"
                                                           : "";
        const std::string fields[] = {IsoTimeText(u.Started),
                                      IsoTimeText(u.Ended),
                                      std::to_string(u.Port),
                                      u.TerminalId,
                                      std::to_string(u.RecordsAnnounced),
                                      std::to_string(u.RecordsStored),
                                      u.Format,
                                      u.Output,
                                      u.Table,
                                      OutcomeWord(u.Outcome),
                                      u.FailureText,
                                      mail,
                                      entry.Command,
                                      entry.CommandDetail};
        bool first = true;
        for (const std::string& field : fields) {
            csv += first ? "" : ",";
            csv += CsvField(field);
            first = false;
        }
        csv += "\r\n";
    }
    return csv;
}

std::string HistoryColumns(const std::vector<JournalEntry>& entries) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(entries.size() + 1);
    rows.push_back({"日時", "端末ID", "件数", "出力", "結果", "ｺﾏﾝﾄﾞ"});
    for (const JournalEntry& entry : entries) {
        rows.push_back({LocalTimeText(entry.Upload.Started), OneLineCell(entry.Upload.TerminalId),
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
