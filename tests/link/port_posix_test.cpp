// Closing a port never blocks: through system calls that stall the way a hung USB converter does (output
// that never drains, a close that would sit out the driver's closing delay), on a real pseudo-terminal.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port_posix.h"

namespace {

using quorlin::Clock;
using Millis = std::chrono::milliseconds;

// The system's calls, except that output drains only as far as `drains_after_checks` says, a drain with
// the settings (TCSADRAIN) waits as long as the output does, and close() takes `close_takes`.
class StallingCalls final : public quorlin::CloseCalls {
public:
    int pending = 100;             // what TIOCOUTQ reports
    int drains_after_checks = -1;  // -1: never drains; n: reports 0 from the n-th check on
    Millis close_takes{0};

    int PendingOutput(int) override {
        Note("pending");
        ++checks_;
        return drains_after_checks >= 0 && checks_ > drains_after_checks ? 0 : pending;
    }
    void DiscardOutput(int) override { Note("discard output"); }
    void SetAttributes(int fd, int when, const termios& settings) override {
        Note(when == TCSANOW ? "restore now" : "restore after drain");
        if (when != TCSANOW && drains_after_checks < 0) {
            std::this_thread::sleep_for(Millis(3000));  // the drain that never finishes, cut short
        }
        tcsetattr(fd, TCSANOW, &settings);
    }
    void Close(int fd) override {
        Note("close");
        std::this_thread::sleep_for(close_takes);
        close(fd);
        closed_ = true;
    }
    Clock::time_point Now() override { return Clock::now(); }
    void SleepUntil(Clock::time_point when) override { std::this_thread::sleep_until(when); }

    // The calls made, repeated pending checks shown once.
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    bool WaitClosed() {
        for (int i = 0; i < 500 && !closed_; ++i) {
            std::this_thread::sleep_for(Millis(10));
        }
        return closed_;
    }

private:
    void Note(const std::string& call) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (calls_.empty() || calls_.back() != call) {
            calls_.push_back(call);
        }
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
    int checks_ = 0;
    std::atomic<bool> closed_{false};
};

TEST(PortClose, NeverWaitsLongerThanThePendingOutputNeedsOnTheWire) {
    struct Case {
        const char* name;
        int drains_after_checks;
        Millis close_takes;
        std::vector<std::string> calls;
        Millis at_least;
        Millis at_most;
    };
    // 100 bytes at 9600 bit/s take 104 ms on the wire; with the margin closing may wait 204 ms for them.
    // clang-format off
    const Case cases[] = {
        {"output_that_never_drains", -1, Millis(0),
         {"pending", "discard output", "restore now", "close"}, Millis(200), Millis(300)},
        {"close_that_would_sit_out_the_closing_delay", -1, Millis(2000),
         {"pending", "discard output", "restore now", "close"}, Millis(200), Millis(350)},
        // Drained by the second look, after the 104 ms the bytes need: nothing is discarded.
        {"output_that_drains_in_time", 1, Millis(0),
         {"pending", "restore now", "close"}, Millis(100), Millis(150)},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int master = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        StallingCalls calls;
        calls.drains_after_checks = c.drains_after_checks;
        calls.close_takes = c.close_takes;
        {
            std::unique_ptr<quorlin::SerialPort> port = quorlin::AdoptDevice(slave, calls);
            ASSERT_TRUE(port->Apply({9600, true}));
            const auto start = Clock::now();
            port.reset();
            const auto took = std::chrono::duration_cast<Millis>(Clock::now() - start);
            EXPECT_GE(took, c.at_least);
            EXPECT_LE(took, c.at_most);
        }
        EXPECT_TRUE(calls.WaitClosed());
        EXPECT_EQ(calls.Calls(), c.calls);
        close(master);
    }
}

TEST(PortClose, APortThatNeverTookASpeedClosesAtOnce) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    StallingCalls calls;
    const auto start = Clock::now();
    quorlin::AdoptDevice(slave, calls).reset();
    EXPECT_LT(Clock::now() - start, Millis(60));
    EXPECT_TRUE(calls.WaitClosed());
    EXPECT_EQ(calls.Calls(), (std::vector<std::string>{"restore now", "close"}));
    close(master);
}

}  // namespace
