// The simulated terminal on its own: a test plays the PC with plain reads and writes on the linked device.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "codec/frame_codec.h"
#include "raw_pc.h"
#include "support/temp_folder.h"
#include "termsim.h"

namespace {

using termsim::FaultKind;
using termsim::Options;

constexpr int kQuietMs = 300;  // long enough to be sure the terminal stays silent

// Polls `done` for up to two seconds.
template <typename Predicate>
bool WaitFor(Predicate done) {
    for (int i = 0; i < 200; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// The frame the terminal should send, its checksum worked out here apart from the codec and the
// simulator: the byte sum modulo 256 of "^" to "*" (type 0) or of the payload and "*" (type 1).
std::string FrameOf(char type, const std::string& payload, int coverage = 0) {
    const std::string body = std::string("^") + type + payload + "*";
    unsigned sum = 0;
    for (const char c : coverage == 0 ? body : payload + "*") {
        sum += static_cast<unsigned char>(c);
    }
    const char* hex = "0123456789ABCDEF";
    return body + hex[sum / 16 % 16] + hex[sum % 16];
}

Options TwoRecords() {
    Options options;
    options.records = {"A,1", "B,2"};
    return options;
}

bool IsDangling(const std::string& link) {
    struct stat info {};
    return lstat(link.c_str(), &info) == 0 && stat(link.c_str(), &info) != 0;
}

class SimulatorTest : public ::testing::Test {
protected:
    void StartWith(const Options& options) {
        ASSERT_TRUE(folder.Valid());
        ASSERT_TRUE(sim.Start(folder.Path(), 1, options));
        pc = std::make_unique<RawPc>(folder.Path() + "/ports/COM1");
        ASSERT_TRUE(pc->ok());
    }
    TempFolder folder;
    termsim::Simulator sim;
    std::unique_ptr<RawPc> pc;
};

TEST_F(SimulatorTest, PlaysATwoRecordUploadFromT01) {
    StartWith(TwoRecords());
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*56");
    EXPECT_EQ(pc->Ask("ACK"), "^1B,2*59");
    EXPECT_EQ(pc->Ask("ACK"), "END");
    pc->Send("ACK");
    ASSERT_TRUE(sim.WaitFinished(2000));
    EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"ACK"});
    EXPECT_EQ(sim.LinesFromPc(), (std::vector<std::string>{"VOL", "ACK", "ACK", "ACK", "ACK"}));
    // Once served, the terminal has left: a further enquiry goes unanswered.
    EXPECT_EQ(pc->Ask("VOL", kQuietMs), "<none>");
}

TEST_F(SimulatorTest, RestartsAfterStopWithNothingCarriedOver) {
    StartWith(TwoRecords());
    EXPECT_FALSE(sim.Start(folder.Path(), 1, TwoRecords())) << "a running simulator is not started twice";
    pc->Ask("VOL");
    pc->Ask("ACK");
    pc->Ask("ACK");
    pc->Ask("ACK");
    pc->Send("ACK");
    ASSERT_TRUE(sim.WaitFinished(2000));
    pc.reset();
    sim.Stop();

    Options options = TwoRecords();
    options.records = {"C,3"};
    StartWith(options);
    EXPECT_FALSE(sim.Finished());
    EXPECT_TRUE(sim.FinalAnswers().empty());
    EXPECT_TRUE(sim.LinesFromPc().empty());
    EXPECT_TRUE(sim.Transcript().empty());
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@1*D1");
    EXPECT_EQ(pc->Ask("ACK"), "^0C,3*5A");
    EXPECT_EQ(pc->Ask("ACK"), "END");
    pc->Send("CAN");
    ASSERT_TRUE(sim.WaitFinished(2000));
    EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"CAN"});
    EXPECT_EQ(sim.Transcript().front().bytes, "VOL\r");
}

