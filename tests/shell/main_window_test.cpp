// The main window: running states, status text, start-up timer, start/stop/close while an upload runs,
// double-click behaviours and the modal message box. The upload engine is replaced by scripted runs on
// the upload thread, which see the window only as the real engine does: through the run flags and the
// operator view.

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "output/workbook/workbook_store.h"
#include "shell/about_dialog.h"
#include "shell/main_window.h"
#include "shell/settings_dialog.h"
#include "shell_test_support.h"

namespace {

std::atomic<int> g_closeCalls = 0;
std::thread::id g_closeThread;
int32_t CountingClose() {
    ++g_closeCalls;
    g_closeThread = std::this_thread::get_id();
    return 1;
}

// Waits on the upload thread (never on the window's) until `until` holds or the run was told to stop.
void WaitOnEngine(const std::function<bool()>& until, UploadContext& context) {
    for (int i = 0; i < 60000 && !until() && context.Run.IsRunning; ++i) {
        QThread::msleep(1);
    }
}

// What the window shows of its running state.
struct Look {
    bool Start = false;
    bool Stop = false;
    bool Red = false;
    bool Cyan = false;
    bool Setting = false;
    bool Info = false;
    bool operator==(const Look&) const = default;
};
const Look kIdle{true, false, true, false, true, true};
const Look kRunning{false, true, false, true, false, false};

char* DescribeLook(const Look& look) {
    return QTest::toString(QStringLiteral("start=%1 stop=%2 red=%3 cyan=%4 setting=%5 info=%6")
                               .arg(look.Start)
                               .arg(look.Stop)
                               .arg(look.Red)
                               .arg(look.Cyan)
                               .arg(look.Setting)
                               .arg(look.Info));
}

// Counts the paint events of a widget while `active` is set.
class PaintCounter : public QObject {
public:
    PaintCounter(int* paints, const std::atomic<bool>* active) : paints_(paints), active_(active) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && *active_) {
            ++*paints_;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    int* paints_;
    const std::atomic<bool>* active_;
};

}  // namespace

namespace QTest {
template <>
char* toString(const Look& look) {
    return DescribeLook(look);
}
}  // namespace QTest
Q_DECLARE_METATYPE(Look)

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runningState_data();
    void runningState();
    void statusText_data();
    void statusText();
    void startUpTimer_data();
    void startUpTimer();
    void startByHandBeforeTimer_data();
    void startByHandBeforeTimer();
    void timerWaitsForOpenDialog_data();
    void timerWaitsForOpenDialog();
    void stopChangesNoControlUntilEngineEnds();
    void closeDuringRunWaitsForTheRun();
    void secondCloseAfterRunEndsProgram();
    void closeWithoutLinkLibraryEnds();
    void fileDoubleClick_data();
    void fileDoubleClick();
    void backgroundDoubleClick_data();
    void backgroundDoubleClick();
    void messageBoxIsModalUntilAcknowledged();
    void engineMessageHoldsOnlyTheEngine_data();
    void engineMessageHoldsOnlyTheEngine();
    void engineWorksOnItsOwnThreadAndSettings();
    void windowPaintsWhileWorkbookIsStored();
    void startUpSizeAndFolder();
    void busyPointerBalanced();

private:
    // Builds and loads the window on a fresh program folder.
    void MakeWindow(const std::function<void(SettingsRecord&)>& tweak = {}, bool withLink = true);
    Look LookOf() const;
    // A scripted upload run: waits until IsRunning is False; while holdStopping_ is set it then stays in
    // its stopping phase (the engine's way to its next check point); then it ends as the engine does.
    void RunUntilStopped(UploadContext& context);
    // Waits for the run under way to end.
    bool RunEnded();

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<MainWindow> window_;
    std::function<void(UploadContext&)> engine_;
    std::atomic<int> engineEntries_ = 0;
    std::atomic<int> engineDepth_ = 0;
    std::atomic<int> maxEngineDepth_ = 0;
    std::atomic<bool> release_ = false;       // lets a scripted engine go on
    std::atomic<bool> holdStopping_ = false;  // keeps RunUntilStopped in its stopping phase
    std::atomic<bool> stoppingReached_ = false;
    QStringList opened_;
    bool openerMissing_ = false;  // OpenFile fails, as without xdg-open
    LinkApi link_;
};

void MainWindowTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    engine_ = nullptr;
    release_ = false;
    holdStopping_ = false;
    stoppingReached_ = false;
    engineEntries_ = 0;
    engineDepth_ = 0;
    maxEngineDepth_ = 0;
    opened_.clear();
    openerMissing_ = false;
    g_closeCalls = 0;
    g_closeThread = {};
    link_ = LinkApi{};
    link_.CloseIrCom = CountingClose;
}

void MainWindowTest::cleanup() {
    window_.reset();
}

void MainWindowTest::MakeWindow(const std::function<void(SettingsRecord&)>& tweak, bool withLink) {
    WriteSettings(dir_->path(), dir_->path(), tweak);
    MainWindow::Services services = MainWindow::DefaultServices();
    services.RunUpload = [this](UploadContext& context) {
        ++engineEntries_;
        maxEngineDepth_ = std::max(maxEngineDepth_.load(), ++engineDepth_);
        if (engine_) {
            engine_(context);
        } else {
            RunUntilStopped(context);
        }
        --engineDepth_;
    };
    services.BindLink = [this, withLink](const std::string&) -> const LinkApi* {
        return withLink ? &link_ : nullptr;
    };
    services.OpenFile = [this](const QString& path) {
        opened_ << path;
        return !openerMissing_;
    };
    window_ = std::make_unique<MainWindow>(services);
    window_->Load(FactsFor(dir_->path()));
    window_->show();
}

Look MainWindowTest::LookOf() const {
    auto button = [this](const char* name) { return window_->findChild<QPushButton*>(name)->isEnabled(); };
    auto shown = [this](const char* name) { return !window_->findChild<QWidget*>(name)->isHidden(); };
    return Look{button("cmdComm0"), button("cmdComm1"),   shown("Status0"),
                shown("Status1"),   button("cmdSetting"), button("cmdInfo")};
}

void MainWindowTest::RunUntilStopped(UploadContext& context) {
    WaitOnEngine([] { return false; }, context);
    stoppingReached_ = true;
    for (int i = 0; i < 60000 && holdStopping_; ++i) {
        QThread::msleep(1);
    }
    context.View.AppendStatus("通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました");
    context.Run.IsRunning = false;
    context.View.SetRunning(false);
}

bool MainWindowTest::RunEnded() {
    return QTest::qWaitFor([this] { return !window_->UploadUnderWay(); }, 20000);
}

void MainWindowTest::runningState_data() {
    QTest::addColumn<QList<bool>>("states");
    QTest::addColumn<Look>("expected");
    QTest::newRow("idle") << QList<bool>{false} << kIdle;
    QTest::newRow("running") << QList<bool>{true} << kRunning;
    QTest::newRow("running then idle") << QList<bool>{true, false} << kIdle;
    QTest::newRow("idle then running") << QList<bool>{false, true} << kRunning;
}

void MainWindowTest::runningState() {
    QFETCH(QList<bool>, states);
    QFETCH(Look, expected);
    MakeWindow();
    for (bool running : states) {
        window_->SetRunning(running);
    }
    QCOMPARE(LookOf(), expected);
}

void MainWindowTest::statusText_data() {
    // Each call appends (true) or replaces (false).
    QTest::addColumn<QList<bool>>("appends");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("replace") << QList<bool>{false} << QStringList{"COM1"} << "COM1";
    QTest::newRow("append lines") << QList<bool>{false, true, true} << QStringList{"COM1", "ｵｰﾌﾟﾝ成功", "x"}
                                  << "COM1\r\nｵｰﾌﾟﾝ成功\r\nx";
    QTest::newRow("replace after appends")
        << QList<bool>{false, true, true, false} << QStringList{"a", "b", "c", "d"} << "d";
    QTest::newRow("append to empty") << QList<bool>{true} << QStringList{"a"} << "\r\na";
}

void MainWindowTest::statusText() {
    QFETCH(QList<bool>, appends);
    QFETCH(QStringList, texts);
    QFETCH(QString, expected);
    MakeWindow();
    for (int i = 0; i < appends.size(); ++i) {
        if (appends[i]) {
            window_->AppendStatus(texts[i].toStdString());
        } else {
            window_->ReplaceStatus(texts[i].toStdString());
        }
    }
    QCOMPARE(QString::fromStdString(window_->StatusText()), expected);
    // The label shows the same lines.
    QCOMPARE(window_->findChild<QLabel*>("lblStatus")->text(), QString(expected).replace("\r\n", "\n"));
}

