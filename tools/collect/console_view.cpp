#include "console_view.h"

#include <time.h>

#include <ctime>

#include <cstdio>
#include <string_view>
#include <utility>

#include "common/visible_text.h"
#include "upload/upload_texts.h"

namespace {

// Cursor up one line and erase it: the next line takes the place of the previous one.
constexpr const char* kOverwritePreviousLine = "\x1b[1A\x1b[2K";

}  // namespace

ConsoleView::ConsoleView(LineSink out, LineSink err, bool outIsTerminal, bool beep)
    : out_(std::move(out)), err_(std::move(err)), outIsTerminal_(outIsTerminal), beep_(beep) {}

void ConsoleView::AppendStatus(const std::string& text) {
    lastAppended_ = text;
    const std::string_view normalEnd = kNormalEndTail;
    if (text == kAbnormalEnd) {
        lastFailure_.clear();
        for (const std::string& line : sinceUploadBegan_) {
            lastFailure_ += (lastFailure_.empty() ? "" : " / ") + line;
        }
        sinceUploadBegan_.clear();
    } else if (text == kOpenSucceeded ||
               (text.size() >= normalEnd.size() &&
                text.compare(text.size() - normalEnd.size(), normalEnd.size(), normalEnd) == 0)) {
        sinceUploadBegan_.clear();
    } else {
        sinceUploadBegan_.push_back(text);
    }
    PrintStatus(text, false);
}

void ConsoleView::AppendSummary(const std::string& text) {
    PrintStatus(text, false);
    sinceUploadBegan_.clear();
}

void ConsoleView::PrintStatus(const std::string& text, bool replacing) {
    const std::string stamp = ConsoleTimeStamp();
    size_t start = 0;
    bool first = true;
    while (true) {
        const size_t end = text.find("\r\n", start);
        const std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        // Texts from outside (driver messages, workbook names, terminal bytes) never reach the terminal
        // with their control characters live; only the view's own sequences below do.
        std::string out = stamp + " " + VisibleText(line);
        // Only the first line of a replacing status takes the place of the last line shown.
        if (outIsTerminal_ && first && (lastLineWaiting_ || (replacing && lastLineReplaceable_))) {
            out.insert(0, kOverwritePreviousLine);
        }
        out_(std::move(out));
        first = false;
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    lastLineReplaceable_ = replacing && text.find("\r\n") == std::string::npos;
    lastLineWaiting_ = false;
}

void ConsoleView::SetWaitingLabel(const std::string& text) {
    // Clearing leaves the count on screen until the next status takes its place.
    if (!outIsTerminal_ || text.empty()) {
        return;
    }
    std::string out = ConsoleTimeStamp() + " " + text;
    if (lastLineWaiting_) {
        out.insert(0, kOverwritePreviousLine);
    }
    out_(std::move(out));
    lastLineWaiting_ = true;
    lastLineReplaceable_ = false;
}

void ConsoleView::Beep() {
    if (beep_) {
        err_("\a");
    }
}

void ConsoleView::ShowMessage(const std::string& title, const std::string& text, MessageIcon) {
    err_(title + ": " + VisibleText(OneLine(text)));
    // The message may share the terminal with standard output: never overwrite what is above it.
    lastLineReplaceable_ = false;
    lastLineWaiting_ = false;
}

std::string ConsoleTimeStamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

std::string UploadSummaryLine(const UploadResult& result) {
    std::string line =
        result.TerminalId + ": " + std::to_string(result.RecordsStored) + "件 → " + result.Output;
    if (!result.Table.empty()) {
        line += " : " + result.Table;
    }
    if (result.Answer == FinalAnswer::Ack) {
        return line + " 正常終了";
    }
    line += " 異常終了";
    return result.FailureText.empty() ? line : line + " (" + result.FailureText + ")";
}

std::string OneLine(const std::string& text) {
    std::string line;
    line.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                ++i;
            }
            line += ' ';
        } else {
            line += c;
        }
    }
    return line;
}
