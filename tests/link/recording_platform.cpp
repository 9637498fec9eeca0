#include "recording_platform.h"

#include <cstdio>
#include <utility>

namespace {

using quorlin::Clock;
using quorlin::ReadResult;
using quorlin::WaitResult;
using quorlin::WriteOutcome;

// The adapter's speed codes.
int32_t SpeedOfCode(char code) {
    static constexpr std::pair<char, int32_t> kCodes[] = {
        {'2', 9600}, {'3', 19200}, {'4', 38400}, {'5', 57600}, {'6', 115200}};
    for (const auto& [c, speed] : kCodes) {
        if (c == code) {
            return speed;
        }
    }
    return 0;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        char two[4];
        std::snprintf(two, sizeof two, "%s%02X", out.empty() ? "" : " ", static_cast<unsigned char>(c));
        out += two;
    }
    return out;
}

class RecordingPort final : public quorlin::SerialPort {
public:
    explicit RecordingPort(RecordingPlatform& p) : p_(p) {}
    ~RecordingPort() override { p_.log.push_back("close"); }

    bool Apply(const quorlin::LineSettings& settings) override {
        if (settings.bits_per_second != p_.line_speed) {
            p_.log.push_back("speed " + std::to_string(settings.bits_per_second));
            p_.line_speed = settings.bits_per_second;
        }
        if (!p_.dtr) {
            p_.log.push_back("DTR on");
            p_.dtr = true;
        }
        if (settings.rts != p_.rts) {
            p_.log.push_back(settings.rts ? "RTS on" : "RTS off");
            p_.rts = settings.rts;
        }
        return true;
    }

    ReadResult ReadNow(char* buffer, std::size_t capacity) override {
        if (p_.read_status != ReadResult::Status::kNothing) {
            return {p_.read_status, 0};
        }
        if (p_.input.empty() || p_.input.front().at > p_.now) {
            return {ReadResult::Status::kNothing, 0};
        }
        std::string& bytes = p_.input.front().bytes;
        const std::size_t n = std::min(capacity, bytes.size());
        bytes.copy(buffer, n);
        bytes.erase(0, n);
        if (bytes.empty()) {
            p_.input.pop_front();
        }
        return {ReadResult::Status::kData, n};
    }

    WaitResult WaitForInput(Clock::time_point deadline) override {
        if (p_.wait_result.gone || p_.wait_result.failed) {
            return p_.wait_result;
        }
        if (!p_.input.empty() && p_.input.front().at <= deadline) {
            p_.now = std::max(p_.now, p_.input.front().at);
            return {.readable = true};
        }
        p_.now = std::max(p_.now, deadline);
        return {.timed_out = true};
    }

    WriteOutcome WriteAll(const char* data, std::size_t size, Clock::time_point) override {
        const std::string bytes(data, size);
        p_.log.push_back("write " + Hex(bytes));
        if (p_.write_outcome != WriteOutcome::kWritten) {
            return p_.write_outcome;
        }
        // The adapter takes bytes as commands only with RTS off and at its own speed.
        if (p_.adapter_speed != 0 && !p_.rts && p_.line_speed == p_.adapter_speed) {
            for (const char c : bytes) {
                Command(c);
            }
        }
        return WriteOutcome::kWritten;
    }

    void DiscardInput() override {
        p_.log.push_back("discard input");
        while (!p_.input.empty() && p_.input.front().at <= p_.now) {
            p_.input.pop_front();
        }
    }

    bool Gone() override { return p_.gone_when_asked; }

private:
    void Command(char c) {
        using C = RecordingPlatform::Command;
        switch (p_.command) {
            case C::kNone:
                if (c == 0x0F) {
                    p_.Arrive(p_.now + p_.echo_delay, std::string(1, c));
                } else if (c == 0x07) {
                    p_.command = C::kCode;
                }
                return;
            case C::kCode:
                p_.pending_speed = SpeedOfCode(c);
                p_.command = p_.pending_speed != 0 ? C::kEnd : C::kNone;
                return;
            case C::kEnd:
                if (c == 'Q') {
                    p_.adapter_speed = p_.pending_speed;
                }
                p_.command = C::kNone;
                return;
        }
    }

    RecordingPlatform& p_;
};

}  // namespace

std::unique_ptr<quorlin::SerialPort> RecordingPlatform::OpenPort(int32_t number) {
    log.push_back("open COM" + std::to_string(number));
    if (!device_present) {
        return nullptr;
    }
    return std::make_unique<RecordingPort>(*this);
}

void RecordingPlatform::SleepUntil(Clock::time_point when) {
    if (when > now) {
        log.push_back("sleep " + std::to_string(Ms(when - now)));
        now = when;
    }
}
