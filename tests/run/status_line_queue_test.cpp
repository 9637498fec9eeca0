// The status-line queue on real pipes, sockets, pseudo-terminals and files.

#include "run/status_line_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }
    void Close() {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = -1;
    }
};

// A pair of descriptors: [0] is read by the test (or not at all), [1] is given to the queue.
struct Channel {
    Fd read;
    Fd write;
};

Channel SmallPipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // One page: a few dozen lines fill it, so the test sees a stall without writing megabytes.
    ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
    Channel channel;
    channel.read.fd = fds[0];
    channel.write.fd = fds[1];
    return channel;
}

Channel SmallSocket() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    const int size = 4096;
    ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    Channel channel;
    channel.read.fd = fds[0];
    channel.write.fd = fds[1];
    return channel;
}

Channel PseudoTerminal() {
    int master = -1;
    int slave = -1;
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    Channel channel;
    channel.read.fd = master;
    channel.write.fd = slave;
    return channel;
}

// Reads what arrives on `fd` until `done` is set and nothing more comes.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd), thread_([this] { Loop(); }) {}
    ~Reader() { Stop(); }
    std::string Stop() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return text_;
    }

private:
    void Loop() {
        char buffer[4096];
        while (true) {
            pollfd p{fd_, POLLIN, 0};
            const int n = ::poll(&p, 1, 50);
            if (n > 0 && (p.revents & POLLIN) != 0) {
                const ssize_t got = ::read(fd_, buffer, sizeof buffer);
                if (got > 0) {
                    text_.append(buffer, static_cast<size_t>(got));
                    continue;
                }
            }
            if (done_ || (n > 0 && (p.revents & POLLIN) == 0)) {
                return;
            }
        }
    }
    int fd_;
    std::atomic<bool> done_ = false;
    std::string text_;
    std::thread thread_;
};

// 64 bytes with the line feed by default: a page holds 64 of them.
std::string NumberedLine(int i, size_t width = 63) {
    std::string text = "line " + std::to_string(i) + " ";
    text.resize(width, '.');
    return text;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Fills the channel's buffer until a write would block, so the queue meets a stalled reader from its
// first line on. The filler is '#' bytes; returns how many.
size_t FillUntilStalled(int fd) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    Fd own(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    const bool socket = own.fd < 0;
    const std::string chunk(256, '#');
    size_t total = 0;
    while (true) {
        const ssize_t n = socket ? ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT)
                                 : ::write(own.fd, chunk.data(), chunk.size());
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        // A terminal moves its buffer on to the other side a little later: full means full for a while.
        pollfd p{socket ? fd : own.fd, POLLOUT, 0};
        if (::poll(&p, 1, 200) == 0) {
            break;
        }
    }
    EXPECT_GT(total, 0u);
    return total;
}

// The lines 0..count-1 in order, with a notice at each gap; the notices add up to `dropped`, never 0.
void ExpectEveryGapNoticed(const std::vector<std::string>& lines, int count, uint64_t dropped,
                           size_t width = 63) {
    int expected = 0;
    uint64_t noticed = 0;
    for (const std::string& line : lines) {
        unsigned long long gap = 0;
        char tail[64] = {};
        if (std::sscanf(line.c_str(), "(%llu status lines dropped: standard output did not drain%63s", &gap,
                        tail) == 2) {
            EXPECT_EQ(line,
                      "(" + std::to_string(gap) + " status lines dropped: standard output did not drain)");
            expected += static_cast<int>(gap);
            noticed += gap;
            continue;
        }
        EXPECT_TRUE(line == NumberedLine(expected, width))
            << "a line lost without a notice, or out of order: " << line.substr(0, 12) << "... where line "
            << expected << " was due";
        ++expected;
    }
    EXPECT_EQ(expected, count);
    EXPECT_EQ(noticed, dropped);
    EXPECT_GT(noticed, 0u);
}

int OriginalFlags(int fd) {
    return ::fcntl(fd, F_GETFL);
}

}  // namespace

TEST(StatusLineQueue, WritesLinesInOrderWithLineFeeds) {
    Channel pipe = SmallPipe();
    Reader reader(pipe.read.fd);
    {
        StatusLineQueue queue(pipe.write.fd);
        queue.Push("2026-12-08 00:00:00.000 COM1 9600bps");
        queue.Push("");
        queue.Push("ｵｰﾌﾟﾝ成功");
        ASSERT_TRUE(queue.Flush(5s));
        EXPECT_EQ(queue.DroppedLines(), 0u);
    }
    EXPECT_EQ(reader.Stop(), "2026-12-08 00:00:00.000 COM1 9600bps\n\nｵｰﾌﾟﾝ成功\n");
}

