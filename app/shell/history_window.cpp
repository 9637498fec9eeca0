#include "shell/history_window.h"

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractTableModel>
#include <QBarCategoryAxis>
#include <QBarSet>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedBarSeries>
#include <QTableView>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <chrono>
#include <map>

#include "common/file_ops.h"
#include "common/system_error.h"
#include "common/visible_text.h"
#include "journal/history_text.h"
#include "shell/window_metrics.h"

namespace {

constexpr int kChartDays = 30;
constexpr const char* kReadError = "履歴ﾌｧｲﾙ読み込みｴﾗｰ : ";
constexpr const char* kCsvError = "CSV出力ｴﾗｰ : ";
const char* const kHeaders[] = {"日時", "端末ID", "件数", "出力", "結果"};
const char* const kAllTerminals = "(全端末)";

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

int64_t DayStartMs(const QDate& date, int days = 0) {
    return LocalDayStartMs(date.toString(Qt::ISODate).toStdString(), days).value_or(0);
}

}  // namespace

// The table's rows, newest first. Only the count is read up front; the rows are read a page at a time when
// the view first asks for them, so a journal of 100,000 entries opens as fast as one of a hundred.
// A page that cannot be read leaves its rows empty and tells the window why.
class HistoryModel : public QAbstractTableModel {
public:
    using ReadFailed = std::function<void(const std::string&)>;

    HistoryModel(ReadFailed readFailed, QObject* parent)
        : QAbstractTableModel(parent), readFailed_(std::move(readFailed)) {}

    void Reset(UploadJournal* journal, JournalFilter filter) {
        beginResetModel();
        journal_ = journal;
        filter_ = std::move(filter);
        count_ = 0;
        if (journal_ != nullptr) {
            const auto count = journal_->Count(filter_);
            count_ = static_cast<int>(count.value_or(0));
            if (!count) {
                readFailed_(journal_->Error());
            }
        }
        pages_.clear();
        endResetModel();
    }
    const JournalFilter& Filter() const { return filter_; }

    const JournalEntry* EntryAt(int row) const {
        if (row < 0 || row >= count_ || journal_ == nullptr) {
            return nullptr;
        }
        const int page = row / kPageRows;
        auto found = pages_.find(page);
        if (found == pages_.end()) {
            if (pages_.size() >= kPagesKept) {
                pages_.clear();
            }
            auto entries = journal_->Read(filter_, int64_t{page} * kPageRows, kPageRows);
            if (!entries) {
                readFailed_(journal_->Error());
                journal_ = nullptr;  // no further page is tried until the window reads the journal again
            }
            found = pages_.emplace(page, std::move(entries).value_or(std::vector<JournalEntry>{})).first;
        }
        const size_t index = static_cast<size_t>(row % kPageRows);
        return index < found->second.size() ? &found->second[index] : nullptr;
    }

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : count_; }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 5; }

    QVariant data(const QModelIndex& index, int role) const override {
        const JournalEntry* found = index.isValid() ? EntryAt(index.row()) : nullptr;
        if (found == nullptr) {
            return {};
        }
        const JournalEntry& entry = *found;
        if (role == Qt::ToolTipRole) {
            const std::string command = CommandLabel(entry);
            return Q(OutcomeLabel(entry) + (command.empty() ? "" : "\nｺﾏﾝﾄﾞ : " + command));
        }
        if (role == Qt::TextAlignmentRole && index.column() == 2) {
            return int(Qt::AlignRight | Qt::AlignVCenter);
        }
        if (role == Qt::ForegroundRole && index.column() == 4 &&
            entry.Upload.Outcome != UploadOutcome::Stored) {
            return QColor(200, 0, 0);
        }
        if (role != Qt::DisplayRole) {
            return {};
        }
        switch (index.column()) {
            case 0:
                return Q(LocalTimeText(entry.Upload.Started));
            case 1:
                return Q(entry.Upload.TerminalId);
            case 2:
                return Q(RecordsLabel(entry.Upload));
            case 3:
                return Q(OutputLabel(entry.Upload));
            default:
                return Q(OutcomeLabel(entry));
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 5) {
            return QString::fromUtf8(kHeaders[section]);
        }
        return QAbstractTableModel::headerData(section, orientation, role);
    }