TEST_F(SimulatorTest, NakBringsTheLastLineAgain) {
    StartWith(TwoRecords());
    pc->Ask("VOL");
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*56");
    EXPECT_EQ(pc->Ask("NAK"), "^0A,1*56");
    EXPECT_EQ(pc->Ask("ACK"), "^1B,2*59");
    EXPECT_EQ(pc->Ask("ACK"), "END");
    EXPECT_EQ(pc->Ask("NAK"), "END");
    // A NAK of the enquiry answer sends the terminal back to waiting for "VOL".
    EXPECT_FALSE(sim.Finished());
}

TEST_F(SimulatorTest, EnquiryNakWaitsForTheNextEnquiry) {
    StartWith(TwoRecords());
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
    EXPECT_EQ(pc->Ask("NAK", kQuietMs), "<none>");
    EXPECT_EQ(pc->Ask("ACK", kQuietMs), "<none>") << "an ACK without an enquiry answer starts nothing";
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*56");
}

TEST_F(SimulatorTest, ChecksumTypeTwoAndDoubleByteRecords) {
    Options options;
    options.checksumCoverage = ChecksumCoverage::Payload;
    options.terminalId = "\x83\x65\x83\x58";  // テス in CP932
    options.records = {"A,1", "\x82\xA0,\x82\xA2"};
    StartWith(options);
    EXPECT_EQ(pc->Ask("VOL"), FrameOf('#', "\x83\x65\x83\x58@2", 1));
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*C8");
    const std::string second = pc->Ask("ACK");
    EXPECT_EQ(second, FrameOf('1', "\x82\xA0,\x82\xA2", 1));
    EXPECT_EQ(CheckFrame(second, '1', ChecksumCoverage::Payload), FrameCheck::Ok);
}

TEST_F(SimulatorTest, SimpleProtocolSendsPlainLines) {
    Options options = TwoRecords();
    options.protocol = 1;
    options.faults = {{FaultKind::BadChecksum, 0, 1}};  // frame faults do not apply to plain lines
    StartWith(options);
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2") << "the enquiry answer stays a frame";
    EXPECT_EQ(pc->Ask("ACK"), "A,1");
    EXPECT_EQ(pc->Ask("ACK"), "B,2");
    EXPECT_EQ(pc->Ask("ACK"), "END");
}

TEST_F(SimulatorTest, ClockCommand) {
    StartWith(TwoRecords());
    EXPECT_EQ(pc->Ask("TW20240102090500"), "OK");
    EXPECT_EQ(pc->Ask("TW2024010209050", kQuietMs), "<none>") << "13 digits";
    EXPECT_EQ(pc->Ask("TW2024010209050X", kQuietMs), "<none>");
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
}

TEST_F(SimulatorTest, NeverAnsweringClockOrEnquiry) {
    Options options = TwoRecords();
    options.answerClock = false;
    options.answerEnquiry = false;
    StartWith(options);
    EXPECT_EQ(pc->Ask("TW20240102090500", kQuietMs), "<none>");
    EXPECT_EQ(pc->Ask("VOL", kQuietMs), "<none>");
    pc->Send("CAN");
    ASSERT_TRUE(sim.WaitFinished(2000)) << "a CAN ends the upload even before the enquiry";
    EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"CAN"});
}

TEST_F(SimulatorTest, EnquiryFaults) {
    Options options = TwoRecords();
    options.enquirySilence = 1;
    options.enquiryBadChecksum = 2;
    StartWith(options);
    EXPECT_EQ(pc->Ask("VOL", kQuietMs), "<none>");
    for (int i = 0; i < 2; ++i) {
        const std::string bad = pc->Ask("VOL");
        EXPECT_EQ(CheckFrame(bad, '#', ChecksumCoverage::WholeFrame), FrameCheck::ChecksumError) << bad;
        EXPECT_EQ(bad.substr(0, 8), "^#T01@2*");
    }
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
}

TEST(SimulatorEnquiry, AnswerShapes) {
    const struct {
        const char* name;
        bool withoutAt;
        long long announced;
        std::string expectedPayload;
    } cases[] = {
        {"without_at", true, -1, "T01"},
        {"count_above_16_bits", false, 40000, "T01@40000"},
        {"zero_count", false, 0, "T01@0"},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        termsim::Simulator sim;
        Options options = TwoRecords();
        options.enquiryWithoutAt = c.withoutAt;
        options.announcedCount = c.announced;
        ASSERT_TRUE(sim.Start(folder.Path(), 2, options));
        RawPc pc(folder.Path() + "/ports/COM2");
        EXPECT_EQ(pc.Ask("VOL"), FrameOf('#', c.expectedPayload)) << c.name;
    }
}

