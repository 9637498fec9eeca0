#include "shell/main_window.h"

#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>
#include <thread>

#include "binding/quorlin_binding.h"
#include "common/system_error.h"
#include "common/visible_text.h"
#include "journal/upload_journal.h"
#include "settings/settings_store.h"
#include "shell/about_dialog.h"
#include "shell/click_label.h"
#include "shell/dialog_support.h"
#include "shell/history_window.h"
#include "shell/lamp_widget.h"
#include "shell/message_box.h"
#include "shell/settings_dialog.h"
#include "shell/upload_thread.h"
#include "shell/window_metrics.h"
#include "upload/upload_follow_up.h"

namespace {

// Each status line also goes to standard output with a time stamp, for system logs and scripts. The
// queue's own thread writes it, so a reader that does not keep up never holds the window or the upload.
void EchoToStdout(StatusLineQueue& queue, const std::string& text) {
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")).toStdString();
    size_t start = 0;
    while (true) {
        const size_t end = text.find("\r\n", start);
        queue.Push(stamp + " " +
                   text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
}

// After the path of a text file that a double-click could not open.
constexpr const char* kOpenFileFailed = " を開けません (ﾌｧｲﾙを開くﾌﾟﾛｸﾞﾗﾑ xdg-open がありません)";

}  // namespace

MainWindow::Services MainWindow::DefaultServices() {
    Services services;
    services.LoadSettings = ::LoadSettings;
    services.RunUpload = ::RunUpload;
    services.BindLink = ::BindQuorlin;
    services.OpenFile = [](const QString& path) {
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    };
    services.Clock = ::SystemClock;
    return services;
}

MainWindow::MainWindow(Services services)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      services_(std::move(services)),
      stdoutLines_(std::make_unique<StatusLineQueue>(STDOUT_FILENO)) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("GATHRA for Windows(CSV/TXT/XLS/MDB/MAIL対応)"));
    setWindowIcon(ProgramIcon());
    setFont(JapaneseFont());
    setFixedSize(TwipsToPixels(10095), TwipsToPixels(5790));
    BuildControls();

    startUpTimer_.setObjectName(QStringLiteral("Timer1"));
    startUpTimer_.setSingleShot(true);
    startUpTimer_.setInterval(500);
    connect(&startUpTimer_, &QTimer::timeout, this, &MainWindow::OnStartUpTimer);
}

MainWindow::~MainWindow() {
    // The dialogs are windows of their own (a disabled owner must not disable them), so they are not
    // children of this window and go with it explicitly.
    delete settingsDialog_.data();
    delete aboutDialog_.data();
    delete historyWindow_.data();
    // Only the window's own end gets here with a run still going (a run normally ends before the close
    // is accepted): abandon it and wait for its thread.
    delete engineBox_.data();
    upload_.reset();
    if (busyPointer_) {
        QApplication::restoreOverrideCursor();
    }
    // The last lines get a moment to reach a reader that keeps up; a stalled one is not waited for.
    stdoutLines_->Flush(std::chrono::milliseconds(200));
}

