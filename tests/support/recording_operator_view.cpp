#include "recording_operator_view.h"

void RecordingOperatorView::ShowStatus(int16_t mode, const std::string& text) {
    StatusCalls.push_back({mode, text});
    if (mode == 0) {
        StatusText = text;
    } else if (mode == 1) {
        StatusText += "\r\n" + text;
    }
    if (OnStatus) {
        OnStatus(StatusCalls.back());
    }
}

void RecordingOperatorView::SetRunningState(int16_t state) {
    RunningStates.push_back(state);
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
