#pragma once

#include <functional>
#include <string>
#include <vector>

#include "run/operator_view.h"

// An OperatorView that records everything the core shows, so tests can assert status lines, message
// boxes and beeps without a display. Message boxes are "acknowledged" at once.
class RecordingOperatorView : public OperatorView {
public:
    struct Message {
        std::string Title;
        std::string Text;
        MessageIcon Icon = MessageIcon::None;
    };
    struct StatusCall {
        bool Append = false;  // AppendStatus, else ReplaceStatus
        std::string Text;
    };

    void ReplaceStatus(const std::string& text) override;
    void AppendStatus(const std::string& text) override;
    void SetRunning(bool running) override { RunningStates.push_back(running); }
    void SetFileLabel(const std::string& text) override { FileLabelText = text; }
    std::string FileLabel() const override { return FileLabelText; }
    void SetProgressMax(int max) override { ProgressMax = max; }
    void SetProgressValue(int value) override { ProgressValue = value; }
    void SetProgressVisible(bool visible) override { ProgressVisible = visible; }
    void SetBusyPointer(bool busy) override { Busy = busy; }
    void Beep() override { ++Beeps; }
    void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) override;
    void SetWaitingLabel(const std::string& text) override { WaitingLabels.push_back(text); }

    // The status lines as the window would show them: the status text split at CR LF.
    std::vector<std::string> StatusLines() const;

    std::string StatusText;                  // the whole status label, lines joined by CR LF
    std::vector<StatusCall> StatusCalls;     // every status call in order
    std::vector<bool> RunningStates;         // every SetRunning call in order
    std::vector<Message> Messages;           // every message box in order
    std::vector<std::string> WaitingLabels;  // every waiting label in order ("" clears it)
    std::string FileLabelText;
    int ProgressMax = 0;
    int ProgressValue = 0;
    bool ProgressVisible = false;
    bool Busy = false;
    int Beeps = 0;

    // Called after each status call has been recorded, on the thread that made it.
    std::function<void(const StatusCall&)> OnStatus;
    // Called when a message box is shown (after it was recorded).
    std::function<void(const Message&)> OnMessage;

private:
    void Record(StatusCall call);
};