void MainWindow::BuildControls() {
    MakeLabel<ClickLabel>(this, "Label2", QStringLiteral("ﾌｧｲﾙ名"), TwipsRect(120, 120, 1212, 252));
    lblFile_ = MakeLabel<ClickLabel>(this, "lblFile", QString(), TwipsRect(1440, 120, 8535, 975));
    MakeLabel<ClickLabel>(this, "Label1", QStringLiteral("保存ﾌｫﾙﾀﾞ"), TwipsRect(120, 1200, 1215, 255));
    lblFolder_ = MakeLabel<ClickLabel>(this, "lblFolder", QString(), TwipsRect(1440, 1200, 8535, 255));
    MakeLabel<ClickLabel>(this, "Label4", QStringLiteral("最終ｽﾃｰﾀｽ"), TwipsRect(120, 1560, 1215, 255));
    lblStatus_ = MakeLabel<ClickLabel>(this, "lblStatus", QString(), TwipsRect(1440, 1560, 8535, 2055));
    // How long the run has waited for a terminal, under the status caption: not part of the status text.
    lblWaiting_ = MakeLabel<ClickLabel>(this, "lblWaiting", QString(), TwipsRect(120, 1860, 1215, 255));
    connect(lblFile_, &ClickLabel::doubleClicked, this, &MainWindow::FileLabelDoubleClicked);

    progbar_ = new QProgressBar(this);
    progbar_->setObjectName(QStringLiteral("Progbar"));
    progbar_->setGeometry(TwipsRect(120, 3720, 9855, 375));
    progbar_->setRange(0, 100);
    progbar_->setValue(0);
    progbar_->setTextVisible(false);
    progbar_->installEventFilter(this);

    ClickLabel* label3 =
        MakeLabel<ClickLabel>(this, "Label3", QStringLiteral("KX10/KX11/KX12 Ver.3.0以降に対応しています。"),
                              TwipsRect(120, 4200, 9855, 255));
    QPalette red = label3->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    label3->setPalette(red);

    const char* commTexts[2] = {"通信ｽﾀｰﾄ", "通信ｽﾄｯﾌﾟ"};
    for (int i = 0; i < 2; ++i) {
        cmdComm_[i] = new QPushButton(QString::fromUtf8(commTexts[i]), this);
        cmdComm_[i]->setObjectName(ArrayElementName("cmdComm", i));
        cmdComm_[i]->setGeometry(TwipsRect(120, 4560 + 600 * i, 1212, 492));
    }
    connect(cmdComm_[0], &QPushButton::clicked, this, &MainWindow::StartClicked);
    connect(cmdComm_[1], &QPushButton::clicked, this, &MainWindow::StopClicked);

    // The running lamp lies on top of the idle lamp; SetRunning shows exactly one of them.
    status_[0] = new LampWidget(QColor(255, 0, 0), this);
    status_[1] = new LampWidget(QColor(0, 255, 255), this);
    for (int i = 0; i < 2; ++i) {
        status_[i]->setObjectName(ArrayElementName("Status", i));
        status_[i]->setGeometry(TwipsRect(1440, 4560, 5655, 1095));
    }

    cmdHistory_ = new QPushButton(QStringLiteral("ﾋｽﾄﾘｰ"), this);
    cmdHistory_->setObjectName(QStringLiteral("cmdHistory"));
    cmdHistory_->setGeometry(TwipsRect(7200, 4560, 1332, 492));
    connect(cmdHistory_, &QPushButton::clicked, this, &MainWindow::HistoryClicked);

    cmdSetting_ = new QPushButton(QStringLiteral("設定"), this);
    cmdSetting_->setObjectName(QStringLiteral("cmdSetting"));
    cmdSetting_->setGeometry(TwipsRect(8640, 4560, 1332, 492));
    connect(cmdSetting_, &QPushButton::clicked, this, &MainWindow::SettingsClicked);

    cmdInfo_ = new QPushButton(QStringLiteral("ﾊﾞｰｼﾞｮﾝ"), this);
    cmdInfo_->setObjectName(QStringLiteral("cmdInfo"));
    cmdInfo_->setGeometry(TwipsRect(8640, 5160, 1332, 492));
    connect(cmdInfo_, &QPushButton::clicked, this, &MainWindow::VersionClicked);

    setTabOrder(cmdComm_[0], cmdComm_[1]);
    setTabOrder(cmdComm_[1], cmdHistory_);
    setTabOrder(cmdHistory_, cmdSetting_);
    setTabOrder(cmdSetting_, cmdInfo_);
}

void MainWindow::Load(const PlatformFacts& platform) {
    platform_ = platform;
    // The journal, the link and the port diagnosis reach the program folder through its held descriptor.
    followUp_ = std::make_unique<UploadFollowUp>(
        ProgramFolderPath(platform_),
        [this](const std::string& line) {
            QMetaObject::invokeMethod(
                this, [this, line] { AppendStatus(line); }, Qt::QueuedConnection);
        },
        [this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    if (historyWindow_) {
                        historyWindow_->Refresh();
                    }
                },
                Qt::QueuedConnection);
        });
    // From here on a failing step must not keep the window from coming up.
    try {
        settings_.SettingsFilePath = SettingsFilePathFor(platform);
        if (services_.LoadSettings) {
            services_.LoadSettings(settings_, platform_, *this);
        }
    } catch (...) {
    }
    try {
        ApplyWindowSettings();
    } catch (...) {
    }
    startUpTimer_.start();
}