private:
    static constexpr int kPageRows = 200;
    static constexpr size_t kPagesKept = 50;
    ReadFailed readFailed_;
    mutable UploadJournal* journal_ = nullptr;
    JournalFilter filter_;
    int count_ = 0;
    mutable std::map<int, std::vector<JournalEntry>> pages_;
};

HistoryWindow::HistoryWindow(std::string journalPath, UrlOpener openUrl, QWidget* parent,
                             std::chrono::milliseconds readLimit)
    : QWidget(parent, Qt::Window),
      journalPath_(std::move(journalPath)),
      openUrl_(std::move(openUrl)),
      readLimit_(readLimit) {
    setObjectName(QStringLiteral("frmHistory"));
    setWindowTitle(QStringLiteral("ﾋｽﾄﾘｰ"));
    setWindowIcon(ProgramIcon());
    setFont(JapaneseFont());
    BuildControls();
    resize(TwipsToPixels(13500), TwipsToPixels(9000));
    Refresh();
}

HistoryWindow::~HistoryWindow() = default;

void HistoryWindow::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    auto* filters = new QHBoxLayout();
    layout->addLayout(filters);

    const QDate today = QDate::currentDate();
    filters->addWidget(new QLabel(QStringLiteral("期間"), this));
    from_ = new QDateEdit(today.addDays(1 - kChartDays), this);
    from_->setObjectName(QStringLiteral("dtpFrom"));
    to_ = new QDateEdit(today, this);
    to_->setObjectName(QStringLiteral("dtpTo"));
    for (QDateEdit* edit : {from_, to_}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy/MM/dd"));
        connect(edit, &QDateEdit::dateChanged, this, [this] { Reload(); });
    }
    filters->addWidget(from_);
    filters->addWidget(new QLabel(QStringLiteral("～"), this));
    filters->addWidget(to_);
    filters->addSpacing(16);
    filters->addWidget(new QLabel(QStringLiteral("端末ID"), this));
    terminal_ = new QComboBox(this);
    terminal_->setObjectName(QStringLiteral("cboTerminal"));
    terminal_->setMinimumContentsLength(12);
    connect(terminal_, &QComboBox::currentIndexChanged, this, [this] {
        if (!filling_) {
            Reload();
        }
    });
    filters->addWidget(terminal_);
    filters->addStretch();
    csv_ = new QPushButton(QStringLiteral("CSV出力"), this);
    csv_->setObjectName(QStringLiteral("cmdCsv"));
    connect(csv_, &QPushButton::clicked, this, &HistoryWindow::ExportClicked);
    filters->addWidget(csv_);

    error_ = new QLabel(this);
    error_->setObjectName(QStringLiteral("lblError"));
    error_->setStyleSheet(QStringLiteral("color: rgb(200, 0, 0);"));
    error_->setVisible(false);
    layout->addWidget(error_);

    model_ = new HistoryModel([this](const std::string& reason) { ShowReadError(reason); }, this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("tblHistory"));
    table_->setModel(model_);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setWordWrap(false);
    table_->verticalHeader()->setVisible(false);
    // Fixed row heights and column widths: the view never measures 100,000 rows.
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 6);
    const int widths[] = {150, 110, 70, 330};
    for (int column = 0; column < 4; ++column) {
        table_->setColumnWidth(column, widths[column]);
    }
    table_->horizontalHeader()->setStretchLastSection(true);
    connect(table_, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { OpenEntry(index.row()); });
    layout->addWidget(table_, 3);

    auto* chart = new QChart();
    chart->setTitle(QStringLiteral("直近30日"));
    chart->setFont(JapaneseFont());
    chart->legend()->setAlignment(Qt::AlignBottom);
    chart_ = new QChartView(chart, this);
    chart_->setObjectName(QStringLiteral("chtDays"));
    chart_->setRenderHint(QPainter::Antialiasing);
    chart_->setMinimumHeight(TwipsToPixels(3600));
    layout->addWidget(chart_, 2);
}

std::optional<std::string> HistoryWindow::TerminalFilter() const {
    if (terminal_->currentIndex() <= 0) {
        return std::nullopt;
    }
    return terminal_->currentText().toStdString();
}

void HistoryWindow::ShowReadError(const std::string& reason) {
    readFailed_ = true;
    error_->setText(Q(kReadError + VisibleText(reason)));
    error_->setVisible(true);
}

