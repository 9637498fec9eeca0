#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "codec/link_api.h"

// A scripted terminal behind a LinkApi of plain functions: each line read takes the next scripted reply
// at once (std::nullopt, or an empty script, is a read time-out), and every line written is recorded.
// Only one FakeLink may be alive at a time: the function table reaches it through a static pointer.
class FakeLink {
public:
    FakeLink() {
        current_ = this;
        api_.vbOpenIrCom = &Open;
        api_.ClearIrCom = &Clear;
        api_.WriteIrCom = &Write;
        api_.vbReadIrCom = &Read;
        api_.CloseIrCom = &Close;
    }
    ~FakeLink() { current_ = nullptr; }
    FakeLink(const FakeLink&) = delete;
    FakeLink& operator=(const FakeLink&) = delete;

    const LinkApi* Api() const { return &api_; }

    // Queues terminal lines (without CR).
    void Reply(const std::string& line) { replies.push_back(line); }
    void Silence(int reads = 1) {
        for (int i = 0; i < reads; ++i) {
            replies.push_back(std::nullopt);
        }
    }

    // Lines the PC wrote, without CR.
    std::vector<std::string> Written() const { return written; }
    int CountWritten(const std::string& line) const {
        int n = 0;
        for (const auto& w : written) {
            n += w == line ? 1 : 0;
        }
        return n;
    }

    std::deque<std::optional<std::string>> replies;
    std::vector<std::string> written;
    // Both directions in order: "PC " or "T " followed by the line (a time-out shows as "T <none>").
    std::vector<std::string> transcript;
    int32_t openResult = 1;
    int opens = 0;
    int closes = 0;
    int clears = 0;
    int reads = 0;
    int32_t openPort = 0, openSpeed = 0, openMode = 0;
    // Called when a read finds the script empty (before it times out): a test stops the run here.
    std::function<void()> onScriptEnd;

private:
    static int32_t Open(int32_t port, int32_t speed, int32_t mode) {
        ++current_->opens;
        current_->openPort = port;
        current_->openSpeed = speed;
        current_->openMode = mode;
        return current_->openResult;
    }
    static int32_t Clear() {
        ++current_->clears;
        return 0;
    }
    static int32_t Write(const char* text) {
        std::string line(text);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        current_->written.push_back(line);
        current_->transcript.push_back("PC " + line);
        return 1;
    }
    static int32_t Read(char* buffer) {
        FakeLink& self = *current_;
        ++self.reads;
        if (self.replies.empty()) {
            if (self.onScriptEnd) {
                self.onScriptEnd();
            }
            self.transcript.push_back("T <none>");
            return -1;
        }
        const std::optional<std::string> reply = self.replies.front();
        self.replies.pop_front();
        if (!reply) {
            self.transcript.push_back("T <none>");
            return -1;
        }
        self.transcript.push_back("T " + *reply);
        const std::string bytes = *reply + "\r";
        std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
        return static_cast<int32_t>(bytes.size());
    }
    static int32_t Close() {
        ++current_->closes;
        return 0;
    }

    static inline FakeLink* current_ = nullptr;
    LinkApi api_;
};