// Each fault replaces record 1 once; then the terminal is asked for it again with `retry` and must send
// it correctly.
TEST(SimulatorFaults, ReplaceRecordOnceThenRecover) {
    const struct {
        const char* name;
        FaultKind kind;
        int coverage;
        std::string faulty;  // the line instead of record 1; "<none>" for silence
        const char* retry;
    } cases[] = {
        {"bad_checksum", FaultKind::BadChecksum, 0, "^1B,2*5A", "NAK"},
        {"lower_case", FaultKind::LowerCaseHex, 1, "^1B,2*ca", "NAK"},
        {"wrong_sequence", FaultKind::WrongSequence, 0, FrameOf('2', "B,2"), "NAK"},
        {"repeat_previous", FaultKind::RepeatPrevious, 0, "^0A,1*56", "ACK"},
        {"silence", FaultKind::Silence, 0, "<none>", "NAK"},
        {"garbage", FaultKind::Garbage, 0, std::string("\x15\x7F\xFF~garbage~\x1B\x81", 13), "NAK"},
        {"over_long", FaultKind::OverLong, 0, std::string(300, 'X'), "NAK"},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        termsim::Simulator sim;
        Options options = TwoRecords();
        options.checksumCoverage = static_cast<ChecksumCoverage>(c.coverage);
        options.faults = {{c.kind, 1, 1}};
        ASSERT_TRUE(sim.Start(folder.Path(), 1, options));
        RawPc pc(folder.Path() + "/ports/COM1");
        pc.Ask("VOL");
        EXPECT_EQ(pc.Ask("ACK"), FrameOf('0', "A,1", c.coverage)) << c.name;
        EXPECT_EQ(pc.Ask("ACK", c.kind == FaultKind::Silence ? kQuietMs : 2000), c.faulty) << c.name;
        EXPECT_EQ(pc.Ask(c.retry), FrameOf('1', "B,2", c.coverage)) << c.name;
        EXPECT_EQ(pc.Ask("ACK"), "END") << c.name;
    }
}

TEST_F(SimulatorTest, FaultRepeatsTheGivenNumberOfTimes) {
    Options options = TwoRecords();
    options.faults = {{FaultKind::BadChecksum, 0, 3}};
    StartWith(options);
    pc->Ask("VOL");
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*57");
    EXPECT_EQ(pc->Ask("NAK"), "^0A,1*57");
    EXPECT_EQ(pc->Ask("NAK"), "^0A,1*57");
    EXPECT_EQ(pc->Ask("NAK"), "^0A,1*56");
}

TEST_F(SimulatorTest, HangUpClosesThePseudoTerminal) {
    Options options = TwoRecords();
    options.faults = {{FaultKind::HangUp, 1, 1}};
    StartWith(options);
    pc->Ask("VOL");
    pc->Ask("ACK");
    EXPECT_EQ(pc->Ask("ACK"), "<none>");
    EXPECT_TRUE(pc->hungUp);
    EXPECT_TRUE(sim.WaitFinished(2000)) << "no replug asked for: the terminal is done";
    EXPECT_TRUE(IsDangling(sim.LinkPath()));
}

