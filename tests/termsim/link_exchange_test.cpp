// The real libquorlin.so, bound the way Gathra binds it, against the simulated terminal on a
// pseudo-terminal: adapter probing, the write spacing seen from the terminal, and a whole upload through
// the engine.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <fstream>
#include <iterator>

#include "binding/quorlin_binding.h"
#include "codec/frame_codec.h"
#include "support/temp_folder.h"
#include "termsim.h"
#include "whole_upload_fixture.h"

namespace {

using termsim::FaultKind;
using termsim::Options;

constexpr int32_t kDirect = 0;
constexpr int32_t kAdapter = 1;

class LinkExchange : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(BinDir().empty());
        ASSERT_TRUE(folder.CopyLibrary(BinDir()));
        link = BindQuorlin(folder.Path());
        ASSERT_NE(link, nullptr);
    }
    void TearDown() override {
        if (link != nullptr) {
            link->CloseIrCom();
        }
        sim.Stop();
    }
    bool Open(const Options& options, int32_t speed, int32_t mode, int32_t expected = 1) {
        if (!sim.Start(folder.Path(), 4, options)) {
            return false;
        }
        return link->vbOpenIrCom(4, speed, mode) == expected;
    }
    std::string Receive() { return ReceiveLine(*link); }
    void Send(const std::string& text) { SendLine(*link, text); }

    TempFolder folder;
    termsim::Simulator sim;
    const LinkApi* link = nullptr;
};

TEST_F(LinkExchange, AdapterAt57600IsFoundAtTheFourthProbe) {
    Options options;
    options.records = {"A,1"};
    options.adapterMode = true;
    options.adapterSpeed = 57600;
    ASSERT_TRUE(Open(options, 115200, kAdapter));
    EXPECT_EQ(sim.AdapterSpeed(), 115200) << "switched to the requested speed";

    std::vector<int> probeSpeeds;
    std::vector<int> echoSpeeds;
    std::string command;
    for (const auto& entry : sim.Transcript()) {
        if (entry.direction == 'P' && entry.bytes == "\x0F") {
            probeSpeeds.push_back(entry.speed);
        } else if (entry.direction == 'T' && entry.bytes == "\x0F") {
            echoSpeeds.push_back(entry.speed);
        } else if (entry.direction == 'P' && entry.speed == 57600) {
            command += entry.bytes;
        }
    }
    // Three failed probes, then the echo; 19200 is never tried.
    EXPECT_EQ(probeSpeeds, (std::vector<int>{9600, 38400, 115200, 57600}));
    EXPECT_EQ(echoSpeeds, (std::vector<int>{57600}));
    EXPECT_EQ(command,
              "\x07"
              "6Q");

    // The terminal now speaks at 115200.
    Send("VOL");
    EXPECT_EQ(Receive(), "^#T01@1*D1");
}

TEST_F(LinkExchange, NoAdapterMeansSetUpFailureAndAClosedPort) {
    Options options;  // a terminal without an adapter: nothing echoes the probe
    ASSERT_TRUE(Open(options, 9600, kAdapter, -1));
    EXPECT_EQ(link->WriteIrCom("VOL\r"), 0) << "the port was closed again";
}

TEST_F(LinkExchange, WritesComeNoSoonerThanTwoMillisecondsAfterTheCall) {
    Options options;
    options.records = std::vector<std::string>(20, "A,1");
    ASSERT_TRUE(Open(options, 38400, kDirect));

    std::vector<int64_t> callStarts;  // in the transcript's clock
    auto timedSend = [&](const std::string& text) {
        callStarts.push_back(termsim::MonotonicMicros() - sim.OriginMicros());
        Send(text);
    };
    timedSend("VOL");
    ASSERT_EQ(CheckFrame(Receive(), '#', ChecksumCoverage::WholeFrame), FrameCheck::Ok);
    for (int i = 0; i < 20; ++i) {
        timedSend("ACK");
        ASSERT_EQ(CheckFrame(Receive(), static_cast<char>('0' + i % 10), ChecksumCoverage::WholeFrame),
                  FrameCheck::Ok)
            << i;
    }
    timedSend("ACK");
    EXPECT_EQ(Receive(), "END");

    std::vector<termsim::TranscriptEntry> fromPc;
    int64_t smallestGapAfterTerminal = INT64_MAX;
    int64_t lastTerminal = -1;
    for (const auto& entry : sim.Transcript()) {
        if (entry.direction == 'P') {
            fromPc.push_back(entry);
            if (lastTerminal >= 0) {
                smallestGapAfterTerminal = std::min(smallestGapAfterTerminal, entry.micros - lastTerminal);
            }
        } else {
            lastTerminal = entry.micros;
        }
    }
    ASSERT_EQ(fromPc.size(), callStarts.size());
    for (size_t i = 0; i < fromPc.size(); ++i) {
        EXPECT_GE(fromPc[i].micros - callStarts[i], 2000) << "line " << i;
    }
    // Seen from the terminal alone: no PC line follows a terminal line within 2 ms.
    EXPECT_GE(smallestGapAfterTerminal, 2000);
}

// A whole upload as Gathra runs it (RunUpload), so the link is judged by the engine that uses it, not by
// a copy of its record loop: a double-byte terminal ID, checksum type 1, a bad checksum and an over-long
// line that the link discards, each answered "NAK" and then sent correctly.
class LinkUpload : public WholeUploadFixture {};

TEST_F(LinkUpload, RecordsWithFaultsAreStoredThroughTheEngine) {
    TempFolder save;
    ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), 5));
    settings.ChecksumCoverage = ChecksumCoverage::Payload;
    Options options;
    options.terminalId = "\x83\x65";  // テ
    options.records = {"A,1", "\x82\xA0,\x82\xA2", "C,3"};
    options.checksumCoverage = ChecksumCoverage::Payload;
    options.faults = {{FaultKind::BadChecksum, 1, 1}, {FaultKind::OverLong, 2, 1}};
    termsim::Simulator sim;
    ASSERT_TRUE(sim.Start(program.Path(), 5, options));
    RunUploadWith();
    ASSERT_TRUE(sim.WaitFinished(3000));
    EXPECT_EQ(sim.FinalAnswers(), std::vector<std::string>{"ACK"});
    EXPECT_EQ(sim.LinesFromPc(),
              (std::vector<std::string>{"VOL", "ACK", "ACK", "NAK", "ACK", "NAK", "ACK", "ACK"}));
    std::ifstream back(program.Path() + "/Back.txt", std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, "A,1\r\n\x82\xA0,\x82\xA2\r\nC,3\r\n");
}

}  // namespace