bool HistoryWindow::Readable() const {
    return journal_ && journal_->IsOpen() && !readFailed_;
}

void HistoryWindow::FillTerminals() {
    if (!journal_) {
        journal_ = std::make_unique<UploadJournal>(journalPath_, readLimit_);
    }
    error_->clear();
    error_->setVisible(false);
    readFailed_ = false;
    // A journal not written yet is no failure; one that cannot be read, or is not a journal, says why and is
    // tried again at the next refresh. Until then no further read is tried: each may take the read limit.
    if (!journal_->IsOpen() && !journal_->OpenForReading() && !journal_->Error().empty()) {
        ShowReadError(journal_->Error());
    }
    const QString current = terminal_->currentIndex() > 0 ? terminal_->currentText() : QString();
    filling_ = true;
    terminal_->clear();
    terminal_->addItem(QString::fromUtf8(kAllTerminals));
    std::optional<std::vector<std::string>> terminals;
    if (Readable()) {
        terminals = journal_->Terminals();
        if (!terminals) {
            ShowReadError(journal_->Error());
        }
    }
    for (const std::string& id : terminals.value_or(std::vector<std::string>{})) {
        terminal_->addItem(Q(id));
    }
    terminal_->setCurrentIndex(std::max(0, terminal_->findText(current)));
    filling_ = false;
}

void HistoryWindow::Refresh() {
    FillTerminals();
    Reload();
}

void HistoryWindow::Reload() {
    JournalFilter filter;
    filter.SinceMs = DayStartMs(from_->date());
    filter.UntilMs = DayStartMs(to_->date(), 1);
    filter.Terminal = TerminalFilter();
    model_->Reset(Readable() ? journal_.get() : nullptr, filter);
    UpdateChart();
}

namespace {

// An axis from 0 in whole steps of 1, 2 or 5 times a power of ten, at most five of them: counts have no
// fractions, and Qt's own ticks (four intervals) would label a maximum of 1 as 0, 0, 0, 0, 1.
void UseWholeSteps(QValueAxis* axis, int max) {
    int step = 1;
    for (int power = 1; (max + step - 1) / step > 5; power *= 10) {
        for (const int factor : {1, 2, 5}) {
            step = factor * power;
            if ((max + step - 1) / step <= 5) {
                break;
            }
        }
    }
    const int steps = std::max(1, (max + step - 1) / step);
    axis->setRange(0, steps * step);
    axis->setTickType(QValueAxis::TicksDynamic);
    axis->setTickAnchor(0);
    axis->setTickInterval(step);
    axis->setLabelFormat(QStringLiteral("%d"));
}

}  // namespace

void HistoryWindow::UpdateChart() {
    const QDate today = QDate::currentDate();
    const QDate first = today.addDays(1 - kChartDays);
    std::vector<std::string> dayNames;
    for (int i = 0; i < kChartDays; ++i) {
        dayNames.push_back(first.addDays(i).toString(Qt::ISODate).toStdString());
    }
    std::optional<std::vector<JournalDay>> counted;
    if (Readable()) {
        counted = journal_->Days(dayNames, TerminalFilter());
        if (!counted) {
            ShowReadError(journal_->Error());
        }
    }
    chartDays_.clear();
    for (const std::string& name : dayNames) {
        chartDays_.push_back({name, 0, 0, 0});
    }
    if (counted) {
        chartDays_ = std::move(*counted);
    }
    auto* stored = new QBarSet(QStringLiteral("正常終了"));
    auto* failed = new QBarSet(QStringLiteral("異常終了"));
    stored->setColor(QColor(0, 150, 170));
    failed->setColor(QColor(220, 40, 40));
    auto* records = new QLineSeries();
    records->setName(QStringLiteral("件数"));
    records->setColor(QColor(60, 60, 60));
    QStringList labels;
    int maxUploads = 1;
    int maxRecords = 1;
    for (int i = 0; i < kChartDays; ++i) {
        const QDate date = first.addDays(i);
        const JournalDay& day = chartDays_[static_cast<size_t>(i)];
        *stored << day.Uploads - day.Failures;
        *failed << day.Failures;
        records->append(i, day.Records);
        labels << date.toString(QStringLiteral("M/d"));
        maxUploads = std::max(maxUploads, day.Uploads);
        maxRecords = std::max(maxRecords, day.Records);
    }
    auto* bars = new QStackedBarSeries();
    bars->setName(QStringLiteral("ｱｯﾌﾟﾛｰﾄﾞ"));
    bars->append(stored);
    bars->append(failed);

    QChart* chart = chart_->chart();
    chart->removeAllSeries();
    for (QAbstractAxis* axis : chart->axes()) {
        chart->removeAxis(axis);
        delete axis;
    }
    chart->addSeries(bars);
    chart->addSeries(records);
    auto* days = new QBarCategoryAxis();
    days->append(labels);
    days->setLabelsAngle(-90);
    auto* uploads = new QValueAxis();
    UseWholeSteps(uploads, maxUploads);
    uploads->setTitleText(QStringLiteral("回数"));
    auto* recordAxis = new QValueAxis();
    UseWholeSteps(recordAxis, maxRecords);
    recordAxis->setTitleText(QStringLiteral("件数"));
    chart->addAxis(days, Qt::AlignBottom);
    chart->addAxis(uploads, Qt::AlignLeft);
    chart->addAxis(recordAxis, Qt::AlignRight);
    bars->attachAxis(days);
    bars->attachAxis(uploads);
    // The line's points sit on the category indexes 0..29, in the middle of each bar.
    auto* positions = new QValueAxis();
    positions->setRange(-0.5, kChartDays - 0.5);
    positions->setVisible(false);
    chart->addAxis(positions, Qt::AlignBottom);
    records->attachAxis(positions);
    records->attachAxis(recordAxis);
}

