// The history window opening on a journal of 100,000 entries (the last 29 days, so all of them are in
// its default range), chart included: from the click on the main window's button to the window's first
// paint. Runs with whatever Qt platform is set (QT_QPA_PLATFORM=offscreen, or Xvfb).
//
//   bench_history_view [runs (default 5)]
#include <sys/resource.h>

#include <QApplication>
#include <QChartView>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "journal_fill.h"
#include "shell/history_window.h"
#include "shell/main_window.h"

namespace {

// Notes when each watched widget (the window, the table's rows, the chart) has painted for the first time.
class FirstPaint : public QObject {
public:
    void Watch(QObject* widget) {
        widget->installEventFilter(this);
        waiting.insert(widget);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && waiting.erase(watched) > 0 && waiting.empty()) {
            ms = timer.nsecsElapsed() / 1e6;
        }
        return QObject::eventFilter(watched, event);
    }
    bool Painted() const { return waiting.empty(); }
    QElapsedTimer timer;
    std::set<QObject*> waiting;
    double ms = 0;
};

// Processor time of the whole process so far (the machine may be shared, so wall time alone misleads).
double ProcessorMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    QTemporaryDir folder;
    if (!FillJournal(UploadJournal::PathIn(folder.path().toStdString()), 100000)) {
        std::printf("could not fill the journal\n");
        return 1;
    }
    MainWindow::Services services = MainWindow::DefaultServices();
    services.BindLink = [](const std::string&) -> const LinkApi* { return nullptr; };
    services.LoadSettings = [](SettingsRecord&, const PlatformFacts&, OperatorView&) {};  // no settings box
    MainWindow window(services);
    PlatformFacts facts;
    facts.ProgramFolder = folder.path().toStdString();
    facts.ExecutableName = "Gathra";
    window.Load(facts);
    window.StartUpTimer().stop();
    window.show();
    QTest::qWait(200);
    auto* button = window.findChild<QPushButton*>("cmdHistory");
    for (int run = 1; run <= runs; ++run) {
        FirstPaint paint;
        const double cpuBefore = ProcessorMs();
        paint.timer.start();
        QTest::mouseClick(button, Qt::LeftButton);
        HistoryWindow* history = window.OpenHistoryWindow();
        const double built = paint.timer.nsecsElapsed() / 1e6;
        paint.Watch(history);
        paint.Watch(history->findChild<QTableView*>("tblHistory")->viewport());
        paint.Watch(history->findChild<QChartView*>("chtDays")->viewport());
        while (!paint.Painted() && paint.timer.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        const double cpu = ProcessorMs() - cpuBefore;
        std::printf(
            "history window, %d rows, run %d: %.1f ms from the click to the painted window (%.1f ms to "
            "build and read), %.1f ms processor\n",
            history->RowCount(), run, paint.ms, built, cpu);
        history->close();
        QCoreApplication::processEvents();
        QTest::qWait(100);
    }
    return 0;
}
