// The main window: running states, status text, start-up timer, start/stop/close while an upload runs,
// double-click behaviours and the modal message box. The upload engine is replaced by scripted runs that
// yield through the window exactly as the real engine does.

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <memory>

#include "shell/settings_dialog.h"
#include "shell/about_dialog.h"
#include "shell/main_window.h"
#include "shell_test_support.h"

namespace {

int g_closeCalls = 0;
int32_t CountingClose() {
    ++g_closeCalls;
    return 1;
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
    void startUpSizeAndFolder();
    void busyPointerBalanced();

private:
    // Builds and loads the window on a fresh program folder.
    void MakeWindow(const std::function<void(SettingsRecord&)>& tweak = {}, bool withLink = true);
    Look LookOf() const;
    // A scripted upload run: yields until IsRunning is False, then `unwind` more yields (the engine's way
    // to its next check point), then ends as the engine does.
    void RunUntilStopped(UploadContext& context, int unwind = 0);

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<MainWindow> window_;
    std::function<void(UploadContext&)> engine_;
    std::function<void(int)> onYield_;
    std::function<void()> onStopping_;
    int engineEntries_ = 0;
    int engineDepth_ = 0;
    int maxEngineDepth_ = 0;
    QStringList opened_;
    LinkApi link_;
};

void MainWindowTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    engine_ = nullptr;
    onYield_ = nullptr;
    onStopping_ = nullptr;
    engineEntries_ = 0;
    engineDepth_ = 0;
    maxEngineDepth_ = 0;
    opened_.clear();
    g_closeCalls = 0;
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
        ++engineDepth_;
        maxEngineDepth_ = std::max(maxEngineDepth_, engineDepth_);
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
        return true;
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

void MainWindowTest::RunUntilStopped(UploadContext& context, int unwind) {
    int yields = 0;
    while (context.Run.IsRunning && yields < 50000) {
        context.View.ProcessPendingEvents();
        QThread::msleep(1);
        ++yields;
        if (onYield_) {
            onYield_(yields);
        }
    }
    for (int i = 0; i < unwind; ++i) {
        context.View.ProcessPendingEvents();
        if (onStopping_) {
            onStopping_();
        }
    }
    context.View.ShowStatus(1, "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました");
    context.Run.IsRunning = false;
    context.View.SetRunningState(0);
}

void MainWindowTest::runningState_data() {
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<Look>("expected");
    QTest::newRow("idle") << QList<int>{0} << kIdle;
    QTest::newRow("running") << QList<int>{1} << kRunning;
    QTest::newRow("running then idle") << QList<int>{1, 0} << kIdle;
    QTest::newRow("idle then running") << QList<int>{0, 1} << kRunning;
    QTest::newRow("other value changes nothing") << QList<int>{1, 2} << kRunning;
}

void MainWindowTest::runningState() {
    QFETCH(QList<int>, states);
    QFETCH(Look, expected);
    MakeWindow();
    for (int state : states) {
        window_->SetRunningState(static_cast<int16_t>(state));
    }
    QCOMPARE(LookOf(), expected);
}

void MainWindowTest::statusText_data() {
    QTest::addColumn<QList<int>>("modes");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("replace") << QList<int>{0} << QStringList{"COM1"} << "COM1";
    QTest::newRow("append lines") << QList<int>{0, 1, 1} << QStringList{"COM1", "ｵｰﾌﾟﾝ成功", "x"}
                                  << "COM1\r\nｵｰﾌﾟﾝ成功\r\nx";
    QTest::newRow("replace after appends")
        << QList<int>{0, 1, 1, 0} << QStringList{"a", "b", "c", "d"} << "d";
    QTest::newRow("mode 2 changes nothing") << QList<int>{0, 2, -1} << QStringList{"a", "b", "c"} << "a";
    QTest::newRow("append to empty") << QList<int>{1} << QStringList{"a"} << "\r\na";
}

void MainWindowTest::statusText() {
    QFETCH(QList<int>, modes);
    QFETCH(QStringList, texts);
    QFETCH(QString, expected);
    MakeWindow();
    for (int i = 0; i < modes.size(); ++i) {
        window_->ShowStatus(static_cast<int16_t>(modes[i]), texts[i].toStdString());
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
    Look atEntry;
    bool flagsAtEntry = false;
    engine_ = [&](UploadContext& context) {
        atEntry = LookOf();
        flagsAtEntry = context.Run.IsRunning && !context.Run.StopRequested;
        context.Run.IsRunning = false;  // one upload, then the engine ends by itself
        context.View.SetRunningState(0);
    };
    MakeWindow([autoStart](SettingsRecord& r) { r.AutoStart = static_cast<int16_t>(autoStart); });
    // Before the timer: the designed state, every button enabled.
    QCOMPARE(LookOf().Start, true);
    QCOMPARE(LookOf().Stop, true);
    QVERIFY(window_->StartUpTimer().isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->StartUpTimer().isActive(), 10000);
    QCOMPARE(engineEntries_, autoStart);
    if (autoStart == 1) {
        QCOMPARE(atEntry, kRunning);
        QVERIFY(flagsAtEntry);
    }
    QCOMPARE(LookOf(), kIdle);
    QVERIFY(!window_->Run().IsRunning);
}

void MainWindowTest::startByHandBeforeTimer_data() {
    startUpTimer_data();
}

void MainWindowTest::startByHandBeforeTimer() {
    QFETCH(int, autoStart);
    Look afterTimer;
    bool runningAfterTimer = false;
    engine_ = [&](UploadContext& context) {
        // Serve events until the start-up timer has fired under this upload, then a little longer.
        for (int i = 0; i < 20000 && window_->StartUpTimer().isActive(); ++i) {
            context.View.ProcessPendingEvents();
            QThread::msleep(1);
        }
        for (int i = 0; i < 20; ++i) {
            context.View.ProcessPendingEvents();
        }
        afterTimer = LookOf();
        runningAfterTimer = context.Run.IsRunning;
        context.Run.IsRunning = false;
        context.View.SetRunningState(0);
    };
    MakeWindow([autoStart](SettingsRecord& r) { r.AutoStart = static_cast<int16_t>(autoStart); });
    QTest::mouseClick(window_->findChild<QPushButton*>("cmdComm0"), Qt::LeftButton);
    QVERIFY(!window_->StartUpTimer().isActive());
    QCOMPARE(engineEntries_, 1);     // no second upload run from the timer
    QCOMPARE(maxEngineDepth_, 1);    // and none nested
    QCOMPARE(afterTimer, kRunning);  // the timer did not put the window into its idle look
    QVERIFY(runningAfterTimer);      // nor stop the upload under way
    QCOMPARE(LookOf(), kIdle);
}

void MainWindowTest::timerWaitsForOpenDialog_data() {
    QTest::addColumn<QString>("button");
    QTest::newRow("settings dialog") << "cmdSetting";
    QTest::newRow("version box") << "cmdInfo";
}

void MainWindowTest::timerWaitsForOpenDialog() {
    QFETCH(QString, button);
    bool enabledInRun = false;
    engine_ = [&](UploadContext& context) {
        enabledInRun = window_->isEnabled();  // the stop button can be reached
        context.Run.IsRunning = false;
        context.View.SetRunningState(0);
    };
    MakeWindow([](SettingsRecord& r) { r.AutoStart = 1; });
    QTest::mouseClick(window_->findChild<QPushButton*>(button), Qt::LeftButton);
    QVERIFY(!window_->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->StartUpTimer().isActive(), 10000);
    QTest::qWait(100);
    QCOMPARE(engineEntries_, 0);  // no upload under the open dialog
    QDialog* dialog = button == "cmdSetting" ? static_cast<QDialog*>(window_->OpenSettingsDialog())
                                             : static_cast<QDialog*>(window_->OpenAboutDialog());
    QVERIFY(dialog != nullptr);
    dialog->reject();
    QTRY_COMPARE_WITH_TIMEOUT(engineEntries_, 1, 10000);
    QVERIFY(enabledInRun);
    QCOMPARE(LookOf(), kIdle);
}

void MainWindowTest::stopChangesNoControlUntilEngineEnds() {
    QList<Look> whileStopping;
    bool stopRequested = false;
    onYield_ = [&](int yield) {
        if (yield == 5) {
            QTest::mouseClick(window_->findChild<QPushButton*>("cmdComm1"), Qt::LeftButton);
        }
    };
    onStopping_ = [&] {
        whileStopping << LookOf();
        stopRequested = window_->Run().StopRequested;
    };
    engine_ = [this](UploadContext& context) { RunUntilStopped(context, 10); };
    MakeWindow();
    window_->StartUpTimer().stop();
    window_->cmdComm_Click(0);
    QCOMPARE(whileStopping.size(), 10);
    for (const Look& look : whileStopping) {
        QCOMPARE(look, kRunning);
    }
    QVERIFY(stopRequested);
    QCOMPARE(LookOf(), kIdle);
    QVERIFY(QString::fromStdString(window_->StatusText()).endsWith("通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"));
}

void MainWindowTest::closeDuringRunWaitsForTheRun() {
    bool firstClose = true;
    bool secondClose = true;
    bool endedWhileRunning = false;
    onYield_ = [&](int yield) {
        if (yield == 5) {
            firstClose = window_->close();
        }
    };
    int stoppingYields = 0;
    onStopping_ = [&] {
        if (++stoppingYields == 3) {
            secondClose = window_->close();  // stopping: flag False, run not yet ended
        }
        endedWhileRunning = endedWhileRunning || g_closeCalls > 0;
    };
    engine_ = [this](UploadContext& context) { RunUntilStopped(context, 10); };
    MakeWindow();
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    window_->cmdComm_Click(0);
    QVERIFY(!firstClose);   // the first close only stopped the upload
    QVERIFY(!secondClose);  // the second one waited for it
    QVERIFY(!endedWhileRunning);
    QCOMPARE(window_->Run().StopRequested, true);
    // The run has returned: the waiting close has now ended the program.
    QCOMPARE(spy.count(), 1);
    QCOMPARE(g_closeCalls, 1);
    QVERIFY(!window_->isVisible());
}

void MainWindowTest::secondCloseAfterRunEndsProgram() {
    bool firstClose = true;
    onYield_ = [&](int yield) {
        if (yield == 5) {
            firstClose = window_->close();
        }
    };
    MakeWindow();
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    window_->cmdComm_Click(0);
    QVERIFY(!firstClose);
    QCOMPARE(spy.count(), 0);
    QVERIFY(window_->isVisible());
    QCOMPARE(LookOf(), kIdle);
    QCOMPARE(g_closeCalls, 0);

    QVERIFY(window_->close());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(g_closeCalls, 1);
}

void MainWindowTest::closeWithoutLinkLibraryEnds() {
    MakeWindow({}, /*withLink=*/false);
    QSignalSpy spy(window_.get(), &MainWindow::programEnding);
    window_->StartUpTimer().stop();
    QVERIFY(window_->close());
    QCOMPARE(spy.count(), 1);
}

void MainWindowTest::fileDoubleClick_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("opened");
    QTest::newRow("text file") << "/T01.txt"
                               << "/data/out"
                               << "/data/out/T01.txt";
    QTest::newRow("folder with separator") << "/T01.txt"
                                           << "/data/out/"
                                           << "/data/out/T01.txt";
    QTest::newRow("root folder") << "/T01.txt"
                                 << "/"
                                 << "/T01.txt";
    QTest::newRow("folder with blank") << "/ﾃｽﾄ 1.txt"
                                       << "/data/my out"
                                       << "/data/my out/ﾃｽﾄ 1.txt";
    QTest::newRow("workbook") << "/T01.xls"
                              << "/data"
                              << "";
    QTest::newRow("upper-case extension") << "/T01.TXT"
                                          << "/data"
                                          << "";
    QTest::newRow("database and table") << "/data/db.mdb\r\nﾃｰﾌﾞﾙ : T01"
                                        << "/data"
                                        << "";
    QTest::newRow("empty label") << ""
                                 << "/data"
                                 << "";
}

void MainWindowTest::fileDoubleClick() {
    QFETCH(QString, file);
    QFETCH(QString, folder);
    QFETCH(QString, opened);
    MakeWindow();
    window_->SetFileLabel(file.toStdString());
    window_->ShowSaveFolder(folder.toStdString());
    QTest::mouseDClick(window_->findChild<QLabel*>("lblFile"), Qt::LeftButton);
    QCOMPARE(opened_, opened.isEmpty() ? QStringList{} : QStringList{opened});
    QVERIFY(!(window_->windowState() & Qt::WindowMinimized));
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
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        QVERIFY(box != nullptr);
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        modal = box->isModal();
        QCOMPARE(box->buttons().size(), 1);
        box->button(QMessageBox::Ok)->click();
    });
    window_->ShowMessage("エラー！！", "保存ﾌｫﾙﾀﾞが存在しません\r\n再設定を行ってください！！",
                         MessageIcon::Critical);
    QCOMPARE(title, QString("エラー！！"));
    QCOMPARE(text, QString("保存ﾌｫﾙﾀﾞが存在しません\n再設定を行ってください！！"));
    QCOMPARE(icon, QMessageBox::Critical);
    QVERIFY(modal);
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