void MainWindowTest::startUpTimer_data() {
    QTest::addColumn<int>("autoStart");
    QTest::newRow("no automatic start") << 0;
    QTest::newRow("automatic start") << 1;
}

void MainWindowTest::startUpTimer() {
    QFETCH(int, autoStart);
    std::atomic<bool> flagsAtEntry = false;
    engine_ = [&](UploadContext& context) {
        flagsAtEntry = context.Run.IsRunning && !context.Run.StopRequested;
        WaitOnEngine([this] { return release_.load(); }, context);
        context.Run.IsRunning = false;  // one upload, then the engine ends by itself
        context.View.SetRunning(false);
    };
    MakeWindow([autoStart](SettingsRecord& r) { r.AutoStart = static_cast<Switch>(autoStart); });
    // Before the timer: the designed state, every button enabled.
    QCOMPARE(LookOf().Start, true);
    QCOMPARE(LookOf().Stop, true);
    QVERIFY(window_->StartUpTimer().isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->StartUpTimer().isActive(), 10000);
    if (autoStart == 1) {
        QTRY_COMPARE_WITH_TIMEOUT(engineEntries_.load(), 1, 10000);
        QCOMPARE(LookOf(), kRunning);  // as the engine found it
        QVERIFY(flagsAtEntry);
    }
    release_ = true;
    QVERIFY(RunEnded());
    QCOMPARE(engineEntries_.load(), autoStart);
    QCOMPARE(LookOf(), kIdle);
    QVERIFY(!window_->Run().IsRunning);
}

void MainWindowTest::startByHandBeforeTimer_data() {
    startUpTimer_data();
}

void MainWindowTest::startByHandBeforeTimer() {
    QFETCH(int, autoStart);
    engine_ = [this](UploadContext& context) {
        WaitOnEngine([this] { return release_.load(); }, context);
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    MakeWindow([autoStart](SettingsRecord& r) { r.AutoStart = static_cast<Switch>(autoStart); });
    QTest::mouseClick(window_->findChild<QPushButton*>("cmdComm0"), Qt::LeftButton);
    // The start-up timer fires under the upload started by hand.
    QTRY_VERIFY_WITH_TIMEOUT(!window_->StartUpTimer().isActive(), 10000);
    QTest::qWait(50);
    QCOMPARE(LookOf(), kRunning);       // the timer did not put the window into its idle look
    QVERIFY(window_->Run().IsRunning);  // nor stop the upload under way
    release_ = true;
    QVERIFY(RunEnded());
    QCOMPARE(engineEntries_.load(), 1);   // no second upload run from the timer
    QCOMPARE(maxEngineDepth_.load(), 1);  // and none at the same time
    QCOMPARE(LookOf(), kIdle);
}

void MainWindowTest::timerWaitsForOpenDialog_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("settings dialog") << "cmdSetting";
    QTest::newRow("version box") << "cmdInfo";
}