void MainWindow::ApplyWindowSettings() {
    ShowSaveFolder(settings_.SaveFolder);
    if (settings_.StartUpSize == 1) {
        setWindowState(windowState() | Qt::WindowMinimized);
    } else {
        setWindowState(windowState() & ~Qt::WindowMinimized);
    }
}

void MainWindow::ShowSaveFolder(const std::string& folder) {
    lblFolder_->setText(QString::fromStdString(folder));
    ShowFileTip();
}

void MainWindow::OnStartUpTimer() {
    startUpTimer_.stop();
    // A dialog opened before the timer fired: the decision waits until it is closed, so that an upload
    // never runs under an open settings dialog (whose OK would change the settings mid-upload) nor while
    // the window, disabled by the dialog, cannot take the stop button.
    if (DialogOpen()) {
        timerDeferred_ = true;
        return;
    }
    setEnabled(true);
    // A start pressed by hand before the timer fired is under way: the timer leaves it alone (no second,
    // nested run, and no idle look under a running upload).
    if (UploadUnderWay()) {
        return;
    }
    if (settings_.AutoStart == Switch::On) {
        run_.IsRunning = true;
        run_.StopRequested = false;
        SetRunning(true);
        StartUploadRun();
    } else {
        run_.IsRunning = false;
        SetRunning(false);
    }
}

bool MainWindow::DialogOpen() const {
    return (settingsDialog_ && settingsDialog_->isVisible()) || (aboutDialog_ && aboutDialog_->isVisible());
}

void MainWindow::DialogClosed() {
    if (timerDeferred_) {
        timerDeferred_ = false;
        QTimer::singleShot(0, this, &MainWindow::OnStartUpTimer);
    }
}

void MainWindow::StopClicked() {
    // The request first: the engine reads StopRequested only after it has seen IsRunning go false.
    run_.StopRequested = true;
    run_.IsRunning = false;
}

void MainWindow::StartClicked() {
    if (UploadUnderWay()) {
        return;
    }
    run_.IsRunning = true;
    run_.StopRequested = false;
    SetRunning(true);
    StartUploadRun();
}

void MainWindow::StartUploadRun() {
    // One run at a time: the start button, the start-up timer and a deferred timer all come through here.
    if (UploadUnderWay()) {
        return;
    }
    UploadThread::Start start;
    start.Settings = settings_;
    start.RunUpload = services_.RunUpload;
    start.BindLink = services_.BindLink;
    start.ProgramFolder = ProgramFolderPath(platform_);
    start.Clock = services_.Clock;
    start.FileLabel = fileLabel_;
    if (followUp_) {
        followUp_->BeginRun(settings_);
        start.UploadEnded = [followUp = followUp_.get()](const UploadResult& report) {
            followUp->UploadEnded(report);
        };
    }
    upload_ = std::make_unique<UploadThread>(
        *this, *this,
        [this](const std::string& title, const std::string& text, MessageIcon icon,
               std::function<void()> answered) { AskOperator(title, text, icon, std::move(answered)); },
        run_, std::move(start), [this] { UploadRunEnded(); });
}

void MainWindow::UploadRunEnded() {
    upload_.reset();
    // A stop gives the commands after the uploads two seconds; a run that ended by itself lets them run.
    if (followUp_ && run_.StopRequested) {
        followUp_->Hurry();
    }
    if (busyPointer_) {
        SetBusyPointer(false);
    }
    if (closePending_) {
        closePending_ = false;
        close();
    }
}

void MainWindow::DismissEngineMessage() {
    if (upload_ && upload_->MessagePending() && engineBox_) {
        engineBox_->done(QMessageBox::Ok);
    }
}

void MainWindow::SettingsClicked() {
    if (UploadUnderWay()) {
        return;
    }
    if (!settingsDialog_) {
        settingsDialog_ = new SettingsDialog(this, settings_, *this,
                                             [this](const std::string& folder) { ShowSaveFolder(folder); });
        connect(settingsDialog_, &QDialog::finished, this, &MainWindow::DialogClosed);
    }
    settingsDialog_->Open();
}

SettingsDialog* MainWindow::OpenSettingsDialog() const {
    return settingsDialog_.data();
}

