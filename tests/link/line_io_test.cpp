// Line reads, writes and purge on a real pseudo-terminal; the test plays the terminal on the master.
#include <poll.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "pty_peer.h"
#include "quorlin_copy.h"

namespace {

constexpr int kPort = 20;

Millis Since(SteadyClock::time_point start) {
    return std::chrono::duration_cast<Millis>(SteadyClock::now() - start);
}

Millis ThreadCpuTime() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return Millis(ts.tv_sec * 1000 + ts.tv_nsec / 1000000);
}

// What vbReadIrCom gave back, and whether it kept to the 256 bytes it may write.
struct Read {
    int32_t result;
    std::string text;
    Millis took;
    bool stayed_in_bounds;
};

class LineIo : public testing::Test {
protected:
    void SetUp() override {
        pty_ = std::make_unique<PtyPeer>();
        q.MapPort(kPort, pty_->slave_path());
        ASSERT_EQ(q.vbOpenIrCom(kPort, 115200, 0), 1);
    }
    void TearDown() override {
        q.CloseIrCom();
        q.MapPort(kPort, "");
    }

    Read ReadLine() {
        char buffer[400];
        std::memset(buffer, '#', sizeof buffer);
        const auto start = SteadyClock::now();
        Read read{};
        read.result = q.vbReadIrCom(buffer);
        read.took = Since(start);
        if (read.result >= 0) {
            read.text = std::string(buffer, static_cast<std::size_t>(read.result));
            EXPECT_EQ(buffer[read.result], '\0');
        } else {
            EXPECT_EQ(buffer[0], '#') << "a timed-out read must leave the buffer alone";
        }
        read.stayed_in_bounds = std::string(buffer + 256, sizeof buffer - 256) == std::string(144, '#');
        return read;
    }

    QuorlinCopy& q = QuorlinCopy::Get();
    std::unique_ptr<PtyPeer> pty_;
};

using Script = std::vector<std::pair<Millis, std::string>>;

struct LineCase {
    const char* name;
    Script script;
    std::string line;
};

class LineArrival : public LineIo, public testing::WithParamInterface<LineCase> {};

