// Whole uploads through a serial device server: ser2net on loopback in front of a pseudo-terminal where
// the simulated terminal plays, reached as ports/COM3 -> rfc2217://... or socket://....
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <optional>

#include "binding/port_diagnosis.h"
#include "support/child_process.h"
#include "support/device_server.h"
#include "whole_upload_fixture.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int kPort = 3;
constexpr const char* kRfc2217 = "telnet(rfc2217)";

// Every byte value but CR, which ends the line; each CP932 lead byte is followed by a trail byte.
std::vector<std::string> EveryByteRecords() {
    std::string all;
    for (int b = 0; b < 256; ++b) {
        all.append(b != '\r', static_cast<char>(b));
    }
    return {all.substr(0, 127), all.substr(127)};
}

class NetworkPortE2E : public WholeUploadFixture {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), kPort)); }

    // The terminal plays on a pseudo-terminal linked in a folder of its own: the server's device.
    std::string Cradle(const termsim::Options& options) {
        sim.Stop();
        EXPECT_TRUE(sim.Start(device.Path(), 1, options));
        return device / "ports/COM1";
    }
    void LinkPort(int port, const std::string& url) {
        const std::string link = program / ("ports/COM" + std::to_string(port));
        std::filesystem::create_directories(program / "ports");
        std::filesystem::remove(link);
        std::filesystem::create_symlink(url, link);
    }
    // What follows "COM<n> (<the link's target>): " in the line after "ｵｰﾌﾟﾝｴﾗｰ" for port `port` in `mode`,
    // whose open gives `opened` (not tried when `opened` is 1).
    std::string Reason(int port, LinkMode mode, int32_t opened) {
        const std::string name = "COM" + std::to_string(port);
        if (opened != 1) {
            EXPECT_EQ(link->vbOpenIrCom(port, settings.Baud, static_cast<int32_t>(mode)), opened) << name;
        }
        const std::string line =
            PortOpenProblem(program.Path(), port, settings.Baud, static_cast<int32_t>(mode), opened);
        const std::string head =
            name + " (" + std::filesystem::read_symlink(program / ("ports/" + name)).string();
        return line.rfind(head + "): ", 0) == 0 ? line.substr(head.size() + 3) : "not " + head + ": " + line;
    }

    TempFolder save;
    TempFolder device;
    termsim::Simulator sim;
};

// Each kind stores an upload byte for byte, and takes a server that is stopped while Gathra waits and
// started again as a cradle unplugged and plugged back. RFC 2217 sets the far port to Baud, the adapter
// probe's speeds included; a raw or plain Telnet port runs at the server's own 9600 bit/s.
TEST_F(NetworkPortE2E, EachKindStoresAnUploadAndReconnectsAfterTheServerRestarts) {
    const struct {
        const char* accepter;
        LinkMode mode;
        int lineSpeed;  // the far port's speed while the PC's lines arrive
    } rows[] = {{kRfc2217, LinkMode::Direct, 57600},
                {"", LinkMode::Direct, 9600},
                {"telnet", LinkMode::Direct, 9600},
                {kRfc2217, LinkMode::Adapter, 57600}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.accepter) + " mode " + std::to_string(static_cast<int>(row.mode)));
        termsim::Options options;
        options.records = EveryByteRecords();
        options.enquirySilence = 2;
        options.adapterMode = row.mode == LinkMode::Adapter;
        options.adapterSpeed = 19200;
        DeviceServer server({{row.accepter, Cradle(options)}});
        ASSERT_TRUE(server.Start());
        LinkPort(kPort, server.Url(0));
        FreshView();
        settings.Mode = row.mode;
        settings.Baud = 57600;
        run.IsRunning = true;
        // The server stops once the first enquiry has gone out unanswered, and comes back once Gathra
        // waits for the port.
        std::atomic<bool> waiting = false;
        view.OnStatus = [&](const RecordingOperatorView::StatusCall& call) {
            waiting = waiting || call.Text == "ﾎﾟｰﾄ再接続待ち";
        };
        int step = 0;  // 1: the server stopped, 2: started again
        stopWhen = [&] {
            if (step == 0 && !sim.LinesFromPc().empty()) {
                server.Stop();
                step = 1;
            }
            step += step == 1 && waiting && server.Start() ? 1 : 0;
            return false;
        };
        EXPECT_EQ(RunUploadWith(), RunOutcome::Stored);
        EXPECT_EQ(AppendedStatusLines(view), (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "ﾎﾟｰﾄ再接続待ち", "ｵｰﾌﾟﾝ成功",
                                                    "ﾚｺｰﾄﾞ受信<2> : 正常終了"}));
        sim.WaitFinished(2000);
        EXPECT_EQ(sim.FinalAnswers(), Lines{"ACK"});
        EXPECT_EQ(ReadBytes(save / "T01.txt"), CrLfLines(options.records));
        for (const termsim::TranscriptEntry& entry : sim.Transcript()) {
            if (entry.direction == 'P' && entry.bytes.size() > 1) {
                EXPECT_EQ(entry.speed, row.lineSpeed) << entry.bytes;
            }
        }
        EXPECT_EQ(sim.AdapterSpeed(), options.adapterMode ? 57600 : 19200);
        std::filesystem::remove(save / "T01.txt");
    }
}

