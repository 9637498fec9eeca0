#include "recording_operator_view.h"

#include <utility>

void RecordingOperatorView::ReplaceStatus(const std::string& text) {
    StatusText = text;
    Record({false, text});
}

void RecordingOperatorView::AppendStatus(const std::string& text) {
    StatusText += "\r\n" + text;
    Record({true, text});
}

void RecordingOperatorView::Record(StatusCall call) {
    StatusCalls.push_back(std::move(call));
    if (OnStatus) {
        OnStatus(StatusCalls.back());
    }
}

void RecordingOperatorView::ShowMessage(const std::string& title, const std::string& text, MessageIcon icon) {
    Messages.push_back({title, text, icon});
    if (OnMessage) {
        OnMessage(Messages.back());
    }
}

std::vector<std::string> RecordingOperatorView::StatusLines() const {
    std::vector<std::string> lines;
    size_t start = 0;
    while (true) {
        const size_t end = StatusText.find("\r\n", start);
        lines.push_back(StatusText.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 2;
    }
    return lines;
}