const JournalEntry* HistoryWindow::EntryAt(int row) const {
    return model_->EntryAt(row);
}

int HistoryWindow::RowCount() const {
    return model_->rowCount();
}

void HistoryWindow::OpenEntry(int row) {
    const JournalEntry* entry = EntryAt(row);
    if (entry == nullptr || entry->Upload.Format == "database" || entry->Upload.Output.empty() || !openUrl_) {
        return;
    }
    openUrl_(QUrl::fromLocalFile(QFileInfo(Q(entry->Upload.Output)).absolutePath()));
}

bool HistoryWindow::ExportCsv(const QString& path) {
    const std::string target = path.toStdString();
    // Only a regular file: a named pipe chosen by mistake would hold the window in open().
    FileHandle file(OpenRegularFile(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    std::string reason;
    if (!file.IsOpen()) {
        reason = SystemErrorText(errno);
    } else if (journal_ && !journal_->IsOpen() && !journal_->Error().empty()) {
        reason = journal_->Error();  // what the window already shows: no empty file stands for it
    } else if (journal_ && journal_->IsOpen()) {
        // Written as it is read: the whole journal never sits in memory at once.
        HistoryCsvWriter csv(true);
        int failed = 0;
        const bool read = journal_->ForEach(model_->Filter(), [&](const JournalEntry& entry) {
            csv.Add(entry);
            if (failed == 0 && csv.Text().size() >= 1 << 16) {
                failed = WriteAllTo(file.Get(), csv.Text()) ? 0 : errno;
                csv.Text().clear();
            }
        });
        if (!read) {
            ShowReadError(journal_->Error());
            reason = journal_->Error();
        } else if (failed == 0 && !WriteAllTo(file.Get(), csv.Text())) {
            failed = errno;
        }
        if (reason.empty() && failed != 0) {
            reason = SystemErrorText(failed);
        }
    } else if (!WriteAllTo(file.Get(), HistoryCsvWriter(true).Text())) {
        reason = SystemErrorText(errno);
    }
    if (file.IsOpen() && file.Close() != 0 && reason.empty()) {
        reason = SystemErrorText(errno);
    }
    if (reason.empty()) {
        return true;
    }
    auto* box = new QMessageBox(QMessageBox::Critical, QStringLiteral("Gathra"),
                                Q(kCsvError + VisibleText(target) + " : " + VisibleText(reason)),
                                QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("MessageBox"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    box->open();
    return false;
}

void HistoryWindow::ExportClicked() {
    const QString path = QFileDialog::getSaveFileName(
        this, QStringLiteral("CSV出力"), QStringLiteral("history.csv"), QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty()) {
        ExportCsv(path);
    }
}
