#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "journal/journal_words.h"
#include "journal/upload_journal.h"

// The journal's entries as text for people and for scripts: the history window's table and CSV export,
// and `gathra-collect --history`.

// The outcome as the operator reads it, with the failure text of a failed upload.
std::string OutcomeLabel(const JournalEntry& entry);
// The command's outcome as the operator reads it; empty when no command ran.
std::string CommandLabel(const JournalEntry& entry);
// The file's path, or "<data source> : <table>" for a database.
std::string OutputLabel(const UploadResult& upload);
// "stored/announced" records, or only the stored count when it matches.
std::string RecordsLabel(const UploadResult& upload);

// Local time "YYYY-MM-DD hh:mm:ss", and ISO 8601 with the local offset ("2026-12-08T21:08:42+09:00").
std::string LocalTimeText(std::chrono::system_clock::time_point time);
std::string IsoTimeText(std::chrono::system_clock::time_point time);
// Milliseconds since the epoch at local midnight starting "YYYY-MM-DD"; nothing for a malformed or
// impossible date. `days` moves the day (1: the following midnight).
std::optional<int64_t> LocalDayStartMs(std::string_view date, int days = 0);
// The local date "YYYY-MM-DD" of a time.
std::string LocalDayText(std::chrono::system_clock::time_point time);

// CSV (RFC 4180, CR LF line ends) with a header line; `byteOrderMark` starts it with U+FEFF so that
// spreadsheet programs read it as UTF-8.
std::string HistoryCsv(const std::vector<JournalEntry>& entries, bool byteOrderMark);

// The same CSV a row at a time, for a journal too long to hold: Text() grows with each Add and may be
// taken away (written out) between rows.
class HistoryCsvWriter {
public:
    explicit HistoryCsvWriter(bool byteOrderMark);
    ~HistoryCsvWriter();
    void Add(const JournalEntry& entry);
    std::string& Text() { return text_; }

private:
    class Times;
    std::string text_;
    std::unique_ptr<Times> times_;
};
// Aligned columns for a terminal: date and time, terminal, records, output, outcome, command.
std::string HistoryColumns(const std::vector<JournalEntry>& entries);

// Columns a UTF-8 text takes on a terminal: East Asian wide characters two, others (half-width katakana
// among them) one.
int DisplayWidth(std::string_view utf8);