void MainWindowTest::timerWaitsForOpenDialog() {
    QFETCH(QString, button);
    engine_ = [this](UploadContext& context) {
        WaitOnEngine([this] { return release_.load(); }, context);
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    MakeWindow([](SettingsRecord& r) { r.AutoStart = Switch::On; });
    QTest::mouseClick(window_->findChild<QPushButton*>(button), Qt::LeftButton);
    QVERIFY(!window_->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->StartUpTimer().isActive(), 10000);
    QTest::qWait(100);
    QCOMPARE(engineEntries_.load(), 0);  // no upload under the open dialog
    QDialog* dialog = button == "cmdSetting" ? static_cast<QDialog*>(window_->OpenSettingsDialog())
                                             : static_cast<QDialog*>(window_->OpenAboutDialog());
    QVERIFY(dialog != nullptr);
    dialog->reject();
    QTRY_COMPARE_WITH_TIMEOUT(engineEntries_.load(), 1, 10000);
    QVERIFY(window_->isEnabled());  // the stop button can be reached
    release_ = true;
    QVERIFY(RunEnded());
    QCOMPARE(LookOf(), kIdle);
}

void MainWindowTest::stopChangesNoControlUntilEngineEnds() {
    holdStopping_ = true;
    MakeWindow();
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QTRY_COMPARE_WITH_TIMEOUT(engineEntries_.load(), 1, 10000);
    QTest::mouseClick(window_->findChild<QPushButton*>("cmdComm1"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(stoppingReached_.load(), 10000);
    for (int i = 0; i < 10; ++i) {
        QTest::qWait(10);
        QCOMPARE(LookOf(), kRunning);
    }
    QVERIFY(window_->Run().StopRequested);
    holdStopping_ = false;
    QVERIFY(RunEnded());
    QCOMPARE(LookOf(), kIdle);
    QVERIFY(QString::fromStdString(window_->StatusText()).endsWith("通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"));
}

void MainWindowTest::closeDuringRunWaitsForTheRun() {
    holdStopping_ = true;
    MakeWindow();
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QTRY_COMPARE_WITH_TIMEOUT(engineEntries_.load(), 1, 10000);
    QVERIFY(!window_->close());  // the first close only stops the upload
    QTRY_VERIFY_WITH_TIMEOUT(stoppingReached_.load(), 10000);
    QVERIFY(!window_->close());  // stopping: flag False, run not yet ended; the close waits for it
    QTest::qWait(50);
    QCOMPARE(g_closeCalls.load(), 0);
    QCOMPARE(spy.count(), 0);
    QCOMPARE(window_->Run().StopRequested, true);
    holdStopping_ = false;
    // The run has returned: the waiting close has now ended the program.
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 10000);
    QCOMPARE(g_closeCalls.load(), 1);
    QVERIFY(!window_->isVisible());
}

void MainWindowTest::secondCloseAfterRunEndsProgram() {
    MakeWindow();
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QTRY_COMPARE_WITH_TIMEOUT(engineEntries_.load(), 1, 10000);
    QVERIFY(!window_->close());
    QVERIFY(RunEnded());
    QCOMPARE(spy.count(), 0);
    QVERIFY(window_->isVisible());
    QCOMPARE(LookOf(), kIdle);
    QCOMPARE(g_closeCalls.load(), 0);

    QVERIFY(window_->close());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(g_closeCalls.load(), 1);
    // Only an upload thread calls the link library, never the window's thread.
    QVERIFY(g_closeThread != std::this_thread::get_id());
}

void MainWindowTest::closeWithoutLinkLibraryEnds() {
    MakeWindow({}, /*withLink=*/false);
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    QVERIFY(window_->close());
    QCOMPARE(spy.count(), 1);
}

// Paths below a temporary root (the file exists unless the row says otherwise), but for the root folder.
void MainWindowTest::fileDoubleClick_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("tip");     // the file label's tooltip: the full path
    QTest::addColumn<QString>("cannot");  // the reason it cannot be opened
    const QString noOpener = QStringLiteral("ﾌｧｲﾙを開くﾌﾟﾛｸﾞﾗﾑ xdg-open がありません");
    QTest::newRow("text file") << "/T01.txt"
                               << "/data/out"
                               << "/data/out/T01.txt"
                               << "/data/out/T01.txt" << noOpener;
    QTest::newRow("folder with separator") << "/T01.txt"
                                           << "/data/out/"
                                           << "/data/out/T01.txt"
                                           << "/data/out/T01.txt" << noOpener;
    QTest::newRow("root folder") << "/T01.txt"
                                 << "/"
                                 << ""
                                 << "/T01.txt"
                                 << "No such file or directory";
    QTest::newRow("folder with blank") << "/ﾃｽﾄ 1.txt"
                                       << "/data/my out"
                                       << "/data/my out/ﾃｽﾄ 1.txt"
                                       << "/data/my out/ﾃｽﾄ 1.txt" << noOpener;
    // A file gone since the upload: said at once, nothing is started.
    QTest::newRow("file gone") << "/gone.txt"
                               << "/data"
                               << ""
                               << "/data/gone.txt"
                               << "No such file or directory";
    QTest::newRow("workbook") << "/T01.xls"
                              << "/data"
                              << ""
                              << "/data/T01.xls"
                              << "";
    QTest::newRow("upper-case extension") << "/T01.TXT"
                                          << "/data"
                                          << ""
                                          << "/data/T01.TXT"
                                          << "";
    QTest::newRow("database and table") << "/data/db.mdb\r\nﾃｰﾌﾞﾙ : T01"
                                        << "/data"
                                        << ""
                                        << "/data/db.mdb\nﾃｰﾌﾞﾙ : T01"
                                        << "";
    QTest::newRow("empty label") << ""
                                 << "/data"
                                 << ""
                                 << ""
                                 << "";
}

void MainWindowTest::fileDoubleClick() {
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QFETCH(QString, opened);
    QFETCH(QString, tip);
    QFETCH(QString, cannot);
    QTemporaryDir root;
    const bool database = file.contains('\n');
    if (!opened.isEmpty()) {
        QVERIFY(QDir().mkpath(root.path() + folder));
        QVERIFY(QFile(root.path() + opened).open(QIODevice::WriteOnly));
        opened.prepend(root.path());
    }
    if (folder != "/") {
        folder.prepend(root.path());
        tip.prepend(tip.isEmpty() || database ? "" : root.path());
    }
    MakeWindow();
    window_->SetFileLabel(file.toStdString());
    window_->ShowSaveFolder(folder.toStdString());
    auto* label = window_->findChild<QLabel*>("lblFile");
    QCOMPARE(label->toolTip(), tip);
    QTest::mouseDClick(label, Qt::LeftButton);
    QCOMPARE(opened_, opened.isEmpty() ? QStringList{} : QStringList{opened});
    QVERIFY(!(window_->windowState() & Qt::WindowMinimized));
    // Without a program that opens files (or without the file), the double-click says so in a status line.
    openerMissing_ = true;
    QTest::mouseDClick(label, Qt::LeftButton);
    const std::string failed = "\r\n" + tip.toStdString() + " を開けません (" + cannot.toStdString() + ")";
    // A file that is gone is said at the first double-click already.
    const std::string said = cannot.isEmpty() ? "" : opened.isEmpty() ? failed + failed : failed;
    QCOMPARE(window_->StatusText(), said);
}

void MainWindowTest::backgroundDoubleClick_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("minimised");
    QTest::newRow("window background") << "frmMain" << true;
    QTest::newRow("idle lamp") << "Status0" << true;
    QTest::newRow("running lamp") << "Status1" << true;
    QTest::newRow("folder label") << "lblFolder" << false;
    QTest::newRow("status label") << "lblStatus" << false;
    QTest::newRow("red label") << "Label3" << false;
    QTest::newRow("progress bar") << "Progbar" << false;
}

