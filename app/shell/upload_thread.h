#pragma once

#include <QObject>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "codec/link_api.h"
#include "run/operator_view.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "upload/upload_engine.h"

// One upload run (RunUpload) on a thread of its own, so that the window paints and answers while the
// engine waits for the terminal, stores the file or sends the mail.
//
// What crosses between the two threads:
// - window → engine: a copy of the settings taken at the start (the engine trims and reads its copy only),
//   and the run flags IsRunning and StopRequested of the shared RunState, which are atomic. The engine's
//   text members of RunState (OutputPath, TableName, the error texts) are written on the engine thread
//   only; the window never reads them during a run.
// - engine → window: every OperatorView call, as a queued call executed on the window's thread in the
//   order the engine made them. ShowMessage also waits, on the engine thread, until the box has been
//   acknowledged (or the run is abandoned); the window shows the box
//   without a nested event loop of its own. FileLabel answers from the engine's side, from the last label it
//   set.
// - the end of the run: `finished` is queued to the window after the engine's last call; by then the
//   thread has nothing left to do and is joined there.
//
// Only the engine thread binds and calls the link library.
class UploadThread final : private OperatorView {
public:
    struct Start {
        SettingsRecord Settings;  // the engine's own copy
        std::function<void(UploadContext&)> RunUpload;
        std::function<const LinkApi*(const std::string&)> BindLink;
        std::string ProgramFolder;
        PcClock Clock;
        std::string FileLabel;  // the file label as the window shows it at the start
        std::function<void(const UploadResult&)> UploadEnded;  // called on the engine thread
    };

    // Shows a message box on the window's thread without waiting for it, and calls `answered` there once
    // the operator (or the window's end) has dismissed it.
    using AskOperator = std::function<void(const std::string&, const std::string&, MessageIcon,
                                           std::function<void()> answered)>;

    // Starts the thread. `window` receives the queued calls (it must outlive this object) and `target`
    // executes them on the window's thread, `ask` shows the engine's message boxes; `finished` is called
    // there once the run is over.
    UploadThread(QObject& window, OperatorView& target, AskOperator ask, RunState& run, Start start,
                 std::function<void()> finished);
    // Abandons the run if it is still going (IsRunning False, a waiting message box released) and joins
    // the thread. Only the window's own shutdown should need that: a normal end is `finished`.
    ~UploadThread() override;
    UploadThread(const UploadThread&) = delete;
    UploadThread& operator=(const UploadThread&) = delete;

    // A ShowMessage of the engine is waiting for the operator.
    bool MessagePending() const;

private:
    void Main(Start start);
    void Post(std::function<void()> call);
    void Abandon();

    // OperatorView, called on the engine thread.
    void ReplaceStatus(const std::string& text) override;
    void AppendStatus(const std::string& text) override;
    void SetRunning(bool running) override;
    void SetFileLabel(const std::string& text) override;
    std::string FileLabel() const override;
    void SetProgressMax(int max) override;
    void SetProgressValue(int value) override;
    void SetProgressVisible(bool visible) override;
    void SetBusyPointer(bool busy) override;
    void Beep() override;
    void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
    void SetWaitingLabel(const std::string& text) override;

    QObject& window_;
    OperatorView& target_;
    AskOperator ask_;
    RunState& run_;
    std::function<void()> finished_;

    mutable std::mutex mutex_;
    std::condition_variable answered_;
    std::string fileLabel_;
    uint64_t messagesAsked_ = 0;
    uint64_t messagesAnswered_ = 0;
    bool abandoned_ = false;
    std::thread thread_;
};
