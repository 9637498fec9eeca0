// The history window: opened by the main window's button, its table, filters, chart, double-click and
// CSV export, and a refresh when an upload ends while it is open.
#include <sys/stat.h>

#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QValueAxis>
#include <chrono>
#include <cstdlib>
#include <memory>

#include "journal/history_text.h"
#include "journal/upload_journal.h"
#include "shell/history_window.h"
#include "shell/main_window.h"
#include "shell/window_metrics.h"
#include "shell_test_support.h"

namespace {

using namespace std::chrono;

UploadResult Report(int daysAgo, const std::string& terminal, UploadOutcome outcome,
                    const std::string& output, const std::string& table = "") {
    UploadResult report;
    report.Started = system_clock::now() - hours(24 * daysAgo) - minutes(1);
    report.Ended = report.Started + seconds(2);
    report.TerminalId = terminal;
    report.RecordsAnnounced = 5;
    report.RecordsStored = outcome == UploadOutcome::Stored ? 5 : 0;
    report.Format = table.empty() ? "text" : "database";
    report.Output = output;
    report.Table = table;
    report.Outcome = outcome;
    report.Answer = outcome == UploadOutcome::Stored ? FinalAnswer::Ack : FinalAnswer::Can;
    return report;
}

}  // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void tableFiltersChartAndExport();
    void refreshesAndItsExportDialogSpeaksJapanese();

private:
    HistoryWindow* OpenFromMainWindow() {
        QTest::mouseClick(window_->findChild<QPushButton*>("cmdHistory"), Qt::LeftButton);
        HistoryWindow* history = window_->OpenHistoryWindow();
        return history != nullptr && history->isVisible() ? history : nullptr;
    }
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<MainWindow> window_;
    std::function<void(UploadContext&)> engine_;
    QStringList opened_;
};

void HistoryWindowTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    const std::string folder = dir_->path().toStdString();
    UploadJournal journal(UploadJournal::PathIn(folder));
    QVERIFY(journal.OpenForWriting());
    QVERIFY(journal.Add(Report(40, "T01", UploadOutcome::Stored, folder + "/old/T01.txt")));
    QVERIFY(journal.Add(Report(1, "T02", UploadOutcome::Failed, folder + "/T02.txt")));
    QVERIFY(journal.Add(Report(0, "T01", UploadOutcome::Stored, "counts.mdb", "T01")));
    QVERIFY(journal.Add(Report(0, "T01", UploadOutcome::Stored, folder + "/data/T01.txt")));

    WriteSettings(dir_->path(), dir_->path());
    MainWindow::Services services = MainWindow::DefaultServices();
    services.RunUpload = [this](UploadContext& context) {
        if (engine_) {
            engine_(context);
        }
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    services.BindLink = [](const std::string&) -> const LinkApi* { return nullptr; };
    services.OpenFile = [this](const QString& path) {
        opened_ << path;
        return true;
    };
    opened_.clear();
    window_ = std::make_unique<MainWindow>(services);
    window_->Load(FactsFor(dir_->path()));
    window_->show();
}

void HistoryWindowTest::cleanup() {
    window_.reset();
}