AboutDialog* MainWindow::OpenAboutDialog() const {
    return aboutDialog_.data();
}

void MainWindow::VersionClicked() {
    if (UploadUnderWay()) {
        return;
    }
    if (!aboutDialog_) {
        aboutDialog_ = new AboutDialog(this);
        connect(aboutDialog_, &QDialog::finished, this, &MainWindow::DialogClosed);
    }
    aboutDialog_->Open();
}

void MainWindow::HistoryClicked() {
    if (!historyWindow_) {
        const std::string journal = UploadJournal::PathIn(ProgramFolderPath(platform_));
        // A window of its own, like the dialogs: it stays usable while a dialog disables this window.
        historyWindow_ =
            new HistoryWindow(journal, [this](const QUrl& url) { return OpenOrSay(url.toLocalFile()); });
        historyWindow_->setAttribute(Qt::WA_DeleteOnClose);
    } else {
        historyWindow_->Refresh();
    }
    historyWindow_->show();
    historyWindow_->raise();
    historyWindow_->activateWindow();
}

HistoryWindow* MainWindow::OpenHistoryWindow() const {
    return historyWindow_.data();
}

void MainWindow::FileLabelDoubleClicked() {
    try {
        const QString file = lblFile_->text();
        // Only text output is opened; workbooks and database tables are not.
        if (!file.endsWith(QStringLiteral("txt"), Qt::CaseSensitive)) {
            return;
        }
        QString folder = lblFolder_->text();
        // The label starts with the separator: a root folder "/" must not give a doubled one.
        if (folder.endsWith(QLatin1Char('/'))) {
            folder.chop(1);
        }
        if (!file.isEmpty()) {
            OpenOrSay(folder + file);
        }
    } catch (...) {
    }
}

bool MainWindow::OpenOrSay(const QString& path) {
    if (!services_.OpenFile) {
        return false;
    }
    // The desktop's opener starts in the background and reports nothing: what cannot be read is said here.
    if (::access(QFile::encodeName(path).constData(), R_OK) != 0) {
        AppendStatus(path.toStdString() + " を開けません (" + SystemErrorText(errno) + ")");
        return false;
    }
    if (!services_.OpenFile(path)) {
        // Nothing on this desktop opens files (no xdg-open): say so rather than do nothing.
        AppendStatus(path.toStdString() + kOpenFileFailed);
        return false;
    }
    return true;
}

void MainWindow::RequestQuit() {
    quitting_ = true;
    // The run is told to stop before its box is answered, so that the engine goes on knowing it.
    const bool underWay = UploadUnderWay();
    if (underWay) {
        StopClicked();
        closePending_ = true;
    }
    // A message box waiting for the operator would hold the upload run (and so the end) forever.
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        box->done(QMessageBox::Ok);
    }
    if (!underWay) {
        close();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // While a dialog is open the window takes no input, its close box included.
    if (event->spontaneous() && !isEnabled()) {
        event->ignore();
        return;
    }
    if (run_.IsRunning) {
        // As the stop button; the operator closes again once the upload run has ended. A box of the
        // engine would hold the run at its question: the close answers it.
        StopClicked();
        DismissEngineMessage();
        event->ignore();
        return;
    }
    if (UploadUnderWay()) {
        // Stopping: the upload thread is still unwinding (a writer is never cancelled part-way), so the
        // close waits for the run to end and then ends the program.
        closePending_ = true;
        DismissEngineMessage();
        event->ignore();
        return;
    }
    startUpTimer_.stop();
    timerDeferred_ = false;
    CloseLink();
    if (followUp_) {
        followUp_->Finish(true);
    }
    if (historyWindow_) {
        historyWindow_->close();
    }
    if (settingsDialog_) {
        settingsDialog_->hide();
    }
    if (aboutDialog_) {
        aboutDialog_->hide();
    }
    event->accept();
    emit programEnding();
    QCoreApplication::quit();
}

void MainWindow::CloseLink() {
    // Without libquorlin.so the binding yields nothing and there is no port to close. The link library
    // is called on a thread of its own, as during a run, never on the window's thread; closing is
    // bounded by the library.
    auto bind = services_.BindLink;
    const std::string folder = ProgramFolderPath(platform_);
    try {
        std::thread([bind, folder] {
            const LinkApi* link = bind ? bind(folder) : nullptr;
            if (link != nullptr && link->CloseIrCom != nullptr) {
                link->CloseIrCom();
            }
        }).join();
    } catch (...) {
    }
}

