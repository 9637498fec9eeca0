// Opening and closing the port, directly and through an adapter found by probing, on real
// pseudo-terminals mapped as ports/COM<n> beside a private copy of the library.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "pty_peer.h"
#include "quorlin_copy.h"
#include "support/child_process.h"

namespace {

constexpr int32_t kDirect = 0;
constexpr int32_t kAdapter = 1;

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;  // the descriptor of the listing itself
}

// True when another open file description can take the exclusive lock, i.e. the library holds none.
bool LockIsFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

class PortOpen : public testing::Test {
protected:
    void TearDown() override {
        q.CloseIrCom();
        for (int n : mapped_) {
            q.MapPort(n, "");
        }
    }
    void Map(int n, const std::string& target) {
        q.MapPort(n, target);
        mapped_.insert(n);
    }

    QuorlinCopy& q = QuorlinCopy::Get();
    std::set<int> mapped_;
};

struct DirectRow {
    int32_t requested;
    int32_t mode;
    int32_t opened_at;
};

TEST_F(PortOpen, DirectModeOpensRawAtTheSupportedSpeedOrNinetySixHundred) {
    const DirectRow rows[] = {
        {9600, kDirect, 9600},   {19200, kDirect, 19200},   {38400, kDirect, 38400},
        {57600, kDirect, 57600}, {115200, kDirect, 115200}, {4800, kDirect, 9600},
        {0, kDirect, 9600},      {-9600, kDirect, 9600},    {115200, 2, 115200},  // any mode but 1 is direct
        {57600, -1, 57600},
    };
    for (const DirectRow& row : rows) {
        SCOPED_TRACE(testing::Message() << "speed " << row.requested << " mode " << row.mode);
        PtyPeer pty;
        Map(3, pty.slave_path());
        ASSERT_EQ(q.vbOpenIrCom(3, row.requested, row.mode), 1);
        EXPECT_EQ(pty.Speed(), row.opened_at);
        const termios tio = pty.Settings();
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(tio.c_oflag & OPOST, 0u);
        EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cc[VMIN], 0);
        EXPECT_FALSE(LockIsFree(pty.slave_path()));
        EXPECT_EQ(q.CloseIrCom(), 1);
        EXPECT_TRUE(LockIsFree(pty.slave_path()));
    }
}

TEST_F(PortOpen, OpenIrComGivesAnOpaqueHandleOrNull) {
    PtyPeer pty;
    Map(4, pty.slave_path());
    void* handle = q.OpenIrCom(4, 9600, kDirect);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(q.CloseIrCom(), 1);
    EXPECT_EQ(q.OpenIrCom(0, 9600, kDirect), nullptr);
    Map(5, "/nonexistent/gathra-device");
    EXPECT_EQ(q.OpenIrCom(5, 9600, kDirect), nullptr);
}

struct AdapterRow {
    int32_t adapter_speed;
    int32_t requested;
    std::size_t probes;  // probe bytes sent until the adapter answered
    char code;
    int32_t target;
};

class AdapterOpen : public PortOpen, public testing::WithParamInterface<AdapterRow> {};

TEST_P(AdapterOpen, FindsTheAdapterAndSwitchesIt) {
    const AdapterRow& row = GetParam();
    PtyPeer pty;
    Map(6, pty.slave_path());
    AdapterPeer adapter(pty, row.adapter_speed);

    ASSERT_EQ(q.vbOpenIrCom(6, row.requested, kAdapter), 1);

    // Probes at the speeds that did not answer, the one that did, then the speed command, in order.
    const std::string expected = std::string(row.probes, '\x0F') + '\x07' + row.code + 'Q';
    EXPECT_EQ(adapter.Received(), expected);
    EXPECT_EQ(adapter.own_speed(), row.target);
    EXPECT_EQ(pty.Speed(), row.target);

    // The terminal behind the adapter now answers at the new speed.
    ASSERT_NE(q.WriteIrCom("VOL\r"), 0);
    char line[256] = {};
    ASSERT_EQ(q.vbReadIrCom(line), 3);
    EXPECT_STREQ(line, "OK\r");
}

INSTANTIATE_TEST_SUITE_P(ProbeOrder, AdapterOpen,
                         testing::Values(AdapterRow{9600, 115200, 1, '6', 115200},
                                         AdapterRow{38400, 19200, 2, '3', 19200},
                                         AdapterRow{115200, 9600, 3, '2', 9600},
                                         AdapterRow{57600, 38400, 4, '4', 38400},  // after three failures
                                         AdapterRow{19200, 4800, 5, '2', 9600},    // unlisted speed: code "2"
                                         AdapterRow{9600, 57600, 1, '5', 57600}));

TEST_F(PortOpen, NoAdapterFailsAfterFiveProbesAndClosesThePort) {
    PtyPeer pty;
    Map(7, pty.slave_path());
    EXPECT_EQ(q.vbOpenIrCom(7, 9600, kAdapter), -1);
    EXPECT_EQ(pty.Receive(6, Millis(200)), std::string(5, '\x0F'));
    EXPECT_TRUE(LockIsFree(pty.slave_path()));
    EXPECT_EQ(q.CloseIrCom(), 0);  // nothing left open
    EXPECT_EQ(q.vbOpenIrCom(7, 9600, kDirect), 1);
}