void MainWindowTest::backgroundDoubleClick() {
    QFETCH(QString, target);
    QFETCH(bool, minimised);
    MakeWindow();
    QWidget* widget = target == "frmMain" ? window_.get() : window_->findChild<QWidget*>(target);
    QVERIFY(widget != nullptr);
    QTest::mouseDClick(widget, Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(bool(window_->windowState() & Qt::WindowMinimized), minimised);
}

void MainWindowTest::messageBoxIsModalUntilAcknowledged() {
    MakeWindow();
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool modal = false;
    Qt::TextFormat format = Qt::AutoText;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box != nullptr);
        title = box->windowTitle();
        text = box->text();
        format = box->textFormat();
        icon = box->icon();
        modal = box->isModal();
        QCOMPARE(box->buttons().size(), 1);
        box->button(QMessageBox::Ok)->click();
    });
    // A value quoted from a record, with markup and an escape sequence: shown as typed.
    window_->ShowMessage(
        "エラー！！", "保存ﾌｫﾙﾀﾞが存在しません\r\n再設定を行ってください！！\r\n<b>T01</b><img src=x>\x1b[2J",
        MessageIcon::Critical);
    QCOMPARE(title, QString("エラー！！"));
    QCOMPARE(text,
             QString("保存ﾌｫﾙﾀﾞが存在しません\n再設定を行ってください！！\n<b>T01</b><img src=x>\\x1b[2J"));
    QCOMPARE(format, Qt::PlainText);
    QCOMPARE(icon, QMessageBox::Critical);
    QVERIFY(modal);
}

void MainWindowTest::engineMessageHoldsOnlyTheEngine_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("runGoesOn");  // the engine went on with IsRunning still True
    QTest::addColumn<bool>("programEnds");
    QTest::newRow("operator acknowledges") << "ok" << true << false;
    QTest::newRow("window closed") << "close" << false << false;
    QTest::newRow("SIGTERM") << "quit" << false << true;
}

