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
//
// Without WithState() the table lacks IrComState, like an older library. With it, the script can pull the
// cradle's plug (Unplug at a read, unplugAtWrite for a write): from then on reads time out, writes fail and
// IrComState says -1, until `failedReopens` opens have failed; the next open finds the device again.
// goneAfterWrite pulls it right after a write that went out.
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

    // Binds IrComState, as a library that can tell a gone device does.
    FakeLink& WithState() {
        api_.IrComState = &State;
        return *this;
    }
    // The device goes away when the PC reads this far into the script.
    void Unplug() { replies.push_back(std::string(kUnplugMark)); }

    // Queues terminal lines (without CR).
    void Reply(const std::string& line) { replies.push_back(line); }
    void Silence(int reads = 1) {
        for (int i = 0; i < reads; ++i) {
            replies.push_back(std::nullopt);
        }
    }

    // Lines the PC wrote (or tried to), without CR.
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
    // Port calls in order: "open 1" (the result), "close", "state -1", "clear".
    std::vector<std::string> portEvents;
    bool open = false;
    bool gone = false;
    int failedReopens = 0;   // opens that fail after an unplug before the device is back
    int unplugAtWrite = 0;   // the write with this number (from 1) unplugs the device and fails
    int goneAfterWrite = 0;  // the write with this number (from 1) goes out, then the device is gone
    int writes = 0;
    // Called when a read finds the script empty (before it times out): a test stops the run here.
    std::function<void()> onScriptEnd;
    // Called when an open fails because the device is still gone: a test stops the wait for it here.
    std::function<void()> onFailedReopen;

private:
    static constexpr const char* kUnplugMark = "\x01unplug";

    static int32_t Open(int32_t port, int32_t speed, int32_t mode) {
        FakeLink& self = *current_;
        ++self.opens;
        self.openPort = port;
        self.openSpeed = speed;
        self.openMode = mode;
        int32_t result = self.openResult;
        if (self.gone && self.failedReopens > 0) {
            --self.failedReopens;
            result = 0;
            if (self.onFailedReopen) {
                self.onFailedReopen();
            }
        } else if (self.gone) {
            self.gone = false;
            result = 1;
        }
        self.open = result == 1;
        self.portEvents.push_back("open " + std::to_string(result));
        return result;
    }
    static int32_t Clear() {
        ++current_->clears;
        return 0;
    }
    static int32_t State() {
        FakeLink& self = *current_;
        const int32_t state = self.gone ? -1 : (self.open ? 1 : 0);
        self.portEvents.push_back("state " + std::to_string(state));
        return state;
    }
    static int32_t Write(const char* text) {
        FakeLink& self = *current_;
        std::string line(text);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (++self.writes == self.unplugAtWrite) {
            self.gone = true;
        }
        // Every line the PC tried to send is in `written`; the transcript marks those that went nowhere.
        self.written.push_back(line);
        if (self.gone || !self.open) {
            self.transcript.push_back("PC " + line + " <lost>");
            return 0;
        }
        self.transcript.push_back("PC " + line);
        self.gone = self.writes == self.goneAfterWrite;
        return 1;
    }
    static int32_t Read(char* buffer) {
        FakeLink& self = *current_;
        // The safety net of a run that never ends (the largest script is read about 33,000 times).
        if (++self.reads > 200000 && self.onScriptEnd) {
            self.onScriptEnd();
        }
        const bool wasGone = self.gone;
        if (!self.replies.empty() && self.replies.front() == std::string(kUnplugMark)) {
            self.replies.pop_front();
            self.gone = true;
        }
        if (self.gone) {
            // A PC that goes on reading a gone device meets the end of the script too.
            if (wasGone && self.replies.empty() && self.onScriptEnd) {
                self.onScriptEnd();
            }
            self.transcript.push_back("T <gone>");
            return -1;
        }
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
        current_->open = false;
        current_->portEvents.push_back("close");
        return 0;
    }

    static inline FakeLink* current_ = nullptr;
    LinkApi api_;
};