TEST(SimulatorUnplug, EveryWayOfHangingUpIsFollowedByANewDevice) {
    struct Case {
        const char* name;
        void (*configure)(Options&);
        // Plays the PC up to the hang-up; the terminal must not answer the last line.
        void (*drive)(RawPc&, termsim::Simulator&);
    };
    const Case cases[] = {
        {"mid_upload",
         [](Options& o) {
             o.faults = {{FaultKind::HangUp, 1, 1}};
         },
         [](RawPc& pc, termsim::Simulator&) {
             EXPECT_EQ(pc.Ask("VOL"), "^#T01@2*D2");
             EXPECT_EQ(pc.Ask("ACK"), "^0A,1*56");
             EXPECT_EQ(pc.Ask("ACK"), "<none>");
         }},
        {"at_the_second_enquiry", [](Options& o) { o.hangUpAtEnquiry = 2; },
         [](RawPc& pc, termsim::Simulator&) {
             EXPECT_EQ(pc.Ask("VOL"), "^#T01@2*D2");
             EXPECT_EQ(pc.Ask("VOL"), "<none>");
         }},
        {"after_a_time", [](Options& o) { o.hangUpAfterMs = 300; },
         [](RawPc& pc, termsim::Simulator&) { EXPECT_FALSE(pc.Receive(2000).has_value()); }},
        {"on_demand", [](Options&) {},
         [](RawPc& pc, termsim::Simulator& sim) {
             pc.Send("VOL");
             ASSERT_TRUE(sim.WaitLinesFromPc(1, 2000));
             pc.Receive(500);  // the enquiry answer
             sim.HangUpNow();
             EXPECT_FALSE(pc.Receive(2000).has_value());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        termsim::Simulator sim;
        Options options = TwoRecords();
        options.replugAfterMs = 400;
        c.configure(options);
        ASSERT_TRUE(sim.Start(folder.Path(), 2, options));
        {
            RawPc pc(sim.LinkPath());
            ASSERT_TRUE(pc.ok());
            c.drive(pc, sim);
            EXPECT_TRUE(pc.hungUp);
            // Unplugged: the port's name leads nowhere until the device comes back.
            EXPECT_TRUE(WaitFor([&] { return IsDangling(sim.LinkPath()); }));
            EXPECT_EQ(sim.HangUps(), 1);
            EXPECT_FALSE(sim.Finished());
        }
        ASSERT_TRUE(sim.WaitReplugged(1, 3000));
        EXPECT_FALSE(IsDangling(sim.LinkPath()));
        // A fresh terminal on a new device: the whole upload, the spent fault not repeated.
        RawPc pc(sim.LinkPath());
        ASSERT_TRUE(pc.ok());
        EXPECT_EQ(pc.Ask("VOL"), "^#T01@2*D2");
        EXPECT_EQ(pc.Ask("ACK"), "^0A,1*56");
        EXPECT_EQ(pc.Ask("ACK"), "^1B,2*59");
        EXPECT_EQ(pc.Ask("ACK"), "END");
        pc.Send("ACK");
        EXPECT_TRUE(sim.WaitFinished(2000));
        EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"ACK"});
        EXPECT_EQ(sim.HangUps(), 1);
        EXPECT_EQ(sim.Replugs(), 1);
        sim.Stop();
        struct stat info {};
        EXPECT_NE(lstat((folder.Path() + "/ports/COM2").c_str(), &info), 0) << "Stop removes the link";
    }
}

TEST_F(SimulatorTest, CancelEndsAnUploadAndTheNextOneFollows) {
    Options options = TwoRecords();
    options.uploads = 2;
    StartWith(options);
    pc->Ask("VOL");
    pc->Ask("ACK");
    pc->Send("BEL");
    pc->Send("CAN");
    ASSERT_TRUE(sim.WaitLinesFromPc(4, 2000));
    EXPECT_FALSE(sim.Finished());
    // Automatic restart: the whole upload again, from record 0.
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@2*D2");
    EXPECT_EQ(pc->Ask("ACK"), "^0A,1*56");
    EXPECT_EQ(pc->Ask("ACK"), "^1B,2*59");
    EXPECT_EQ(pc->Ask("ACK"), "END");
    pc->Send("ACK");
    ASSERT_TRUE(sim.WaitFinished(2000));
    EXPECT_EQ(sim.FinalAnswers(), (std::vector<std::string>{"CAN", "ACK"}));
}

TEST_F(SimulatorTest, NoRecordsAndAnotherEndWord) {
    Options options;
    options.endWord = "end";
    StartWith(options);
    EXPECT_EQ(pc->Ask("VOL"), "^#T01@0*D0");
    EXPECT_EQ(pc->Ask("ACK"), "end");
}

