#pragma once

#include <QUrl>
#include <QWidget>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "journal/upload_journal.h"

class QChartView;
class QComboBox;
class QDateEdit;
class QLabel;
class QPushButton;
class QTableView;
class HistoryModel;

// frmHistory: the uploads of the journal, opened by the main window's ﾋｽﾄﾘｰ button.
//
// A table of the uploads, newest first (tblHistory), narrowed by a range of local days (dtpFrom, dtpTo)
// and a terminal (cboTerminal, first item all terminals); a chart of the last 30 days (chtDays): uploads
// per day as stacked bars, failed ones apart, and records per day as a line. A double-click on an entry
// stored in a file opens its folder; a database entry has no folder. cmdCsv exports the entries shown as
// CSV with a byte order mark; a failed export shows a box titled "Gathra", "CSV出力ｴﾗｰ : <path> : <reason>".
// A journal that cannot be read, or is not a journal, is shown as "履歴ﾌｧｲﾙ読み込みｴﾗｰ : <reason>"
// (lblError) above an empty table, never as a journal without uploads.
//
// The window reads the journal through a read-only connection of its own on the window's thread; the
// journal is in WAL mode, so reading never holds up the upload thread's writes.
class HistoryWindow : public QWidget {
    Q_OBJECT
public:
    using UrlOpener = std::function<bool(const QUrl&)>;

    HistoryWindow(std::string journalPath, UrlOpener openUrl, QWidget* parent = nullptr,
                  std::chrono::milliseconds readLimit = UploadJournal::kReadLimit);
    ~HistoryWindow() override;

    // Reads the journal again, its terminals too (an upload ended).
    void Refresh();
    // The entry of a table row, as shown.
    const JournalEntry* EntryAt(int row) const;
    int RowCount() const;
    // What a double-click on `row` does.
    void OpenEntry(int row);
    // Writes the entries shown to `path`; false, with the box shown, when that failed.
    bool ExportCsv(const QString& path);
    // The chart's days: (day, uploads, records, failures), oldest first, 30 of them.
    const std::vector<JournalDay>& ChartDays() const { return chartDays_; }

private:
    void BuildControls();
    void FillTerminals();
    // Reads the entries and the chart again with the current filters.
    void Reload();
    void UpdateChart();
    void ExportClicked();
    void ShowReadError(const std::string& reason);
    bool Readable() const;
    std::optional<std::string> TerminalFilter() const;

    std::string journalPath_;
    UrlOpener openUrl_;
    std::chrono::milliseconds readLimit_;
    std::unique_ptr<UploadJournal> journal_;
    HistoryModel* model_ = nullptr;
    QTableView* table_ = nullptr;
    QDateEdit* from_ = nullptr;
    QDateEdit* to_ = nullptr;
    QComboBox* terminal_ = nullptr;
    QPushButton* csv_ = nullptr;
    QLabel* error_ = nullptr;
    QChartView* chart_ = nullptr;
    std::vector<JournalDay> chartDays_;
    bool filling_ = false;
    bool readFailed_ = false;  // a read failed since the last refresh
};