// A reader that stops reading: Push keeps returning, the queue drops what does not fit, and once the
// reader reads again each gap is marked, at its place, with the number of lines lost there.
TEST(StatusLineQueue, StalledPipeDropsLinesAndReportsEachGapOnceDrained) {
    Channel pipe = SmallPipe();
    const size_t filler = FillUntilStalled(pipe.write.fd);
    StatusLineQueue queue(pipe.write.fd, 8);
    constexpr int kLines = 2000;
    for (int i = 0; i < kLines; ++i) {
        queue.Push(NumberedLine(i));
    }
    EXPECT_FALSE(queue.Flush(100ms));
    // Eight queued and (once it has started) one in the writer's hands: the rest was dropped.
    EXPECT_GE(queue.DroppedLines(), static_cast<uint64_t>(kLines - 9));
    EXPECT_LE(queue.DroppedLines(), static_cast<uint64_t>(kLines - 8));  // the writer had not started

    Reader reader(pipe.read.fd);
    ASSERT_TRUE(queue.Flush(10s));
    queue.Push(NumberedLine(kLines));
    ASSERT_TRUE(queue.Flush(10s));
    const uint64_t dropped = queue.DroppedLines();
    pipe.write.Close();
    const std::string text = reader.Stop();
    ASSERT_EQ(text.substr(0, filler), std::string(filler, '#'));
    ExpectEveryGapNoticed(SplitLines(text.substr(filler)), kLines + 1, dropped);
}

// The writer lets one line out and stalls again while lines are being dropped: the next line that finds
// room in the queue brings the notice of the gap before it, and the notices still add up exactly.
TEST(StatusLineQueue, GapNoticedByAPushWhileTheWriterStallsAgain) {
    Channel pipe = SmallPipe();
    const size_t filler = FillUntilStalled(pipe.write.fd);
    StatusLineQueue queue(pipe.write.fd, 4);
    // Lines of most of a page: the pipe takes one of them and is full again.
    constexpr size_t kWidth = 4000;
    int pushed = 0;
    for (; pushed < 20; ++pushed) {
        queue.Push(NumberedLine(pushed, kWidth));
    }
    std::string text;
    text.resize(filler);
    for (size_t got = 0; got < filler;) {
        const ssize_t n = ::read(pipe.read.fd, text.data() + got, filler - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    ASSERT_EQ(text, std::string(filler, '#'));
    for (; pushed < 40; ++pushed) {
        std::this_thread::sleep_for(10ms);
        queue.Push(NumberedLine(pushed, kWidth));
    }
    Reader reader(pipe.read.fd);
    ASSERT_TRUE(queue.Flush(10s));
    const uint64_t dropped = queue.DroppedLines();
    pipe.write.Close();
    ExpectEveryGapNoticed(SplitLines(reader.Stop()), pushed, dropped, kWidth);
}

// Whatever kind of descriptor stalls, neither Push nor the destructor waits for it, and the inherited
// description keeps its blocking mode (other processes share it).
TEST(StatusLineQueue, StalledOutputNeverHoldsPushOrDestructor) {
    struct Case {
        const char* name;
        Channel (*make)();
    };
    const Case cases[] = {{"pipe", SmallPipe}, {"socket", SmallSocket}, {"pseudo-terminal", PseudoTerminal}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Channel channel = c.make();
        FillUntilStalled(channel.write.fd);
        const int flagsBefore = OriginalFlags(channel.write.fd);
        {
            // A destructor that waited for the reader would hang here (the test's time-out catches it).
            StatusLineQueue queue(channel.write.fd, 16);
            for (int i = 0; i < 5000; ++i) {
                queue.Push(NumberedLine(i));
            }
            EXPECT_FALSE(queue.Flush(50ms));
            EXPECT_GT(queue.DroppedLines(), 0u);
            EXPECT_EQ(OriginalFlags(channel.write.fd), flagsBefore);
        }
        EXPECT_EQ(OriginalFlags(channel.write.fd) & O_NONBLOCK, flagsBefore & O_NONBLOCK);
    }
}

// The reader went away: the lines are discarded, the program is not killed by SIGPIPE and Flush says so.
TEST(StatusLineQueue, ReaderGoneDiscardsLines) {
    Channel pipe = SmallPipe();
    StatusLineQueue queue(pipe.write.fd);
    pipe.read.Close();
    for (int i = 0; i < 100; ++i) {
        queue.Push(NumberedLine(i));
    }
    EXPECT_FALSE(queue.Flush(5s));
}

// A regular file opened for appending keeps its contents and its position: the queue writes through
// the caller's descriptor, not a reopened one that would start at offset zero.
TEST(StatusLineQueue, RegularFileIsAppendedTo) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("status_line_queue_" + std::to_string(::getpid()));
    { std::ofstream(path) << "earlier\n"; }
    Fd file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_GE(file.fd, 0);
    {
        StatusLineQueue queue(file.fd);
        queue.Push("later");
        ASSERT_TRUE(queue.Flush(5s));
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "earlier\nlater\n");
    std::filesystem::remove(path);
}