TEST_P(LineArrival, IsReadAsOneLine) {
    TimedSender sender(*pty_, GetParam().script);
    const Read read = ReadLine();
    EXPECT_EQ(read.result, static_cast<int32_t>(GetParam().line.size()));
    EXPECT_EQ(read.text, GetParam().line);
    EXPECT_TRUE(read.stayed_in_bounds);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, LineArrival,
    testing::Values(
        LineCase{"whole", {{Millis(0), "VOL\r"}}, "VOL\r"},
        LineCase{"empty_line_has_length_one", {{Millis(0), "\r"}}, "\r"},
        LineCase{"slow_pieces",
                 {{Millis(20), "^#12"}, {Millis(120), "34@5"}, {Millis(220), "*3A\r"}},
                 "^#1234@5*3A\r"},
        LineCase{"longer_than_one_read",
                 {{Millis(0), std::string(230, 'r') + "\r"}},
                 std::string(230, 'r') + "\r"},
        LineCase{"longest_line", {{Millis(0), std::string(254, 'm') + "\r"}}, std::string(254, 'm') + "\r"},
        LineCase{"two_lines_together_are_one", {{Millis(0), "ACK\rEND\r"}}, "ACK\rEND\r"}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST_F(LineIo, ACrAfterTheTimeOutLosesTheLineAndTheTailComesNext) {
    TimedSender sender(*pty_, {{Millis(50), "abc"}, {Millis(900), "def\r"}});
    const Read late = ReadLine();
    EXPECT_EQ(late.result, -1);
    EXPECT_GE(late.took, Millis(450));
    const Read next = ReadLine();
    EXPECT_EQ(next.result, 4);
    EXPECT_EQ(next.text, "def\r");  // "abc" went with the time-out
}

TEST_F(LineIo, NothingArrivingIsATimeOutAfterHalfASecond) {
    const Read read = ReadLine();
    EXPECT_EQ(read.result, -1);
    EXPECT_GE(read.took, Millis(490));
    EXPECT_LT(read.took, Millis(1500));
}

struct OverLongCase {
    const char* name;
    Script script;
    int timed_out_reads;  // reads that report a time-out before "NEXT\r" comes through
};

class OverLongLine : public LineIo, public testing::WithParamInterface<OverLongCase> {};

TEST_P(OverLongLine, IsDiscardedAndTheNextLineReadsCleanly) {
    TimedSender sender(*pty_, GetParam().script);
    for (int i = 0; i < GetParam().timed_out_reads; ++i) {
        SCOPED_TRACE(i);
        const Read read = ReadLine();
        EXPECT_EQ(read.result, -1);
        EXPECT_TRUE(read.stayed_in_bounds);
    }
    const Read next = ReadLine();
    EXPECT_EQ(next.text, "NEXT\r");
    EXPECT_TRUE(next.stayed_in_bounds);
}

INSTANTIATE_TEST_SUITE_P(
    Discards, OverLongLine,
    testing::Values(
        OverLongCase{
            "one_byte_too_many", {{Millis(0), std::string(255, 'o') + "\r"}, {Millis(300), "NEXT\r"}}, 1},
        OverLongCase{"far_too_long", {{Millis(0), std::string(700, 'o') + "\r"}, {Millis(300), "NEXT\r"}}, 1},
        OverLongCase{"next_line_in_the_same_burst", {{Millis(0), std::string(300, 'o') + "\rNEXT\r"}}, 1},
        // The over-long line's CR comes after the first read has given up: the second read goes on
        // discarding up to it.
        OverLongCase{"cr_after_the_time_out",
                     {{Millis(0), std::string(300, 'o')}, {Millis(650), "ooo\r"}, {Millis(800), "NEXT\r"}},
                     2}),
    [](const testing::TestParamInfo<OverLongCase>& info) { return std::string(info.param.name); });

TEST_F(LineIo, AHangUpIsATimeOutWithoutSpinning) {
    pty_->Send("par");
    std::this_thread::sleep_for(Millis(50));
    pty_->HangUp();
    const Millis cpu_before = ThreadCpuTime();
    const Read read = ReadLine();
    const Millis cpu = ThreadCpuTime() - cpu_before;
    EXPECT_EQ(read.result, -1);
    EXPECT_GE(read.took, Millis(450));
    EXPECT_LT(cpu, Millis(150)) << "the read spun instead of sleeping";
    // The next read behaves the same, and the write and purge fail without hanging.
    EXPECT_EQ(ReadLine().result, -1);
    EXPECT_EQ(q.WriteIrCom("ACK\r"), 0);
    EXPECT_EQ(q.ClearIrCom(), 0);
}

TEST_F(LineIo, AGoneDeviceIsToldApartFromASilentOne) {
    // Silence, a timed-out read and a write nobody reads leave the port usable.
    EXPECT_EQ(q.IrComState(), 1);
    EXPECT_EQ(ReadLine().result, -1);
    EXPECT_EQ(q.WriteIrCom("VOL\r"), 1);
    EXPECT_EQ(q.IrComState(), 1);

    pty_->HangUp();
    EXPECT_EQ(q.IrComState(), -1);
    // The line operations keep their contracts on a gone device, and it stays gone.
    const Read read = ReadLine();
    EXPECT_EQ(read.result, -1);
    EXPECT_GE(read.took, Millis(450));
    EXPECT_EQ(q.WriteIrCom("VOL\r"), 0);
    EXPECT_EQ(q.IrComState(), -1);

    EXPECT_EQ(q.CloseIrCom(), 1);
    EXPECT_EQ(q.IrComState(), 0);
    // The device comes back as a new one behind the same port name.
    pty_ = std::make_unique<PtyPeer>();
    q.MapPort(kPort, pty_->slave_path());
    ASSERT_EQ(q.vbOpenIrCom(kPort, 115200, 0), 1);
    EXPECT_EQ(q.IrComState(), 1);
    pty_->Send("back\r");
    EXPECT_EQ(ReadLine().text, "back\r");
}

TEST_F(LineIo, PurgeOnAQuietPortReturnsAtOnce) {
    const auto start = SteadyClock::now();
    EXPECT_EQ(q.ClearIrCom(), 0);
    EXPECT_LT(Since(start), Millis(250));
}

TEST_F(LineIo, PurgeDiscardsWhatHasArrived) {
    pty_->Send("stale\rjunk");
    std::this_thread::sleep_for(Millis(100));
    EXPECT_EQ(q.ClearIrCom(), 0);
    pty_->Send("fresh\r");
    EXPECT_EQ(ReadLine().text, "fresh\r");
}

TEST_F(LineIo, WritesGoOutWholeAndNotBeforeTwoMilliseconds) {
    for (const std::string& text :
         std::vector<std::string>{"VOL\r", "ACK\r", "\r", std::string(300, 'w') + "\r"}) {
        SCOPED_TRACE(text.size());
        const auto start = SteadyClock::now();
        auto arrival = std::async(std::launch::async, [&] {
            pollfd pfd{pty_->master(), POLLIN, 0};
            poll(&pfd, 1, 3000);
            const auto arrived = SteadyClock::now();
            return std::make_pair(arrived, pty_->Receive(text.size(), Millis(1000)));
        });
        EXPECT_EQ(q.WriteIrCom(text.c_str()), 1);
        const auto [arrived, bytes] = arrival.get();
        EXPECT_EQ(bytes, text);
        EXPECT_GE(arrived - start, Millis(2));
        EXPECT_LT(arrived - start, Millis(1000));
    }
}

TEST_F(LineIo, WriteStopsAtTheNulAndAddsNothing) {
    EXPECT_EQ(q.WriteIrCom("AB\0CD"), 1);
    EXPECT_EQ(pty_->Receive(5, Millis(200)), "AB");
    EXPECT_EQ(q.WriteIrCom(""), 1);
    EXPECT_EQ(pty_->Receive(1, Millis(100)), "");
    EXPECT_EQ(q.WriteIrCom(nullptr), 0);
}

TEST_F(LineIo, ReadIrComHandsOutTheLibraryBuffer) {
    pty_->Send("abc\r");
    char* first = q.ReadIrCom();
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "abc\r");
    pty_->Send("de\r");
    char* second = q.ReadIrCom();
    EXPECT_EQ(second, first);
    EXPECT_STREQ(second, "de\r");
    EXPECT_EQ(q.ReadIrCom(), nullptr);  // time-out
}

TEST_F(LineIo, EveryOperationOnAClosedPortFailsCleanly) {
    EXPECT_EQ(q.CloseIrCom(), 1);
    EXPECT_EQ(q.CloseIrCom(), 0);
    EXPECT_EQ(q.IrComState(), 0);
    EXPECT_EQ(q.WriteIrCom("VOL\r"), 0);
    const auto start = SteadyClock::now();
    EXPECT_EQ(q.ClearIrCom(), 0);
    EXPECT_LT(Since(start), Millis(250));
    pty_->Send("ignored\r");
    const Read read = ReadLine();  // a read on no port times out like a silent line
    EXPECT_EQ(read.result, -1);
    EXPECT_GE(read.took, Millis(450));
    EXPECT_EQ(q.ReadIrCom(), nullptr);
    EXPECT_EQ(q.vbReadIrCom(nullptr), -1);
}

}  // namespace