void HistoryWindowTest::tableFiltersChartAndExport() {
    HistoryWindow* history = OpenFromMainWindow();
    QVERIFY(history != nullptr);
    // The last 30 days, newest first.
    QCOMPARE(history->RowCount(), 3);
    QCOMPARE(history->EntryAt(0)->Upload.Format, std::string("text"));
    QCOMPARE(history->EntryAt(2)->Upload.TerminalId, std::string("T02"));

    const auto& days = history->ChartDays();
    QCOMPARE(days.size(), size_t(30));
    QCOMPARE(days.back().Day, LocalDayText(system_clock::now() - minutes(1)));
    QCOMPARE(days.back().Uploads + days[28].Uploads, 3);
    QCOMPARE(days.back().Records + days[28].Records, 10);
    QCOMPARE(days.back().Failures + days[28].Failures, 1);

    // The count axes step in whole numbers from 0 (here 2 uploads and 10 records at most on a day).
    QStringList axes;
    for (QAbstractAxis* axis : history->findChild<QChartView*>("chtDays")->chart()->axes(Qt::Vertical)) {
        auto* values = qobject_cast<QValueAxis*>(axis);
        axes << QStringLiteral("%1 %2-%3 by %4")
                    .arg(values->titleText())
                    .arg(values->min())
                    .arg(values->max())
                    .arg(values->tickInterval());
    }
    QCOMPARE(axes, (QStringList{"回数 0-2 by 1", "件数 0-10 by 2"}));

    // A file entry opens its folder, once it is there again; a database entry has none.
    history->OpenEntry(0);
    QCOMPARE(window_->StatusText(),
             "\r\n" + dir_->path().toStdString() + "/data を開けません (No such file or directory)");
    QVERIFY(QDir(dir_->path()).mkdir("data"));
    history->OpenEntry(0);
    history->OpenEntry(1);
    QCOMPARE(opened_, QStringList{dir_->path() + "/data"});

    auto* terminal = history->findChild<QComboBox*>("cboTerminal");
    QCOMPARE(terminal->count(), 3);  // all, T01, T02
    terminal->setCurrentIndex(terminal->findText("T02"));
    QCOMPARE(history->RowCount(), 1);
    terminal->setCurrentIndex(0);
    history->findChild<QDateEdit*>("dtpFrom")->setDate(QDate::currentDate().addDays(-41));
    QCOMPARE(history->RowCount(), 4);
    history->findChild<QDateEdit*>("dtpTo")->setDate(QDate::currentDate().addDays(-2));
    QCOMPARE(history->RowCount(), 1);

    const QString csv = dir_->path() + "/export.csv";
    QVERIFY(history->ExportCsv(csv));
    const QByteArray bytes = FileBytes(csv);
    QVERIFY(bytes.startsWith("\xEF\xBB\xBFstarted,ended,"));
    QCOMPARE(bytes.count("\r\n"), 2);
    QVERIFY(bytes.contains("/old/T01.txt"));
    const QString pipe = dir_->path() + "/pipe.csv";
    QCOMPARE(::mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
    QVERIFY(!history->ExportCsv(pipe));  // at once, not waiting for a reader
    auto boxText = [](QWidget* window) {
        auto* box = window->findChild<QMessageBox*>("MessageBox");
        return box != nullptr ? box->windowTitle() + "|" + box->text() : QString();
    };
    QCOMPARE(boxText(history), "Gathra|CSV出力ｴﾗｰ : " + pipe + " : 通常のﾌｧｲﾙではありません");

    // A journal that is not Gathra's is never shown as one without uploads: the window says why.
    const QString foreign = dir_->path() + "/foreign.sqlite";
    QCOMPARE(std::system(("sqlite3 " + foreign + " 'CREATE VIEW uploads AS SELECT 1 AS id'").toLocal8Bit()),
             0);
    HistoryWindow unread(foreign.toStdString(), {});
    const QString reason = foreign + " : Gathraの履歴ﾌｧｲﾙにない定義があります (view uploads)";
    QCOMPARE(unread.findChild<QLabel*>("lblError")->text(), "履歴ﾌｧｲﾙ読み込みｴﾗｰ : " + reason);
    QVERIFY(!unread.findChild<QLabel*>("lblError")->isHidden() && unread.RowCount() == 0);
    QVERIFY(!unread.ExportCsv(csv));
    QCOMPARE(boxText(&unread), "Gathra|CSV出力ｴﾗｰ : " + csv + " : " + reason);
}

// A refresh when an upload ends while the window is open; Qt's own file dialog, as "CSV出力" opens it, in
// Japanese like the windows whatever the locale: its buttons are read by their text.
void HistoryWindowTest::refreshesAndItsExportDialogSpeaksJapanese() {
    QVERIFY(InstallQtJapanese());
    HistoryWindow* history = OpenFromMainWindow();
    QVERIFY(history != nullptr);
    QCOMPARE(history->RowCount(), 3);
    engine_ = [](UploadContext& context) {
        context.UploadEnded(Report(0, "T09", UploadOutcome::DeviceGone, "/data/T09.txt"));
    };
    QTest::mouseClick(window_->findChild<QPushButton*>("cmdComm0"), Qt::LeftButton);
    QTRY_COMPARE(history->RowCount(), 4);
    QCOMPARE(history->EntryAt(0)->Upload.TerminalId, std::string("T09"));

    QStringList buttons;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&buttons] {
        if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
            for (const QPushButton* button : dialog->findChildren<QPushButton*>()) {
                buttons << button->text();
            }
            dialog->reject();
        }
    });
    poll.start(20);
    QTest::mouseClick(history->findChild<QPushButton*>("cmdCsv"), Qt::LeftButton);
    QVERIFY2(buttons.contains(QStringLiteral("キャンセル")), qPrintable(buttons.join(" | ")));
}

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