TEST(SimulatorAdapter, EchoesOnlyAtItsSpeedAndFollowsTheSpeedCommand) {
    TempFolder folder;
    termsim::Simulator sim;
    Options options = TwoRecords();
    options.adapterMode = true;
    options.adapterSpeed = 19200;
    ASSERT_TRUE(sim.Start(folder.Path(), 1, options));
    RawPc pc(folder.Path() + "/ports/COM1", B9600);

    pc.SendBytes("\x0F");
    EXPECT_EQ(pc.ReceiveBytes(kQuietMs), "") << "no echo at 9600";
    pc.SetSpeed(B19200);
    pc.SendBytes("\x0F");
    EXPECT_EQ(pc.ReceiveBytes(kQuietMs), "\x0F");

    pc.SendBytes(
        "\x07"
        "6Q");
    EXPECT_TRUE(WaitFor([&] { return sim.AdapterSpeed() == 115200; }));

    // At the old speed the terminal's lines are lost; at the new one it answers.
    EXPECT_EQ(pc.Ask("VOL", kQuietMs).find("^#"), std::string::npos);
    pc.SetSpeed(B115200);
    EXPECT_EQ(pc.Ask("VOL"), "^#T01@2*D2");
    EXPECT_EQ(pc.Ask("ACK").substr(0, 2), "^0");

    // The answer to the end marker may come at the line's opening speed, 9600 (the PC has closed the
    // port); a record's answer may not, and neither may the end's at any other speed.
    pc.SetSpeed(B9600);
    EXPECT_EQ(pc.Ask("ACK", kQuietMs), "<none>");
    pc.SetSpeed(B115200);
    EXPECT_EQ(pc.Ask("ACK").substr(0, 2), "^1");
    EXPECT_EQ(pc.Ask("ACK"), "END");
    pc.SetSpeed(B38400);
    pc.SendBytes("ACK\r");
    ASSERT_TRUE(WaitFor([&] {
        const auto transcript = sim.Transcript();
        return transcript.back().speed == 38400 && transcript.back().bytes == "ACK\r";
    }));
    EXPECT_TRUE(sim.FinalAnswers().empty());
    pc.SetSpeed(B9600);
    pc.SendBytes("ACK\r");
    EXPECT_TRUE(WaitFor([&] { return !sim.FinalAnswers().empty(); }));
    EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"ACK"});

    // The transcript shows the one echo, at 19200.
    int echoes = 0;
    for (const auto& entry : sim.Transcript()) {
        if (entry.direction == 'T' && entry.bytes == "\x0F") {
            ++echoes;
            EXPECT_EQ(entry.speed, 19200);
        }
    }
    EXPECT_EQ(echoes, 1);
}

TEST(SimulatorAdapter, SpeedCommandAtAnotherSpeedIsIgnored) {
    TempFolder folder;
    termsim::Simulator sim;
    Options options;
    options.adapterMode = true;
    options.adapterSpeed = 9600;
    ASSERT_TRUE(sim.Start(folder.Path(), 1, options));
    RawPc pc(folder.Path() + "/ports/COM1", B38400);
    // At a foreign speed only the command byte is recognised as such; "6Q" is line noise.
    pc.SendBytes(
        "\x07"
        "6Q\r");
    ASSERT_TRUE(WaitFor([&] { return sim.Transcript().size() == 2; }));
    EXPECT_EQ(sim.AdapterSpeed(), 9600);
    pc.SetSpeed(B9600);
    pc.SendBytes(
        "\x07"
        "9Q\r");  // "9" is not a speed code: the command ends there
    ASSERT_TRUE(WaitFor([&] { return sim.Transcript().size() == 5; }));
    EXPECT_EQ(sim.AdapterSpeed(), 9600);
}

