#pragma once

#include <string>

#include "run/operator_view.h"

// An operator view that shows nothing: every call is accepted and forgotten, message boxes count as
// acknowledged, and the file label reads back what was set. Views that need only a few of the calls
// (a writer's quiet helper, a benchmark, a fuzz target) derive from it and override those.
class SilentOperatorView : public OperatorView {
public:
    void ReplaceStatus(const std::string&) override {}
    void AppendStatus(const std::string&) override {}
    void SetRunning(bool) override {}
    void SetFileLabel(const std::string& text) override { fileLabel_ = text; }
    std::string FileLabel() const override { return fileLabel_; }
    void SetProgressMax(int) override {}
    void SetProgressValue(int) override {}
    void SetProgressVisible(bool) override {}
    void SetBusyPointer(bool) override {}
    void Beep() override {}
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}

private:
    std::string fileLabel_;
};
