#include "history_command.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "common/visible_text.h"
#include "journal/history_text.h"
#include "journal/upload_journal.h"

namespace {

constexpr int kExitRead = 2;
constexpr int kExitUsage = 64;

bool WriteAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The table for a reader: each line with its control characters made visible, as the journal holds
// outside text (terminal IDs, the command's results). The CSV form makes them visible field by field.
std::string VisibleTable(const std::string& table) {
    std::string shown;
    size_t start = 0;
    while (start < table.size()) {
        const size_t end = std::min(table.find('\n', start), table.size());
        shown += VisibleText(std::string_view(table).substr(start, end - start));
        shown += end < table.size() ? "\n" : "";
        start = end + 1;
    }
    return shown;
}

}  // namespace

int PrintHistory(const std::string& programFolder, const HistoryRequest& request) {
    JournalFilter filter;
    filter.Terminal = request.Terminal;
    if (request.Since) {
        filter.SinceMs = LocalDayStartMs(*request.Since);
        if (!filter.SinceMs) {
            std::fprintf(stderr, "gathra-collect: --since: 日付が正しくありません: %s\n",
                         request.Since->c_str());
            return kExitUsage;
        }
    }
    if (request.Until) {
        filter.UntilMs = LocalDayStartMs(*request.Until, 1);
        if (!filter.UntilMs) {
            std::fprintf(stderr, "gathra-collect: --until: 日付が正しくありません: %s\n",
                         request.Until->c_str());
            return kExitUsage;
        }
    }
    UploadJournal journal(UploadJournal::PathIn(programFolder));
    if (!journal.OpenForReading()) {
        if (journal.Error().empty()) {
            return 0;  // no journal yet
        }
        std::fprintf(stderr, "gathra-collect: 履歴ﾌｧｲﾙ読み込みｴﾗｰ : %s\n", journal.Error().c_str());
        return kExitRead;
    }
    bool ok = true;
    if (request.Csv) {
        // Written as it is read: 100,000 entries never sit in memory at once.
        HistoryCsvWriter csv(false);
        ok = journal.ForEach(filter, [&csv](const JournalEntry& entry) {
            csv.Add(entry);
            if (csv.Text().size() >= 1 << 16) {
                WriteAll(csv.Text());
                csv.Text().clear();
            }
        });
        WriteAll(csv.Text());
    } else {
        const auto entries = journal.Read(filter);
        ok = entries.has_value();
        if (ok && !entries->empty()) {
            WriteAll(VisibleTable(HistoryColumns(*entries)));
        }
    }
    if (!ok) {
        std::fprintf(stderr, "gathra-collect: 履歴ﾌｧｲﾙ読み込みｴﾗｰ : %s\n", journal.Error().c_str());
        return kExitRead;
    }
    return 0;
}
