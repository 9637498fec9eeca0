#pragma once

#include <string>

enum class MessageIcon { None, Critical, Exclamation, Information };

// What the core needs from the main window. The Qt main window implements it; tests use
// RecordingOperatorView. All texts are UTF-8. Every message box has an OK button only and is modal:
// ShowMessage returns when the operator has acknowledged it.
class OperatorView {
public:
    virtual ~OperatorView() = default;

    // The status text: ReplaceStatus shows `text` alone, AppendStatus adds CR LF and `text` to it.
    virtual void ReplaceStatus(const std::string& text) = 0;
    virtual void AppendStatus(const std::string& text) = 0;
    // Idle or running: switches the start/stop buttons, the lamps and the settings/version buttons.
    virtual void SetRunning(bool running) = 0;
    // The file label: the output file or database table of the current upload.
    virtual void SetFileLabel(const std::string& text) = 0;
    virtual std::string FileLabel() const = 0;
    // The progress bar of the records received.
    virtual void SetProgressMax(int max) = 0;
    virtual void SetProgressValue(int value) = 0;
    virtual void SetProgressVisible(bool visible) = 0;
    // The screen-wide mouse pointer: the busy pointer or the normal one.
    virtual void SetBusyPointer(bool busy) = 0;
    // The system's default beep.
    virtual void Beep() = 0;
    // A modal message box with an OK button only.
    virtual void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) = 0;
    // The small label beside the status that shows how long the run has waited for a terminal
    // ("端末待ち m:ss"); the empty text clears it. It is never a status line. A view without such a
    // label ignores it.
    virtual void SetWaitingLabel(const std::string& text) { (void)text; }
};
