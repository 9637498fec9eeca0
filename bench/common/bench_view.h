#pragma once

#include <cstdio>
#include <string>

#include "run/silent_operator_view.h"

// The window as the benchmarks need it: counts what it is asked to show, keeps the last status line and
// the file label, and prints message boxes (and, when asked, status lines) to standard error, so a failed
// run says why without a display.
class BenchView : public SilentOperatorView {
public:
    explicit BenchView(bool echoStatus = false) : echoStatus_(echoStatus) {}

    void ReplaceStatus(const std::string& text) override { Status(text); }
    void AppendStatus(const std::string& text) override { Status(text); }
    void SetFileLabel(const std::string& text) override { label = text; }
    std::string FileLabel() const override { return label; }
    void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }

    long statusCalls = 0;
    std::string last;
    std::string label;

private:
    void Status(const std::string& text) {
        ++statusCalls;
        last = text;
        if (echoStatus_) {
            std::fprintf(stderr, "status: %s\n", text.c_str());
        }
    }

    bool echoStatus_;
};