TEST_F(PortOpen, AnEchoLaterThanTheSettleDelayIsNotAnAnswer) {
    // The adapter answers at 9600 but 150 ms late: not found there, and its stray echo must not be
    // taken for an answer at the next speed either.
    PtyPeer pty;
    Map(8, pty.slave_path());
    AdapterPeer adapter(pty, 9600, Millis(150));
    EXPECT_EQ(q.vbOpenIrCom(8, 9600, kAdapter), -1);
    EXPECT_EQ(adapter.Received(), std::string(5, '\x0F'));
}

TEST_F(PortOpen, PortNumbersOutsideOneToTwoHundredFiftySixTouchNoDevice) {
    PtyPeer pty;
    const termios before = pty.Settings();
    Map(0, pty.slave_path());
    Map(257, pty.slave_path());
    for (int32_t port : {0, 257, -1}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(q.vbOpenIrCom(port, 9600, kDirect), 0);
        EXPECT_EQ(q.vbOpenIrCom(port, 9600, kAdapter), 0);
    }
    EXPECT_EQ(pty.Receive(1, Millis(50)), "");  // no probe went out
    const termios after = pty.Settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));

    Map(256, pty.slave_path());
    EXPECT_EQ(q.vbOpenIrCom(256, 19200, kDirect), 1);
    EXPECT_EQ(pty.Speed(), 19200);
}

TEST_F(PortOpen, APortInUseCannotBeOpened) {
    PtyPeer pty;
    Map(9, pty.slave_path());
    const int holder = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const termios before = pty.Settings();
    EXPECT_EQ(q.vbOpenIrCom(9, 9600, kDirect), 0);
    EXPECT_EQ(pty.Settings().c_lflag, before.c_lflag);  // left as it was
    close(holder);
    EXPECT_EQ(q.vbOpenIrCom(9, 9600, kDirect), 1);
}

// A program that opens the device without locking it (a terminal program) is kept out during a run as
// well, unless it runs as root, who ignores the exclusive mark: so this runs as nobody, in a child with
// a pseudo-terminal of its own. The library's own reopen after a close (reconnect, automatic start) works.
TEST_F(PortOpen, AnotherOpenDuringARunIsBusyForAnOrdinaryUser) {
    constexpr int kPort = 14;
    mapped_.insert(kPort);
    // The exit code names the first step that failed.
    const ChildEnd end = RunInChild([&](std::string&) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || chown(q.folder().c_str(), nobody->pw_uid, nobody->pw_gid) != 0 ||
                chown((q.folder() + "/ports").c_str(), nobody->pw_uid, nobody->pw_gid) != 0 ||
                setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
                return 10;
            }
        }
        PtyPeer pty;
        q.MapPort(kPort, pty.slave_path());
        for (int run = 1; run <= 2; ++run) {
            if (q.vbOpenIrCom(kPort, 9600, kDirect) != 1) {
                return 10 * run + 1;
            }
            const int other = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (other >= 0 || errno != EBUSY) {
                return 10 * run + 2;
            }
            q.CloseIrCom();
        }
        return 0;
    });
    ASSERT_TRUE(end.Exited);
    // 10: could not become nobody; 1x/2x: the first run, the run after a close; x1: the library's open
    // failed, x2: another open was not refused with EBUSY.
    EXPECT_EQ(end.ExitCode, 0);
}

TEST_F(PortOpen, MissingAndDanglingMappingsCannotBeOpened) {
    Map(10, "/nonexistent/gathra-device");
    EXPECT_EQ(q.vbOpenIrCom(10, 9600, kDirect), 0);
    EXPECT_EQ(q.vbOpenIrCom(10, 9600, kAdapter), 0);
}

TEST_F(PortOpen, ADeviceThatRefusesLineSettingsIsClosedAgain) {
    // A plain file opens like a device but takes no line settings.
    const std::string file = q.folder() + "/not-a-terminal";
    std::ofstream(file) << "x";
    Map(11, file);
    EXPECT_EQ(q.vbOpenIrCom(11, 9600, kDirect), -1);
    EXPECT_TRUE(LockIsFree(file));
    EXPECT_EQ(q.CloseIrCom(), 0);
    std::filesystem::remove(file);
}

TEST_F(PortOpen, ASecondOpenClosesTheFirst) {
    PtyPeer first;
    PtyPeer second;
    Map(12, first.slave_path());
    Map(13, second.slave_path());
    const int before = OpenDescriptorCount();
    ASSERT_EQ(q.vbOpenIrCom(12, 9600, kDirect), 1);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    ASSERT_EQ(q.vbOpenIrCom(13, 9600, kDirect), 1);
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_TRUE(LockIsFree(first.slave_path()));
    // Reopening the port already held must not find it locked by ourselves.
    ASSERT_EQ(q.vbOpenIrCom(13, 19200, kDirect), 1);
    EXPECT_EQ(second.Speed(), 19200);
    // A failed open leaves nothing open either.
    EXPECT_EQ(q.vbOpenIrCom(0, 9600, kDirect), 0);
    EXPECT_EQ(q.CloseIrCom(), 0);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(Exports, ExactlyTheEightOperations) {
    const SpawnResult nm = Spawn({"nm", "-D", "--defined-only", BuiltLibraryPath()});
    ASSERT_EQ(nm.ExitCode, 0) << nm.Errors;
    std::set<std::string> names;
    std::istringstream lines(nm.Output);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name) {
            names.insert(name);
        }
    }
    const std::set<std::string> expected = {"OpenIrCom",   "vbOpenIrCom", "CloseIrCom", "ReadIrCom",
                                            "vbReadIrCom", "WriteIrCom",  "ClearIrCom", "IrComState"};
    EXPECT_EQ(names, expected);
}

}  // namespace