// What keeps a network port shut, named after its URL: a server that cannot change speeds in adapter
// mode (raw TCP, even with an adapter that would answer at the server's speed; Telnet without RFC 2217),
// a server whose port is busy, no server; and a malformed URL is a device.
TEST_F(NetworkPortE2E, PortsThatDoNotOpenAreNamedWithTheirUrlAndReason) {
    termsim::Options options;
    options.adapterMode = true;
    const std::string withAdapter = Cradle(options);
    termsim::Simulator other;
    ASSERT_TRUE(other.Start(device.Path(), 2, {}));
    DeviceServer server({{"", withAdapter}, {"telnet", device / "ports/COM2"}, {kRfc2217, withAdapter}});
    ASSERT_TRUE(server.Start());
    for (size_t i = 0; i < 3; ++i) {
        LinkPort(5 + static_cast<int>(i), server.Url(i));
    }
    const std::string closed = std::to_string(FreePort());  // nothing listens there
    LinkPort(8, "rfc2217://127.0.0.1:" + closed);
    LinkPort(9, "socket://[::ffff:127.0.0.1]:" + closed);
    LinkPort(12, "rfc2217://127.0.0.1:" + closed + "/");  // no URL: a device by that name
    EXPECT_EQ(Reason(5, LinkMode::Adapter, -1), "ｻｰﾊﾞｰが速度の変更に対応していません");
    EXPECT_EQ(Reason(6, LinkMode::Adapter, -1), "ｻｰﾊﾞｰが速度の変更に対応していません");
    EXPECT_EQ(Reason(8, LinkMode::Direct, 0), "接続できません (Connection refused)");
    EXPECT_EQ(Reason(9, LinkMode::Direct, 0), "接続できません (Connection refused)");
    EXPECT_EQ(Reason(12, LinkMode::Direct, 0), "ﾃﾞﾊﾞｲｽがありません。ｸﾚｰﾄﾞﾙの接続を確認してください");

    // Another client holds the server's serial port, once the server has let go of it after the looks
    // above: the terminal's answer to its enquiry shows it has the port.
    int holder = -1;
    char answer = 0;
    for (int tries = 0; tries < 100 && answer != '^'; ++tries, usleep(20000)) {
        close(holder);
        holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{
            AF_INET, htons(static_cast<uint16_t>(server.TcpPort(0))), {htonl(INADDR_LOOPBACK)}, {}};
        if (connect(holder, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            send(holder, "VOL\r", 4, 0) != 4 || recv(holder, &answer, 1, 0) != 1) {
            answer = 0;
        }
    }
    ASSERT_EQ(answer, '^');
    EXPECT_EQ(Reason(5, LinkMode::Direct, 0), "他のﾌﾟﾛｸﾞﾗﾑが使用中です");
    EXPECT_EQ(Reason(7, LinkMode::Direct, 0), "他のﾌﾟﾛｸﾞﾗﾑが使用中です");
    close(holder);
}

// A host name is looked up on a thread the open leaves behind at the connect time-out, and a name under
// .invalid never reaches the resolver: here, in namespaces of the test's own, a name server that never
// answers (its own time-out would be 30 s).
TEST_F(NetworkPortE2E, NamesAreLookedUpWithinTheTimeOutAndInvalidOnesNotAtAll) {
    const std::string conf = save / "resolv.conf";
    WriteBytes(conf, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
    const ChildEnd end = RunInChild([&](std::string& output) {
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0 ||
            Spawn({"ip", "link", "set", "lo", "up"}).ExitCode != 0) {
            return 1;
        }
        const int silent = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
        if (bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return 2;
        }
        LinkPort(3, "rfc2217://cradle7.invalid:4001");
        LinkPort(4, "socket://Cradle7.INVALID.:4001");
        LinkPort(5, "socket://cradle7.example:4001");
        output =
            Reason(3, LinkMode::Direct, 0) + Reason(4, LinkMode::Adapter, 0) + Reason(5, LinkMode::Direct, 1);
        return testing::Test::HasFailure() ? 3 : 0;
    });
    EXPECT_EQ(end.Failure() + end.Output,
              "ﾎｽﾄ名が見つかりませんﾎｽﾄ名が見つかりません接続できません (Connection timed out)");
}

// A server that dies without a word (its cable pulled) is a port gone within 30 s while Gathra waits for a
// terminal. The server runs in a network namespace of the test's own, Gathra in a second one, joined by a
// veth pair whose link goes down once the enquiries flow.
TEST_F(NetworkPortE2E, AServerBehindALinkThatGoesDownIsAPortGone) {
    const ChildEnd end = RunInChild([&](std::string& output) {
        const auto ip = [](std::vector<std::string> args) {
            args.insert(args.begin(), "ip");
            return Spawn(args).ExitCode == 0;
        };
        if (unshare(CLONE_NEWNET) != 0 ||
            !ip({"link", "add", "gathra0", "type", "veth", "peer", "name", "gathra1"}) ||
            !ip({"addr", "add", "10.91.0.2/24", "dev", "gathra1"}) || !ip({"link", "set", "gathra1", "up"})) {
            return 1;
        }
        termsim::Options options;
        options.answerEnquiry = false;
        termsim::Simulator other;  // the cradle of the first look, so that the run finds its own port free
        other.Start(device.Path(), 2, {});
        DeviceServer server(
            {{kRfc2217, Cradle(options), false, 4001}, {kRfc2217, device / "ports/COM2", false, 4002}},
            "10.91.0.2");
        const std::string serverSide = server.Start() ? std::to_string(server.Pid()) : "";
        if (serverSide.empty() || unshare(CLONE_NEWNET) != 0 ||
            Spawn({"nsenter", "-t", serverSide, "-n", "ip", "link", "set", "gathra0", "netns",
                   std::to_string(getpid())})
                    .ExitCode != 0 ||
            !ip({"addr", "add", "10.91.0.1/24", "dev", "gathra0"}) || !ip({"link", "set", "gathra0", "up"})) {
            return 2;
        }
        LinkPort(kPort, "rfc2217://10.91.0.2:4001");
        LinkPort(4, "rfc2217://10.91.0.2:4002");
        // A line the server has not acknowledged is no line written, while the connection still counts as
        // live.
        if (link->vbOpenIrCom(4, 9600, 0) != 1 || link->WriteIrCom("VOL\r") != 1 ||
            !ip({"link", "set", "gathra0", "down"}) || link->WriteIrCom("VOL\r") != 0 ||
            link->IrComState() != 1 || !ip({"link", "set", "gathra0", "up"}) || link->CloseIrCom() != 1) {
            return 3;
        }
        std::atomic<bool> gone = false;
        view.OnStatus = [&](const RecordingOperatorView::StatusCall& call) {
            gone = gone || call.Text == "ﾎﾟｰﾄ切断ｴﾗｰ";
        };
        std::optional<std::chrono::steady_clock::time_point> down;
        stopWhen = [&] {
            if (!down && sim.LinesFromPc().size() >= 2 && ip({"link", "set", "gathra0", "down"})) {
                down = std::chrono::steady_clock::now();
            }
            return gone || (down && std::chrono::steady_clock::now() - *down > std::chrono::seconds(30));
        };
        RunUploadWith();
        output = gone ? "gone" : "still there";
        return 0;
    });
    EXPECT_EQ(end.Failure() + end.Output, "gone");
}

}  // namespace
