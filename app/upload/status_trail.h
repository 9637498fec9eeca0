#pragma once

#include <string>
#include <vector>

#include "run/operator_view.h"

// The engine's view of the window: forwards every call to the front end's view and keeps the status
// lines appended since the last Mark(), so that an upload's report carries the failure text the operator
// was shown, whichever writer or check showed it.
class StatusTrail final : public OperatorView {
public:
    explicit StatusTrail(OperatorView& target) : target_(target) {}

    void Mark() { lines_.clear(); }
    const std::vector<std::string>& Lines() const { return lines_; }

    void ReplaceStatus(const std::string& text) override { target_.ReplaceStatus(text); }
    void AppendStatus(const std::string& text) override {
        lines_.push_back(text);
        target_.AppendStatus(text);
    }
    void SetRunning(bool running) override { target_.SetRunning(running); }
    void SetFileLabel(const std::string& text) override { target_.SetFileLabel(text); }
    std::string FileLabel() const override { return target_.FileLabel(); }
    void SetProgressMax(int max) override { target_.SetProgressMax(max); }
    void SetProgressValue(int value) override { target_.SetProgressValue(value); }
    void SetProgressVisible(bool visible) override { target_.SetProgressVisible(visible); }
    void SetBusyPointer(bool busy) override { target_.SetBusyPointer(busy); }
    void Beep() override { target_.Beep(); }
    void ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) override {
        target_.ShowMessage(title, text, icon);
    }
    void SetWaitingLabel(const std::string& text) override { target_.SetWaitingLabel(text); }

private:
    OperatorView& target_;
    std::vector<std::string> lines_;
};