TEST(SimulatorLink, MadeReplacedAndRemoved) {
    TempFolder folder;
    const std::string link = folder.Path() + "/ports/COM7";
    {
        termsim::Simulator first;
        ASSERT_TRUE(first.Start(folder.Path(), 7, Options{}));
        EXPECT_EQ(first.LinkPath(), link);
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(first.DevicePath(), target);

        // A second simulator on the same port takes the link over; the first must not remove it then.
        termsim::Simulator second;
        ASSERT_TRUE(second.Start(folder.Path(), 7, Options{}));
        first.Stop();
        struct stat info {};
        EXPECT_EQ(lstat(link.c_str(), &info), 0);
        second.Stop();
        EXPECT_NE(lstat(link.c_str(), &info), 0);
    }
}

TEST(SimulatorLink, FolderThatCannotHoldALinkFailsCleanly) {
    TempFolder folder;
    std::ofstream(folder.Path() + "/ports") << "a file where the folder should be";
    termsim::Simulator sim;
    EXPECT_FALSE(sim.Start(folder.Path(), 1, Options{}));
    sim.Stop();
}

TEST_F(SimulatorTest, StopReturnsPromptlyInTheMiddleOfASlowLine) {
    Options options;
    options.records = {std::string(200, 'R')};
    options.pacingBitsPerSecond = 1000;  // 10 ms per byte: the record would take about 2 s
    StartWith(options);
    pc->Ask("VOL", 3000);
    pc->Send("ACK");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    sim.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

TEST_F(SimulatorTest, PacingSpreadsALineOverItsByteTimes) {
    // Byte by byte, and in handfuls of 8 (a UART's FIFO), which must not end the line any sooner.
    for (const int chunk : {1, 8}) {
        SCOPED_TRACE(chunk);
        Options options;
        options.records = {std::string(90, 'R')};
        options.pacingBitsPerSecond = 9600;
        options.pacingChunk = chunk;
        pc.reset();
        sim.Stop();
        StartWith(options);
        pc->Ask("VOL");
        ASSERT_EQ(pc->Ask("ACK").size(), 95u);
        // The record frame is 96 bytes with its CR; at 9600 bit/s its last byte leaves at least 95 byte
        // times (about 99 ms) after the ACK arrived. The terminal notes its line once the last byte is out,
        // which the PC may already have read.
        ASSERT_TRUE(WaitFor([&] { return sim.Transcript().size() >= 4; }));
        const auto transcript = sim.Transcript();
        const auto& ack = transcript[2];
        const auto& record = transcript[3];
        ASSERT_EQ(ack.direction, 'P');
        ASSERT_EQ(record.direction, 'T');
        EXPECT_GE(record.micros - ack.micros, 95 * 10 * 1000000LL / 9600);
    }
}

TEST_F(SimulatorTest, TranscriptFileHoldsEveryLineAsJson) {
    Options options = TwoRecords();
    options.transcriptPath = folder.Path() + "/transcript.jsonl";
    StartWith(options);
    pc->Ask("VOL");
    pc->Ask("ACK");
    sim.Stop();
    std::ifstream in(options.transcriptPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    const auto transcript = sim.Transcript();
    ASSERT_EQ(lines.size(), transcript.size());
    ASSERT_EQ(lines.size(), 4u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i], termsim::TranscriptJson(transcript[i]));
    }
    EXPECT_NE(lines[0].find("\"dir\":\"P\""), std::string::npos);
    EXPECT_NE(lines[0].find("\"hex\":\"564F4C0D\""), std::string::npos);
    EXPECT_NE(lines[1].find("\"text\":\"^#T01@2*D2\\r\""), std::string::npos);
    for (size_t i = 1; i < transcript.size(); ++i) {
        EXPECT_GE(transcript[i].micros, transcript[i - 1].micros) << "time stamps never go back";
    }
}

TEST(TranscriptJson, EscapesAndDecodesCp932) {
    const termsim::TranscriptEntry entry{42, 'T', std::string("\"\\\x82\xA0\x01\r", 6), 9600};
    EXPECT_EQ(termsim::TranscriptJson(entry),
              "{\"t\":42,\"dir\":\"T\",\"speed\":9600,\"hex\":\"225C82A0010D\","
              "\"text\":\"\\\"\\\\\xE3\x81\x82\\u0001\\r\"}");
}

}  // namespace