void MainWindow::mouseDoubleClickEvent(QMouseEvent* event) {
    event->accept();
    setWindowState(windowState() | Qt::WindowMinimized);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // A double-click on the progress bar belongs to the bar, not to the window background.
    if (watched == progbar_ && event->type() == QEvent::MouseButtonDblClick) {
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

// Status texts may quote outside texts (driver messages, terminal bytes): their control characters are
// made visible before the label or standard output sees them.
void MainWindow::ReplaceStatus(const std::string& text) {
    const std::string shown = VisibleLines(text);
    statusText_ = shown;
    ShowStatusText(shown);
}

void MainWindow::AppendStatus(const std::string& text) {
    const std::string shown = VisibleLines(text);
    statusText_ += "\r\n" + shown;
    ShowStatusText(shown);
}

void MainWindow::ShowStatusText(const std::string& newLines) {
    lblStatus_->setText(ToDisplayText(statusText_));
    EchoToStdout(*stdoutLines_, newLines);
}

void MainWindow::SetRunning(bool running) {
    // Element 0 of each array stands for idle, element 1 for running.
    const int state = running ? 1 : 0;
    for (int i = 0; i < 2; ++i) {
        cmdComm_[i]->setEnabled(false);
        status_[i]->setVisible(false);
    }
    cmdComm_[state]->setEnabled(true);
    status_[state]->setVisible(true);
    cmdSetting_->setEnabled(!running);
    cmdInfo_->setEnabled(!running);
}

void MainWindow::SetFileLabel(const std::string& text) {
    fileLabel_ = text;  // as the engine named it: double-clicking opens that file
    lblFile_->setText(ToDisplayText(VisibleLines(text)));
    ShowFileTip();
}

void MainWindow::ShowFileTip() {
    // A file's label is its name below the save folder, the tooltip its full path; a database's label
    // (path, then the table on a line of its own) is shown as it is.
    QString tip = lblFile_->text();
    if (tip.startsWith(QLatin1Char('/')) && !tip.contains(QLatin1Char('\n'))) {
        QString folder = lblFolder_->text();
        if (folder.endsWith(QLatin1Char('/'))) {
            folder.chop(1);
        }
        tip.prepend(folder);
    }
    lblFile_->setToolTip(tip);
}

void MainWindow::SetWaitingLabel(const std::string& text) {
    lblWaiting_->setText(QString::fromStdString(text));
}

void MainWindow::SetProgressMax(int max) {
    progbar_->setMaximum(max);
}

void MainWindow::SetProgressValue(int value) {
    // An announced count smaller than the records received must not make the bar refuse the value.
    if (value > progbar_->maximum()) {
        progbar_->setMaximum(value);
    }
    progbar_->setValue(value);
}

void MainWindow::SetProgressVisible(bool visible) {
    progbar_->setVisible(visible);
}

void MainWindow::SetBusyPointer(bool busy) {
    if (busy == busyPointer_) {
        return;
    }
    busyPointer_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

void MainWindow::Beep() {
    QApplication::beep();
}

void MainWindow::ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) {
    if (quitting_) {
        // The program is ending: nobody is there to acknowledge the box; keep the text in the log.
        EchoToStdout(*stdoutLines_, title + ": " + text);
        return;
    }
    NewMessageBox(title, text, icon)->exec();
}

void MainWindow::AskOperator(const std::string& title, const std::string& text, MessageIcon icon,
                             std::function<void()> answered) {
    if (quitting_) {
        EchoToStdout(*stdoutLines_, title + ": " + text);
        answered();
        return;
    }
    // The same box as ShowMessage's, shown without a nested event loop: the upload thread is the one that
    // waits. It answers once, when it is dismissed by the operator, a close or SIGTERM.
    QMessageBox* box = NewMessageBox(title, text, icon).release();
    connect(box, &QDialog::finished, this, [box, answered = std::move(answered)] {
        box->deleteLater();
        answered();
    });
    engineBox_ = box;
    box->show();
}
