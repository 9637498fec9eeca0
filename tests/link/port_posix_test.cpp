// The POSIX port on a real pseudo-terminal, through system calls that stall the way a hung USB converter
// does (output that never drains, a close that would sit out the driver's closing delay) or fail the way a
// failing one does, and a driver that takes or refuses low latency.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "port_posix.h"
#include "serial_link.h"

namespace {

using quorlin::Clock;
using Millis = std::chrono::milliseconds;

// The system's calls, except that output drains only as far as `drains_after_checks` says, a drain with
// the settings (TCSADRAIN) waits as long as the output does, close() takes `close_takes`, reads fail with
// `read_error` (poll then reports input, and no hang-up), and the driver takes low latency or not.
class FakeCalls final : public quorlin::DeviceCalls {
public:
    int pending = 100;             // what TIOCOUTQ reports
    int drains_after_checks = -1;  // -1: never drains; n: reports 0 from the n-th check on
    Millis close_takes{0};
    int read_error = 0;
    bool low_latency_taken = false;

    ssize_t Read(int fd, char* buffer, std::size_t capacity) override {
        Note("read");
        if (read_error != 0) {
            errno = read_error;
            return -1;
        }
        return read(fd, buffer, capacity);
    }
    int Poll(pollfd* fds, nfds_t count, const timespec* timeout) override {
        if (read_error != 0) {
            fds[0].revents = static_cast<short>(fds[0].events & POLLIN);
            return 1;
        }
        return ppoll(fds, count, timeout, nullptr);
    }
    void SetExclusive(int, bool on) override { Note(on ? "exclusive" : "shared"); }
    bool RequestLowLatency(int) override {
        Note("low latency");
        return low_latency_taken;
    }
    void EndLowLatency(int) override { Note("normal latency"); }
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
         {"pending", "discard output", "restore now", "shared", "close"}, Millis(200), Millis(300)},
        {"close_that_would_sit_out_the_closing_delay", -1, Millis(2000),
         {"pending", "discard output", "restore now", "shared", "close"}, Millis(200), Millis(350)},
        // Drained by the second look, after the 104 ms the bytes need: nothing is discarded.
        {"output_that_drains_in_time", 1, Millis(0),
         {"pending", "restore now", "shared", "close"}, Millis(100), Millis(150)},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int master = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        FakeCalls calls;
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
        std::vector<std::string> expected = {"exclusive", "low latency"};
        expected.insert(expected.end(), c.calls.begin(), c.calls.end());
        EXPECT_EQ(calls.Calls(), expected);
        close(master);
    }
}

// The port takes the device for itself when it adopts it, before anything is read, and hands back at
// close what it changed; a driver that refuses low latency changes nothing else. A port that never took
// a speed closes at once.
TEST(PortClose, ExclusiveUseAndLowLatencyLastFromAdoptionToClose) {
    for (const bool taken : {true, false}) {
        SCOPED_TRACE(taken ? "low latency taken" : "low latency refused");
        int master = -1;
        int slave = -1;
        ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        FakeCalls calls;
        calls.low_latency_taken = taken;
        std::unique_ptr<quorlin::SerialPort> port = quorlin::AdoptDevice(slave, calls);
        ASSERT_EQ(write(master, "x\n", 2), 2);
        char line[8] = {};
        const quorlin::ReadResult read = port->ReadNow(line, sizeof line);
        EXPECT_EQ(read.status, quorlin::ReadResult::Status::kData);
        EXPECT_STREQ(line, "x\n");
        const auto start = Clock::now();
        port.reset();
        EXPECT_LT(Clock::now() - start, Millis(60));
        EXPECT_TRUE(calls.WaitClosed());
        std::vector<std::string> expected = {"exclusive", "low latency", "read", "restore now"};
        if (taken) {
            expected.push_back("normal latency");
        }
        expected.insert(expected.end(), {"shared", "close"});
        EXPECT_EQ(calls.Calls(), expected);
        close(master);
    }
}

// The platform of a link whose one port is `fd` adopted with `calls`, on the real clock.
class AdoptingPlatform final : public quorlin::Platform {
public:
    AdoptingPlatform(int fd, quorlin::DeviceCalls& calls) : fd_(fd), calls_(calls) {}
    std::unique_ptr<quorlin::SerialPort> OpenPort(int32_t) override {
        return quorlin::AdoptDevice(fd_, calls_);
    }
    Clock::time_point Now() override { return real_.Now(); }
    void SleepUntil(Clock::time_point when) override { real_.SleepUntil(when); }

private:
    int fd_;
    quorlin::DeviceCalls& calls_;
    quorlin::PosixPlatform real_;
};

// A failing USB converter: its reads fail with EIO while poll reports input and no hang-up. The device
// is gone all the same: the line read (vbReadIrCom) times out and the state (IrComState) says so.
TEST(PortRead, EioWithoutAHangUpIsAGoneDevice) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FakeCalls calls;
    calls.pending = 0;
    AdoptingPlatform platform(slave, calls);
    quorlin::SerialLink link(platform);
    ASSERT_EQ(link.Open(1, 9600, 0), quorlin::SerialLink::kOpened);
    EXPECT_EQ(link.State(), 1);
    calls.read_error = EIO;
    EXPECT_EQ(link.ReadLine(), -1);
    EXPECT_EQ(link.State(), -1);
    link.Close();
    EXPECT_TRUE(calls.WaitClosed());
    close(master);
}

}  // namespace
