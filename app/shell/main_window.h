#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "codec/link_api.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "run/status_line_queue.h"
#include "settings/settings_record.h"
#include "upload/upload_engine.h"

class ClickLabel;
class LampWidget;
class QProgressBar;
class QPushButton;
class SettingsDialog;
class AboutDialog;
class HistoryWindow;
class UploadFollowUp;
class QMessageBox;
class UploadThread;

// The main window: the program's only primary window and the owner of its lifecycle.
//
// Start-up loads the settings (Load), shows the save folder and arms the one-shot start-up timer, which
// 500 ms later either starts an upload run (AutoStart 1) or puts the window into the idle state. An
// upload run executes on a thread of its own (UploadThread); its OperatorView calls reach the window as
// queued calls, and the stop button and the close request reach it only through the two run flags. The
// window implements OperatorView for the core.
//
// Control names (objectName) carry a control-type prefix (cmd buttons, lbl labels, ...), and tests find
// the controls by them; the elements of a control array carry the array name followed by the index:
// cmdComm0 (start), cmdComm1 (stop), Status0 (red idle lamp), Status1 (cyan running lamp).
class MainWindow : public QWidget, public OperatorView {
    Q_OBJECT
public:
    // What the window calls outside itself. The defaults are the real settings store, upload engine, link
    // binding and desktop; tests replace them in-process.
    struct Services {
        std::function<void(SettingsRecord&, const PlatformFacts&, OperatorView&)> LoadSettings;
        std::function<void(UploadContext&)> RunUpload;
        std::function<const LinkApi*(const std::string&)> BindLink;
        // Opens a stored text file with the desktop's default application; the result is ignored.
        std::function<bool(const QString&)> OpenFile;
        PcClock Clock;
    };
    static Services DefaultServices();

    explicit MainWindow(Services services = DefaultServices());
    ~MainWindow() override;

    // Start-up after the window is built: settings file path, LoadSettings, ApplyWindowSettings, and the
    // start-up timer is armed. Called once, before the window is first shown.
    void Load(const PlatformFacts& platform);

    // The program was asked to end (SIGTERM): stops a running upload without waiting for the operator,
    // and closes the window as soon as no upload run is under way.
    void RequestQuit();
    bool QuitRequested() const { return quitting_; }

    // What the operator's clicks and the start-up timer do.
    void StartClicked();
    // Only sets the run flags: the engine sees them at its next check point and returns the window to idle.
    void StopClicked();
    void OnStartUpTimer();
    void SettingsClicked();
    void VersionClicked();
    // Opens the history window (or brings it to the front, read again).
    void HistoryClicked();
    // Opens the stored text file shown in the file label.
    void FileLabelDoubleClicked();
    // Opens `path` (a stored file, or the folder of a history entry) with the desktop; what cannot be
    // opened adds "<path> を開けません (<reason>)" to the status. True when it was handed over.
    bool OpenOrSay(const QString& path);

    // The save folder label: written at start-up and by the settings dialog when it saves.
    void ShowSaveFolder(const std::string& folder);

    // OperatorView.
    void ReplaceStatus(const std::string& text) override;
    void AppendStatus(const std::string& text) override;
    void SetRunning(bool running) override;
    void SetFileLabel(const std::string& text) override;
    std::string FileLabel() const override { return fileLabel_; }
    void SetProgressMax(int max) override;
    void SetProgressValue(int value) override;
    void SetProgressVisible(bool visible) override;
    void SetBusyPointer(bool busy) override;
    void Beep() override;
    void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
    void SetWaitingLabel(const std::string& text) override;

    SettingsRecord& Settings() { return settings_; }
    RunState& Run() { return run_; }
    const PlatformFacts& Platform() const { return platform_; }
    // The status text as the core wrote it (lines joined by CR LF).
    const std::string& StatusText() const { return statusText_; }
    // True from the start of an upload run until its thread has ended (also while stopping).
    bool UploadUnderWay() const { return upload_ != nullptr; }
    QTimer& StartUpTimer() { return startUpTimer_; }
    SettingsDialog* OpenSettingsDialog() const;
    AboutDialog* OpenAboutDialog() const;
    HistoryWindow* OpenHistoryWindow() const;

signals:
    // The window accepted its close: files and the port are closed and the program ends.
    void programEnding();

protected:
    void closeEvent(QCloseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void BuildControls();
    void ShowStatusText(const std::string& newLines);
    void ShowFileTip();
    void ApplyWindowSettings();
    void StartUploadRun();
    void UploadRunEnded();
    void DismissEngineMessage();
    void AskOperator(const std::string& title, const std::string& text, MessageIcon icon,
                     std::function<void()> answered);
    void CloseLink();
    bool DialogOpen() const;
    void DialogClosed();

    Services services_;
    SettingsRecord settings_;
    PlatformFacts platform_;
    RunState run_;
    std::string statusText_;
    std::string fileLabel_;
    std::unique_ptr<UploadThread> upload_;  // the upload run under way, if any
    QPointer<QMessageBox> engineBox_;       // the upload thread's message box being shown, if any
    bool closePending_ = false;             // a close arrived while the upload run was stopping
    bool quitting_ = false;                 // RequestQuit: message boxes no longer wait for the operator
    bool timerDeferred_ = false;            // the start-up timer fired while a dialog was open
    bool busyPointer_ = false;
    QTimer startUpTimer_;
    std::unique_ptr<StatusLineQueue> stdoutLines_;  // the time-stamped status lines for standard output

    ClickLabel* lblFile_ = nullptr;
    ClickLabel* lblFolder_ = nullptr;
    ClickLabel* lblStatus_ = nullptr;
    ClickLabel* lblWaiting_ = nullptr;
    QProgressBar* progbar_ = nullptr;
    QPushButton* cmdComm_[2] = {nullptr, nullptr};
    LampWidget* status_[2] = {nullptr, nullptr};
    QPushButton* cmdSetting_ = nullptr;
    QPushButton* cmdInfo_ = nullptr;
    QPushButton* cmdHistory_ = nullptr;
    QPointer<SettingsDialog> settingsDialog_;
    QPointer<AboutDialog> aboutDialog_;
    QPointer<HistoryWindow> historyWindow_;
    // The journal entry and the command after each upload; made by Load, for the program's life.
    std::unique_ptr<UploadFollowUp> followUp_;
};
