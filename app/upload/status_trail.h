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

    void ShowStatus(int16_t mode, const std::string& text) override {
        if (mode == 1) {
            lines_.push_back(text);
        }
        target_.ShowStatus(mode, text);
    }
    void SetRunningState(int16_t state) override { target_.SetRunningState(state); }
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

private:
    OperatorView& target_;
    std::vector<std::string> lines_;
};