// A message box of the engine waits for the operator on the upload thread only: the window goes on
// showing what the engine reported before it. A close or SIGTERM answers the box and stops the run.
void MainWindowTest::engineMessageHoldsOnlyTheEngine() {
    QFETCH(QString, answer);
    QFETCH(bool, runGoesOn);
    QFETCH(bool, programEnds);
    std::atomic<bool> answered = false;
    std::atomic<bool> runningAfterBox = false;
    engine_ = [&](UploadContext& context) {
        context.View.ReplaceStatus("COM1");
        context.View.ShowMessage("Gathra", "ｴﾗｰ", MessageIcon::Critical);
        answered = true;
        runningAfterBox = context.Run.IsRunning.load();
        context.View.AppendStatus("異常終了");
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    MakeWindow();
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(QString::fromStdString(window_->StatusText()), QString("COM1"), 5000);
    QTest::qWait(50);
    QVERIFY(!answered);
    QCOMPARE(LookOf(), kRunning);
    if (answer == "ok") {
        qobject_cast<QMessageBox*>(QApplication::activeModalWidget())->button(QMessageBox::Ok)->click();
    } else if (answer == "close") {
        QVERIFY(!window_->close());
    } else {
        window_->RequestQuit();
    }
    QVERIFY(RunEnded());
    QVERIFY(answered);
    QCOMPARE(runningAfterBox.load(), runGoesOn);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(QString::fromStdString(window_->StatusText()), QString("COM1\r\n異常終了"));
    QCOMPARE(LookOf(), kIdle);
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), programEnds ? 1 : 0, 5000);
}

void MainWindowTest::engineWorksOnItsOwnThreadAndSettings() {
    std::thread::id engineThread;
    const SettingsRecord* engineSettings = nullptr;
    engine_ = [&](UploadContext& context) {
        engineThread = std::this_thread::get_id();
        engineSettings = &context.Settings;
        context.Settings.SaveFolder = "/trimmed";  // as the engine trims it, in its own copy
        context.View.SetFileLabel("/T01.txt");
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    MakeWindow();
    const std::string folder = window_->Settings().SaveFolder;
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QVERIFY(RunEnded());
    QVERIFY(engineThread != std::thread::id());
    QVERIFY(engineThread != std::this_thread::get_id());
    QVERIFY(engineSettings != &window_->Settings());
    QCOMPARE(window_->Settings().SaveFolder, folder);
    QCOMPARE(window_->FileLabel(), std::string("/T01.txt"));
}

// The largest upload a workbook takes, stored by the real spreadsheet writer from the upload thread:
// meanwhile the window's timers fire and it paints.
void MainWindowTest::windowPaintsWhileWorkbookIsStored() {
    const int records = 32767;
    std::atomic<bool> storing = false;
    std::atomic<bool> stored = false;
    engine_ = [&](UploadContext& context) {
        {
            std::ofstream back(context.Settings.BackFilePath, std::ios::binary | std::ios::trunc);
            for (int i = 0; i < records; ++i) {
                back << "T01," << i << ",ｶﾅ,123,456,789\r\n";
            }
        }
        context.Run.OutputPath = dir_->filePath("T01.xls").toStdString();
        storing = true;
        stored = WorkbookStore(WorkbookStore::Format::Xls).Save(context.Settings, context.Run, context.View);
        storing = false;
        context.Run.IsRunning = false;
        context.View.SetRunning(false);
    };
    MakeWindow();
    int ticks = 0;
    int paints = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (storing) {
            ++ticks;
            window_->update();
        }
    });
    ticker.start(5);
    PaintCounter counter(&paints, &storing);
    window_->installEventFilter(&counter);
    window_->StartUpTimer().stop();
    window_->StartClicked();
    QVERIFY(QTest::qWaitFor([&] { return !window_->UploadUnderWay(); }, 120000));
    QVERIFY(stored);
    QVERIFY(QFileInfo(dir_->filePath("T01.xls")).size() > 32767 * 10);
    QVERIFY2(ticks > 0, "the window's timers did not fire during the store");
    QVERIFY2(paints > 0, "the window did not paint during the store");
}

void MainWindowTest::startUpSizeAndFolder() {
    const QString out = dir_->path();
    MakeWindow([](SettingsRecord& r) { r.StartUpSize = 1; });
    QVERIFY(window_->windowState() & Qt::WindowMinimized);
    QCOMPARE(window_->findChild<QLabel*>("lblFolder")->text(), out);
    QCOMPARE(window_->windowTitle(), QString("GATHRA for Windows(CSV/TXT/XLS/MDB/MAIL対応)"));
    QCOMPARE(window_->size(), QSize(673, 386));
}

void MainWindowTest::busyPointerBalanced() {
    MakeWindow();
    window_->SetBusyPointer(true);
    window_->SetBusyPointer(true);
    QVERIFY(QApplication::overrideCursor() != nullptr);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    window_->SetBusyPointer(false);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
