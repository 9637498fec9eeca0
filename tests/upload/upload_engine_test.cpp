// The upload run against a scripted terminal: every branch of the exchange, fast and deterministic.
#include "upload/upload_engine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <thread>
#include <tuple>

#include "console_view.h"
#include "fake_link.h"
#include "journal/upload_journal.h"
#include "run_exit.h"
#include "smtp_sink_process.h"
#include "support/recording_operator_view.h"
#include "support/tracing_file_ops.h"
#include "upload/upload_follow_up.h"
#include "upload_test_support.h"

namespace {

using Lines = std::vector<std::string>;

const PcDateTime kClock = {2024, 1, 2, 9, 5, 7};

class UploadEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(program.Path().empty());
        settings.SaveFolder = save.Path();
        settings.BackFilePath = program / "Back.txt";
        settings.Port = 1;
        settings.Baud = 115200;
        settings.TimeAdjust = "0";
        settings.OverWrite = 1;
        settings.SelectedFields.fill(1);
        run.IsRunning = true;
        // A terminal whose script has run out: the operator presses stop.
        link.onScriptEnd = [this] { PressStop(); };
    }

    void PressStop() {
        run.IsRunning = false;
        run.StopRequested = true;
    }

    // The run, each upload's result kept in `results` and handed to `ended` too.
    RunOutcome Run(const LinkApi* api, std::function<void(const UploadResult&)> ended = {}) {
        UploadContext context{settings, run, view, api, [] { return kClock; }, reconnectInterval};
        context.FinalAnswerSettle = std::chrono::milliseconds(0);
        context.UploadEnded = [this, ended](const UploadResult& result) {
            results.push_back(result);
            if (ended) {
                ended(result);
            }
        };
        return RunUpload(context);
    }
    RunOutcome Run() { return Run(link.Api()); }

    // A fresh record of what the operator saw, and the run started again.
    void Restart() {
        view = RecordingOperatorView{};
        link.written.clear();
        link.replies.clear();
        link.transcript.clear();
        link.portEvents.clear();
        link.gone = false;
        link.failedReopens = 0;
        link.onFailedReopen = nullptr;
        link.unplugAtWrite = 0;
        link.writes = 0;
        link.reads = 0;
        link.opens = 0;
        results.clear();
        run.IsRunning = true;
        run.StopRequested = false;
    }

    void Enquiry(const std::string& id, int count) {
        link.Reply(Frame('#', id + "@" + std::to_string(count)));
    }

    // A whole dedicated-protocol upload: enquiry answer, the records with sequence digits, "END".
    void Upload(const std::vector<std::string>& records, const std::string& id = "T01") {
        Enquiry(id, static_cast<int>(records.size()));
        for (size_t i = 0; i < records.size(); ++i) {
            link.Reply(Frame(static_cast<char>('0' + i % 10), records[i]));
        }
        link.Reply("END");
    }

    std::string Backup() const { return ReadBytes(settings.BackFilePath); }
    std::string Output(const std::string& name = "T01.txt") const { return ReadBytes(save / name); }
    std::string LastStatus() const { return view.StatusLines().back(); }
    Lines Appended() const { return AppendedStatusLines(view); }
    std::vector<std::string> TailOfWritten(size_t n) const {
        const auto& w = link.written;
        return std::vector<std::string>(w.end() - static_cast<long>(std::min(n, w.size())), w.end());
    }

    TempFolder program;
    TempFolder save;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
    FakeLink link;
    std::chrono::milliseconds reconnectInterval{1};
    std::vector<UploadResult> results;  // of each upload of the run
};

TEST_F(UploadEngine, TwoRecordUploadEndToEnd) {
    Upload({"A,1", "B,2"});
    Run();

    EXPECT_EQ(link.transcript, (Lines{"PC VOL", "T ^#T01@2*D2", "PC ACK", "T ^0A,1*56", "PC ACK",
                                      "T ^1B,2*59", "PC ACK", "T END", "PC ACK"}));
    EXPECT_EQ(Backup(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(Output(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(ReadBytes(save / "LOG.TXT"), CrLfLines({
                                               R"("2024/01/02","09:05:07"," 0","^#T01@2*D2")",
                                               R"("2024/01/02","09:05:07"," 0","^0A,1*56")",
                                               R"("2024/01/02","09:05:07"," 1","^1B,2*59")",
                                               R"("2024/01/02","09:05:07"," 2","END")",
                                           }));
    using Call = RecordingOperatorView::StatusCall;
    constexpr bool kReplace = false;
    constexpr bool kAppend = true;
    std::vector<std::pair<bool, std::string>> calls;
    for (const Call& call : view.StatusCalls) {
        calls.emplace_back(call.Append, call.Text);
    }
    EXPECT_EQ(calls, (std::vector<std::pair<bool, std::string>>{
                         {kReplace, "COM1:115.2KBps/RS232C通信(LNU-40/45)"},
                         {kAppend, "ｵｰﾌﾟﾝ成功"},
                         {kReplace, "ﾚｺｰﾄﾞ受信 :  1/2"},
                         {kReplace, "ﾚｺｰﾄﾞ受信 :  2/2"},
                         {kAppend, "ﾚｺｰﾄﾞ受信<2> : 正常終了"},
                     }));
    EXPECT_EQ(run.OutputPath, save.Path() + "/T01.txt");
    EXPECT_EQ(view.FileLabelText, "/T01.txt");
    EXPECT_EQ(view.ProgressMax, 2);
    EXPECT_EQ(view.ProgressValue, 2);
    EXPECT_FALSE(view.ProgressVisible);
    EXPECT_FALSE(view.Busy);
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
    EXPECT_EQ(link.opens, 1);
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.openSpeed, 115200);
    EXPECT_EQ(view.Beeps, 0);
}

TEST_F(UploadEngine, PortLineTexts) {
    struct Row {
        int16_t port;
        int32_t baud;
        int16_t mode;
        const char* line;
    };
    const Row rows[] = {
        {1, 115200, 0, "COM1:115.2KBps/RS232C通信(LNU-40/45)"},
        {12, 38400, 1, "COM12:38.4Kbps/IR通信(CQD-6xxx/QR-30)"},
        {3, 9600, 0, "COM3:38.4Kbps/RS232C通信(LNU-40/45)"},
    };
    for (const Row& row : rows) {
        Restart();
        run.IsRunning = false;  // stops at the first check point after the open
        settings.Port = row.port;
        settings.Baud = row.baud;
        settings.Mode = static_cast<LinkMode>(row.mode);
        Run();
        ASSERT_FALSE(view.StatusCalls.empty());
        EXPECT_FALSE(view.StatusCalls[0].Append);
        EXPECT_EQ(view.StatusCalls[0].Text, row.line);
        EXPECT_EQ(link.openPort, row.port);
        EXPECT_EQ(link.openMode, row.mode);
    }
}

// A port that does not open (0, -1, 2), or no link library at all (1 here): the same report, and without a
// library nothing is called.
TEST_F(UploadEngine, PortThatCannotBeOpenedOrNoLibrary) {
    for (const int32_t result : {0, -1, 2, 1}) {
        SCOPED_TRACE(result);
        Restart();
        link.openResult = result;
        Run(result == 1 ? nullptr : link.Api());
        EXPECT_EQ(view.StatusLines(),
                  (Lines{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}));
        EXPECT_EQ(view.Beeps, 1);
        EXPECT_EQ(link.written, result == 1 ? Lines{} : Lines{"CAN"});  // to no port
        EXPECT_FALSE(run.IsRunning);
        EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
        EXPECT_FALSE(FileExists(settings.BackFilePath));
    }
    EXPECT_EQ(link.closes, 3);
}

TEST_F(UploadEngine, ClockIsSetOnlyForOneAndUntilTheTerminalSaysOk) {
    settings.TimeAdjust = "1";
    link.Reply("ok");
    link.Silence();
    link.Reply("OK ");
    link.Reply("OK");
    Upload({"A"});
    Run();
    EXPECT_EQ(link.CountWritten("TW20240102090507"), 4);
    EXPECT_EQ(link.written[4], "VOL");
    EXPECT_EQ(link.clears, 5);  // before each "TW" and the "VOL"
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<1> : 正常終了");

    // Only exactly "1" sets the clock.
    for (const char* value : {"0", "0.5", "", "10"}) {
        Restart();
        settings.TimeAdjust = value;
        Upload({"A"});
        Run();
        EXPECT_EQ(link.written.front(), "VOL") << "TimeAdjust '" << value << "'";
    }
}

// The waiting label counts whole seconds of the PC clock from the first enquiry and goes with the answer;
// here every reading of the clock is 13 s later than the one before.
TEST_F(UploadEngine, WaitingLabelCountsFromTheFirstEnquiryUntilTheAnswer) {
    link.Silence(5);
    Upload({"A"});
    int readings = 0;
    UploadContext context{settings, run, view, link.Api(), [&readings] {
                              PcDateTime time = kClock;
                              time.Minute += readings / 4;  // 13 s a reading, over whole minutes
                              time.Second += (readings++ % 4) * 13;
                              return time;
                          }};
    RunUpload(context);
    EXPECT_EQ(view.WaitingLabels, (Lines{"端末待ち 0:00", "端末待ち 0:13", "端末待ち 0:26", "端末待ち 0:39",
                                         "端末待ち 1:00", "端末待ち 1:13", ""}));
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<1> : 正常終了");
}

TEST_F(UploadEngine, EleventhBadEnquiryAnswerRingsTheBell) {
    struct Row {
        const char* name;
        std::string answer;
        const char* status;
        const char* cause = nullptr;  // the line after a good frame that cannot be served
    };
    const char* const format = "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ";
    const char* const crc = "ENQ送信/ﾌｧｲﾙ名受信 : CRC ｴﾗｰ";
    const Row rows[] = {
        {"checksum", "^#T01@2*D3", crc},
        {"lower-case checksum", "^#T01@2*d2", crc},
        {"format", "#T01@2*D2", format},
        {"record type", Frame('0', "T01@2"), format},
        // Frames that pass the check but cannot be served are refused the same way.
        {"no at sign", Frame('#', "T01"), format, "ﾚｺｰﾄﾞ件数が不正です (なし)"},
        {"count 0", Frame('#', "T01@0"), format, "ﾚｺｰﾄﾞ件数が不正です (0)"},
        {"count 32768", Frame('#', "T01@32768"), format, "ﾚｺｰﾄﾞ件数が不正です (32768)"},
        {"huge count", Frame('#', "T01@99999999999999999999"), format,
         "ﾚｺｰﾄﾞ件数が不正です (99999999999999999999)"},
        {"empty id", Frame('#', "@3"), format, "端末IDがありません"},
        {"path in id", Frame('#', "../../etc/evil@3"), format, "端末IDに使えない文字があります (/)"},
        {"nul in id", Frame('#', std::string("T\0001@3", 5)), format,
         "端末IDに使えない文字があります (\\x00)"},
        {"tab in id", Frame('#', "T\t1@3"), format, "端末IDに使えない文字があります (\\x09)"},
        {"line feed in id", Frame('#', "T1\n@3"), format, "端末IDに使えない文字があります (\\x0a)"},
        {"escape in id", Frame('#', "\x1B[2JT1@3"), format, "端末IDに使えない文字があります (\\x1b)"},
        {"delete in id", Frame('#', "T\x7F@3"), format, "端末IDに使えない文字があります (\\x7f)"},
        // A lead byte followed by a control byte: not a character, and the control byte is still refused.
        {"control byte after a lead byte", Frame('#', "T\x81\x1F@3"), format,
         "端末IDに使えない文字があります (\\x1f)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        for (int i = 0; i < 11; ++i) {
            link.Reply(row.answer);
            link.Silence();  // time-outs in between are not counted
        }
        Run();
        Lines expected;
        for (int i = 0; i < 10; ++i) {
            expected.insert(expected.end(), {"VOL", "NAK", "VOL"});
        }
        expected.insert(expected.end(), {"VOL", "BEL", "CAN"});
        EXPECT_EQ(link.written, expected);
        Lines status{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝ成功", row.status, "異常終了"};
        if (row.cause != nullptr) {
            status.insert(status.end() - 1, row.cause);
        }
        EXPECT_EQ(view.StatusLines(), status);
        EXPECT_EQ(view.Beeps, 1);
        EXPECT_FALSE(FileExists(settings.BackFilePath));
        EXPECT_EQ(link.replies.size(), 1u);  // the silence after the eleventh answer is never read
    }
    EXPECT_TRUE(std::filesystem::is_empty(save.Path()));
}

// Uploads that are stored after answers the run must see through: refused ones, repeats, names.
TEST_F(UploadEngine, StoredThroughRefusalsRepeatsAndNames) {
    struct Row {
        const char* name;
        std::function<void()> script;
        const char* file;  // in the save folder, holding what the backup holds
        std::string stored;
        int naks;
        Lines written = {};  // when the whole exchange is checked
    };
    Lines twelve;
    for (int i = 0; i < 12; ++i) {
        twelve.push_back("R" + std::to_string(i));
    }
    const Row rows[] = {
        {"tenth bad enquiry answer, then a good one",
         [this] {
             for (int i = 0; i < 10; ++i) {
                 link.Reply(Frame('#', "T01@0"));
             }
             Upload({"A"});
         },
         "T01.txt", "A\r\n", 10},
        {"terminal ID that no name uses is not checked",
         [this] {
             settings.FixFname = "fixed";
             Upload({"A,1"}, "../x");
         },
         "fixed.txt", "A,1\r\n", 0},
        // "ﾃｽﾄ" in CP932 half-width katakana, and a double-byte ID whose trail byte is 0x40 ("@").
        {"half-width katakana ID", [this] { Upload({"A"}, "\xC3\xBD\xC4"); }, "ﾃｽﾄ.txt", "A\r\n", 0},
        {"double-byte ID", [this] { Upload({"B"}, "\x83\x40"); }, "ァ.txt", "B\r\n", 0},
        {"sequence digits wrap, a repeat of 9 before 0, a skipped digit refused",
         [&] {
             Enquiry("T01", 12);
             for (int i = 0; i < 12; ++i) {
                 if (i == 10) {
                     link.Reply(Frame('9', "R9"));   // repeat of record 9 before "0": a duplicate
                     link.Reply(Frame('1', "R11"));  // skips "0": refused
                 }
                 link.Reply(Frame(static_cast<char>('0' + i % 10), twelve[i]));
             }
             link.Reply("END");
         },
         "T01.txt", CrLfLines(twelve), 1},
        {"first record with sequence 9 counts as a repeat",
         [this] {
             Enquiry("T01", 1);
             link.Reply(Frame('9', "X"));
             link.Reply(Frame('0', "A"));
             link.Reply("END");
         },
         "T01.txt", "A\r\n", 0, Lines{"VOL", "ACK", "ACK", "ACK", "ACK"}},
        {"repeat with a bad checksum is acknowledged, not stored",
         [this] {
             Enquiry("T01", 2);
             link.Reply(Frame('0', "A"));
             link.Reply("^0A*00");  // the repeat of record 0 with a wrong checksum: only "^0" is examined
             link.Reply("^0");      // the two characters alone
             link.Reply(Frame('1', "B"));
             link.Reply("END");
         },
         "T01.txt", "A\r\nB\r\n", 0, Lines{"VOL", "ACK", "ACK", "ACK", "ACK", "ACK", "ACK"}},
        {"simple protocol still wants a framed enquiry answer",
         [this] {
             settings.Protocol = UploadProtocol::Simple;
             link.Reply("T01@1");
             link.Reply(Frame('#', "T01@1"));
             link.Reply("^0A,1*56");  // stored whole, frame or not
             link.Reply("END");
         },
         "T01.txt", "^0A,1*56\r\n", 1, Lines{"VOL", "NAK", "VOL", "ACK", "ACK", "ACK"}},
        {"trailing slash of the save folder",
         [this] {
             settings.SaveFolder = save.Path() + "/";
             Upload({"A"});
         },
         "T01.txt", "A\r\n", 0},
    };
    const SettingsRecord defaults = settings;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        settings = defaults;
        std::filesystem::remove(save / "LOG.TXT");
        row.script();
        Run();
        EXPECT_EQ(Output(row.file), row.stored);
        EXPECT_EQ(Backup(), row.stored);
        EXPECT_EQ(link.CountWritten("NAK"), row.naks);
        if (!row.written.empty()) {
            EXPECT_EQ(link.written, row.written);
        }
        const auto records = std::count(row.stored.begin(), row.stored.end(), '\n');
        EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<" + std::to_string(records) + "> : 正常終了");
        EXPECT_EQ(view.ProgressMax, records);
    }
    // The engine drops the trailing slash from the settings but keeps it in the path it reports.
    EXPECT_EQ(run.OutputPath, save.Path() + "//T01.txt");
    EXPECT_EQ(settings.SaveFolder, save.Path());
    EXPECT_TRUE(FileExists(save / "LOG.TXT"));
}

TEST_F(UploadEngine, EleventhConsecutiveBadFrameRingsTheBell) {
    struct Row {
        const char* name;
        std::string frame;
        const char* status;
    };
    const Row rows[] = {
        {"checksum", "^1B*00", "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ"},
        {"lower-case checksum", "^1B*5a", "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ"},
        {"format", "1B*5A", "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"skipped sequence digit", Frame('2', "B"), "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"lower-case end", "end", "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"end with blank", "END ", "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        WriteBytes(save / "T01.txt", "previous\r\n");
        Enquiry("T01", 2);
        link.Reply(Frame('0', "A"));
        for (int i = 0; i < 11; ++i) {
            link.Reply(row.frame);
        }
        Run();
        Lines expected = {"VOL", "ACK", "ACK"};
        expected.insert(expected.end(), 10, "NAK");
        expected.insert(expected.end(), {"BEL", "CAN"});
        EXPECT_EQ(link.written, expected);
        EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  1/2", row.status, "異常終了"}));
        EXPECT_EQ(Backup(), "A\r\n");
        EXPECT_EQ(Output(), "previous\r\n");
        EXPECT_EQ(view.Beeps, 1);
    }
}

TEST_F(UploadEngine, TenthEmptyReplyIsATimeOutCountedWithBadFrames) {
    Enquiry("T01", 2);
    link.Reply(Frame('0', "A"));
    link.Silence(50);
    link.Reply("never read");
    Run();
    Lines expected = {"VOL", "ACK", "ACK"};
    expected.insert(expected.end(), 9, "NAK");
    expected.push_back("CAN");
    EXPECT_EQ(link.written, expected);
    EXPECT_EQ(link.reads, 2 + 50);
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  1/2", "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(view.Beeps, 1);
    // One log line per record-phase pass: the record and ten empty results.
    const std::string log = ReadBytes(save / "LOG.TXT");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 12);
    EXPECT_NE(log.find(R"(" 1","")"), std::string::npos);
    EXPECT_EQ(Backup(), "A\r\n");
    EXPECT_FALSE(FileExists(save / "T01.txt"));

    // Empty results and bad frames share the count. Nine empty results and one bad frame reach 10: still
    // "NAK"; the next bad frame gives "BEL".
    Restart();
    Enquiry("T01", 1);
    link.Silence(45);
    link.Reply("^0A*00");
    link.Reply("^0A*00");
    Run();
    EXPECT_EQ(TailOfWritten(3), (Lines{"NAK", "BEL", "CAN"}));
    EXPECT_EQ(link.CountWritten("NAK"), 10);

    // Nine bad frames and then an empty result: the time-out comes first.
    Restart();
    Enquiry("T01", 1);
    for (int i = 0; i < 9; ++i) {
        link.Reply("^0A*00");
    }
    link.Silence(5);
    Run();
    EXPECT_EQ(TailOfWritten(2), (Lines{"NAK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2], "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ");
}

TEST_F(UploadEngine, RecordBeyondTheCountLimitEndsTheUpload) {
    settings.Protocol = UploadProtocol::Simple;
    Enquiry("T01", 32767);
    for (int i = 0; i < 32768; ++i) {
        link.Reply("r");
    }
    link.Reply("END");
    Run();
    EXPECT_EQ(link.CountWritten("ACK"), 1 + 32767);
    EXPECT_EQ(link.CountWritten("BEL"), 0);
    EXPECT_EQ(link.written.back(), "CAN");
    EXPECT_EQ(view.StatusLines(),
              (Lines{"ﾚｺｰﾄﾞ受信 :  32767/32767", "ﾚｺｰﾄﾞ受信 : 件数ｵｰﾊﾞｰ ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(Backup().size(), 32767u * 3);
    EXPECT_FALSE(FileExists(save / "T01.txt"));
}

TEST_F(UploadEngine, ErrorCountCarriesIntoTheRestartedUpload) {
    settings.AutoStart = Switch::On;
    // The first upload ends at "END" with ErrorCount 1: the tenth bad answer of the next one is fatal.
    Upload({"A"});
    for (int i = 0; i < 12; ++i) {
        link.Reply("garbage");
    }
    Run();
    // Every later upload starts above the limit: its first bad answer rings the bell.
    Lines expected = {"VOL", "ACK", "ACK", "ACK"};
    for (int i = 0; i < 9; ++i) {
        expected.insert(expected.end(), {"VOL", "NAK"});
    }
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), {"VOL", "BEL", "CAN"});
    }
    expected.insert(expected.end(), {"VOL", "CAN"});
    EXPECT_EQ(link.written, expected);

    // After a time-out (ErrorCount 10) the very first bad answer is fatal.
    Restart();
    Enquiry("T01", 1);
    link.Silence(50);
    link.Reply("garbage");
    Run();
    EXPECT_EQ(TailOfWritten(7), (Lines{"NAK", "CAN", "VOL", "BEL", "CAN", "VOL", "CAN"}));
    EXPECT_EQ(
        view.StatusLines(),
        (Lines{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝ成功", "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ", "異常終了",
               "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ", "異常終了", "異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
}

TEST_F(UploadEngine, FileFailures) {
    // The backup cannot be opened.
    settings.BackFilePath = program / "missing/Back.txt";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
    const Lines lines = view.StatusLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].rfind("<BackFile>  2:", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "異常終了");
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_FALSE(view.Busy);

    // The log cannot be opened: the backup was made (empty).
    Restart();
    settings.BackFilePath = program / "Back.txt";
    settings.SaveFolder = save / "gone";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2].rfind("<LogFile>  2:", 0), 0u);
    EXPECT_EQ(Backup(), "");

    // A record cannot be written: it is not acknowledged.
    Restart();
    settings.SaveFolder = save.Path();
    TracingFileOps full;
    full.failCall = "write";
    full.failName = "Back.txt";
    full.failErrno = ENOSPC;
    {
        ScopedFileOps installed(full);
        Upload({"A"});
        Run();
    }
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2].rfind("<BackFile#1WR>  28:", 0), 0u) << view.StatusLines()[2];

    // A named pipe as the backup or as the log, even one with a reader, is a file that cannot be opened.
    for (const std::string& pipe : {program / "Back.txt", save / "LOG.TXT"}) {
        std::filesystem::remove(pipe);
        ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
        const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK);
        Restart();
        Upload({"A"});
        Run();
        ::close(reader);
        std::filesystem::remove(pipe);
        EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
        EXPECT_EQ(view.StatusLines()[2], std::string(pipe.ends_with("LOG.TXT") ? "<LogFile>" : "<BackFile>") +
                                             " -2:通常のﾌｧｲﾙではありません");
    }
}

TEST_F(UploadEngine, MissingDatabaseEndsBeforeThePortAndATableIsNamedAfterTheTerminal) {
    settings.SaveFormat = 2;
    settings.DatabaseName = "stock";
    settings.SaveFolder = save.Path() + "/";
    Run();
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_EQ(view.Messages[0].Title, "Gathra");
    EXPECT_EQ(view.Messages[0].Text, "ｴﾗｰ\r\n" + save.Path() + "/stock.mdb が存在しません。");
    EXPECT_EQ(link.opens, 0);
    EXPECT_EQ(link.closes, 0);
    EXPECT_TRUE(view.StatusCalls.empty());
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));

    // Once it is there, the table is named after the terminal.
    Restart();
    settings.SaveFolder = save.Path();
    WriteBytes(save / "stock.mdb", "");
    run.TableName = "before";
    link.Reply(Frame('#', "T07@1"));
    Run();  // stopped while waiting for the record
    EXPECT_EQ(run.OutputPath, save.Path() + "/stock.mdb");
    EXPECT_EQ(run.TableName, "T07");
    EXPECT_EQ(view.FileLabelText, save.Path() + "/stock.mdb\r\nﾃｰﾌﾞﾙ : T07");
    EXPECT_EQ(link.opens, 1);
}

// A mail that fails (no server) undoes the store; a writer that fails answers "CAN" before any mail is tried.
TEST_F(UploadEngine, MailOrWriterFailureAnswersCan) {
    settings.SendMail = Switch::On;
    settings.MailAddress = "office@example.invalid";
    settings.MailServer = "";
    Upload({"A"});
    Run();
    EXPECT_EQ(Output(), "");  // the store is undone: the terminal sends the records again
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].Store, StoreState::Undone);
    EXPECT_EQ(link.written.back(), "CAN");
    const Lines lines = view.StatusLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "office@example.invalid宛 ﾒｰﾙ登録失敗:" + run.MailErrorText);
    EXPECT_EQ(lines.back(), "異常終了");

    // The mail would fail too: its line must not appear, since the mail is never tried.
    Restart();
    run.OutputPath = "";
    run.MailErrorText = "";
    settings.FixFname = "no/such/folder/out";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "ACK", "CAN"}));
    EXPECT_EQ(view.Messages.size(), 1u);  // the writer's own message
    const Lines failed = view.StatusLines();
    ASSERT_EQ(failed.size(), 3u);  // the progress, the writer's own line, the abnormal end
    EXPECT_EQ(failed[1].find("宛"), std::string::npos) << failed[1];
    EXPECT_EQ(failed[2], "異常終了");
    EXPECT_TRUE(run.MailErrorText.empty());
}

TEST_F(UploadEngine, SpreadsheetFormatStoresAWorkbook) {
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = 1;  // the settings file's defaults for a new workbook
    settings.XlsF1 = 1;
    settings.XlsStartLine = 1;
    Upload({"Alpha,1", "Beta,2"});
    EXPECT_EQ(Run(), RunOutcome::Stored);
    EXPECT_EQ(run.OutputPath, save.Path() + "/T01.xls");
    const std::string book = ReadBytes(save / "T01.xls");
    // An OLE2 compound file holding the records' text, never the text output's CR LF lines.
    EXPECT_EQ(book.substr(0, 8), std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    EXPECT_NE(book.find("Alpha"), std::string::npos);
    EXPECT_EQ(book.find("Alpha,1\r\n"), std::string::npos);
    EXPECT_FALSE(FileExists(save / "T01.txt"));
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<2> : 正常終了");
    EXPECT_EQ(link.written.back(), "ACK");
}

// Back.txt and LOG.TXT hold the latest upload that reached its record phase: an upload that ends before
// it leaves both as they were.
TEST_F(UploadEngine, UploadEndingBeforeItsRecordsLeavesBackupAndLogAlone) {
    struct Row {
        const char* name;
        std::function<void()> script;
    };
    const Row rows[] = {
        {"port not opened", [this] { link.openResult = 0; }},
        {"stopped while setting the clock",
         [this] {
             settings.TimeAdjust = "1";
             link.Reply("NG");
         }},
        {"stopped while enquiring", [this] { link.Silence(3); }},
        {"bell after bad answers",
         [this] {
             for (int i = 0; i < 11; ++i) {
                 link.Reply("^#T01@1*00");
             }
         }},
        {"device gone while enquiring",
         [this] {
             link.WithState();
             link.failedReopens = 1000;
             link.Unplug();
             reconnectInterval = std::chrono::milliseconds(0);
             link.onFailedReopen = [this] { PressStop(); };
         }},
        {"device gone at the answer's ACK",
         [this] {
             link.WithState();
             link.unplugAtWrite = 2;
             Upload({"A"});
         }},
    };
    const std::string logPath = save / "LOG.TXT";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        link.openResult = 1;
        settings.TimeAdjust = "0";
        WriteBytes(settings.BackFilePath, "old record\r\n");
        WriteBytes(logPath, "old log\r\n");
        row.script();
        Run();
        EXPECT_EQ(Backup(), "old record\r\n");
        EXPECT_EQ(ReadBytes(logPath), "old log\r\n");
        EXPECT_FALSE(run.IsRunning);
    }
}

// Every way a run can end, and what each observer reads of it: the engine decides one UploadResult, and
// the status text's end, the terminal's last line, the output, the journal entry, the command's GATHRA_*,
// the collector's summary line and its exit code all say the same about it.
TEST_F(UploadEngine, EveryObserverReadsTheOneResult) {
    SmtpSinkProcess sink;
    TempFolder work;
    ASSERT_EQ(sink.Start(work.Path(), {.Reject = {"refused@example.jp"}}), "");
    TracingFileOps faults;
    // Mail to `to` through `server`; `fail` ("<call>|<file>") makes one file call fail.
    const auto mail = [&](const char* to, const std::string& server, const std::string& fail = "|",
                          int16_t overWrite = 1) {
        settings.OverWrite = overWrite;
        settings.SendMail = Switch::On;
        settings.MailAddress = to;
        settings.FromMailAddress = "gathra@example.jp";
        settings.MailServer = server;
        faults.failCall = fail.substr(0, fail.find('|'));
        faults.failName = fail.substr(fail.find('|') + 1);
    };
    const auto bell = [this] {
        Enquiry("T01", 1);
        for (int i = 0; i < 11; ++i) {
            link.Reply("^0A*00x");
        }
    };
    const auto gone = [this] {
        link.WithState();
        Enquiry("T01", 3);
        link.Unplug();
    };
    const std::string stored = "A\r\nB\r\n";
    const std::string old = "old\r\n";
    const Lines normalEnd{"ﾚｺｰﾄﾞ受信<2> : 正常終了"};
    const Lines abnormalEnd{"異常終了"};
    const Lines stopLines{"異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"};
    const Lines ackError{"ACK送信ｴﾗｰ", "異常終了"};
    // Of the upload's result (absent for a run that served none): answer, store, mail, records, outcome.
    using Expected = std::tuple<FinalAnswer, StoreState, MailOutcome, int, UploadOutcome>;
    const auto read = [](const UploadResult& r) {
        return Expected{r.Answer, r.Store, r.Mail, r.RecordsStored, r.Outcome};
    };
    struct Row {
        const char* name;
        bool upload;  // the terminal sends A and B after `setup`
        std::function<void()> setup;
        RunOutcome outcome;
        int exitCode;
        std::optional<Expected> result;
        Lines statusTail;  // the last status lines appended
        std::string output = "old\r\n";
    };
    const auto ack =
        Expected{FinalAnswer::Ack, StoreState::Committed, MailOutcome::NotAsked, 2, UploadOutcome::Stored};
    const auto failed = [](FinalAnswer answer, StoreState store, MailOutcome mail = MailOutcome::NotAsked,
                           UploadOutcome outcome = UploadOutcome::Failed) {
        return Expected{answer, store, mail, 0, outcome};
    };
    using enum FinalAnswer;
    using enum StoreState;
    const Row rows[] = {
        {"stored", true, [] {}, RunOutcome::Stored, 0, ack, normalEnd, stored},
        {"stopped while waiting", false, [] {}, RunOutcome::StoppedIdle, 0, std::nullopt, stopLines},
        {"stopped mid-upload", false, [this] { Enquiry("T01", 3); }, RunOutcome::StoppedMidUpload, 1,
         failed(Can, NotReached, MailOutcome::NotAsked, UploadOutcome::Stopped), stopLines},
        {"bell", false, bell, RunOutcome::Failed, 1, failed(Can, NotReached),
         Lines{"ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ", "異常終了"}},
        {"device gone mid-upload", false, gone, RunOutcome::Failed, 1,
         failed(None, NotReached, MailOutcome::NotAsked, UploadOutcome::DeviceGone),
         Lines{"ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了"}},
        {"store failed", true, [this] { settings.FixFname = "no/such/folder/out"; }, RunOutcome::Failed, 1,
         failed(Can, Failed), abnormalEnd},
        {"mail refused: the store undone", true, [&] { mail("refused@example.jp", sink.Address()); },
         RunOutcome::Failed, 1, failed(Can, Undone, MailOutcome::Failed), abnormalEnd},
        {"mail sent, then the commit failed", true,
         [&] { mail("office@example.jp", sink.Address(), "rename|<temp> T01.txt"); }, RunOutcome::Failed, 1,
         failed(Can, Failed, MailOutcome::Sent), abnormalEnd},
        {"mail refused, append mode, and the undo failed: the records stay", true,
         [&] { mail("office@example.jp", "", "truncate|T01.txt", 0); }, RunOutcome::Failed, 1,
         failed(Can, UndoFailed, MailOutcome::Failed), abnormalEnd, old + stored},
        // The writes: VOL, ACK, ACK, ACK, the final ACK.
        {"final ACK not written", true, [this] { link.WithState().unplugAtWrite = 5; }, RunOutcome::Failed, 1,
         failed(None, Undone), ackError},
        {"final ACK written, the device gone after it", true, [this] { link.WithState().goneAfterWrite = 5; },
         RunOutcome::Failed, 1, failed(AckNotOut, Undone), ackError},
        {"port not opened", false, [this] { link.openResult = 0; }, RunOutcome::PortNotOpened, 3,
         std::nullopt, Lines{"ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}},
        // With automatic start only a stop ends the run: while waiting, after a stored upload.
        {"stored, then stopped while waiting", true, [this] { settings.AutoStart = Switch::On; },
         RunOutcome::StoppedIdle, 0, ack, stopLines, stored},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        settings = SettingsRecord();
        SetUploadDefaults(settings, save.Path(), program / "Back.txt", 1);
        settings.OverWrite = 1;
        link.openResult = 1;
        link.goneAfterWrite = 0;
        link.onScriptEnd = [this] { PressStop(); };
        faults.failCall.clear();
        std::filesystem::remove(UploadJournal::PathIn(program.Path()));
        WriteBytes(save / "T01.txt", old);
        row.setup();
        if (row.upload) {
            Upload({"A", "B"});
        }
        RunOutcome outcome;
        {
            UploadFollowUp followUp(program.Path(), [](const std::string&) {});
            ScopedFileOps failing(faults);
            outcome =
                Run(link.Api(), [&followUp](const UploadResult& result) { followUp.UploadEnded(result); });
        }
        EXPECT_EQ(outcome, row.outcome);
        const Lines appended = Appended();
        ASSERT_GE(appended.size(), row.statusTail.size());
        EXPECT_EQ(Lines(appended.end() - static_cast<long>(row.statusTail.size()), appended.end()),
                  row.statusTail);
        EXPECT_EQ(Output(), row.output);
        std::string reason;
        const UploadResult last = results.empty() ? UploadResult{} : results.back();
        EXPECT_EQ(RunExitCode(outcome, settings, run, last.FailureText, appended.back(), reason),
                  row.exitCode);
        if (!row.result) {
            EXPECT_TRUE(results.empty());
            continue;
        }
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(read(last), *row.result);
        const auto [answer, store, mail, records, uploadOutcome] = *row.result;
        EXPECT_EQ(last.Format, "text");
        // Its failure lines are what the operator was shown, the mail's own and the store's included.
        EXPECT_EQ(last.FailureText.empty(), row.exitCode == 0) << last.FailureText;
        EXPECT_EQ(last.FailureText.find("宛 ﾒｰﾙ登録完了"), std::string::npos);
        EXPECT_EQ(last.FailureText.find("宛 ﾒｰﾙ登録失敗") != std::string::npos, mail == MailOutcome::Failed);
        if (outcome == RunOutcome::Failed) {
            EXPECT_EQ(reason, last.FailureText);
        }
        // The upload's last line to the terminal (before a restart's "VOL"): "CAN" unless an "ACK" was
        // written, lost when nothing could be.
        const bool ackWritten = answer == FinalAnswer::Ack || answer == FinalAnswer::AckNotOut;
        const auto restart = std::find(link.transcript.begin() + 1, link.transcript.end(), "PC VOL");
        EXPECT_EQ(*std::prev(restart), std::string(ackWritten ? "PC ACK" : "PC CAN") +
                                           (answer == FinalAnswer::None ? " <lost>" : ""));
        // The journal.
        UploadJournal journal(UploadJournal::PathIn(program.Path()));
        ASSERT_TRUE(journal.OpenForReading());
        const std::vector<JournalEntry> entries = journal.Read({}).value_or(std::vector<JournalEntry>{});
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(read(entries[0].Upload), *row.result);
        EXPECT_EQ(entries[0].Upload.FailureText, last.FailureText);
        // The command's environment and the collector's summary.
        std::map<std::string, std::string> environment;
        for (const auto& [name, value] : AfterUploadEnvironment(last)) {
            environment[name] = value;
        }
        EXPECT_EQ(environment["GATHRA_OUTCOME"],
                  uploadOutcome == UploadOutcome::Stored ? "stored" : "failed");
        EXPECT_EQ(environment["GATHRA_RECORDS"], std::to_string(records));
        const std::string summary = UploadSummaryLine(last);
        EXPECT_EQ(summary.rfind("T01: " + std::to_string(records) + "件 → ", 0), 0u) << summary;
        EXPECT_EQ(summary.find(" 正常終了") != std::string::npos, row.exitCode == 0) << summary;
    }
    // The one mail that went out was the one whose commit then failed.
    EXPECT_EQ(sink.Messages().size(), 1u);
}

// An unplugged cradle: the library says the device is gone after a failed read or write.
TEST_F(UploadEngine, DeviceGoneMidUploadWithoutAutomaticStartEndsTheRun) {
    link.WithState();
    WriteBytes(save / "T01.txt", "previous\r\n");
    Enquiry("T01", 4);
    link.Reply(Frame('0', "A"));
    link.Reply(Frame('1', "B"));
    link.Unplug();
    EXPECT_EQ(Run(), RunOutcome::Failed);
    EXPECT_EQ(link.transcript,
              (Lines{"PC VOL", "T " + Frame('#', "T01@4"), "PC ACK", "T " + Frame('0', "A"), "PC ACK",
                     "T " + Frame('1', "B"), "PC ACK", "T <gone>", "PC CAN <lost>"}));
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  2/4", "ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_EQ(link.portEvents, (Lines{"open 1", "state -1", "close"}));
    // Nothing stored; the records received stay in the backup, and the gone read is not logged.
    EXPECT_EQ(Backup(), "A\r\nB\r\n");
    EXPECT_EQ(Output(), "previous\r\n");
    const std::string log = ReadBytes(save / "LOG.TXT");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
    EXPECT_FALSE(view.Busy);
}

TEST_F(UploadEngine, DeviceGoneMidUploadWithAutomaticStartReconnects) {
    link.WithState();
    settings.AutoStart = Switch::On;
    link.failedReopens = 2;
    Enquiry("T01", 3);
    link.Reply(Frame('0', "A"));
    link.Unplug();
    Upload({"C"});
    EXPECT_EQ(Run(), RunOutcome::StoppedIdle);
    EXPECT_EQ(Appended(), (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了", "ﾎﾟｰﾄ再接続待ち", "ｵｰﾌﾟﾝ成功",
                                 "ﾚｺｰﾄﾞ受信<1> : 正常終了", "異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
    // The port is closed before it is opened again; the final "ACK" is out once the device is still there
    // after it, and the last state query is the time-out of the enquiry that ended with the stop.
    EXPECT_EQ(link.portEvents, (Lines{"open 1", "state -1", "close", "open 0", "open 0", "open 1", "state 1",
                                      "state 1", "close"}));
    EXPECT_EQ(link.openPort, 1);
    EXPECT_EQ(Output(), "C\r\n");
    EXPECT_EQ(Backup(), "C\r\n");
    EXPECT_EQ(view.Beeps, 1);
}

TEST_F(UploadEngine, DeviceGoneWhileWaitingForATerminalAlwaysReconnects) {
    struct Row {
        const char* name;
        int16_t autoStart;
        const char* timeAdjust;
        Lines tail;  // the appended lines after the stored upload
    };
    const Row rows[] = {
        {"enquiry, no automatic start", 0, "0", {}},
        {"clock setting, automatic start", 1, "1", {"異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Restart();
        link.WithState();
        settings.AutoStart = static_cast<Switch>(row.autoStart);
        settings.TimeAdjust = row.timeAdjust;
        link.Silence(2);
        link.Unplug();
        if (std::string(row.timeAdjust) == "1") {
            link.Reply("OK");
        }
        Upload({"A"});
        EXPECT_EQ(Run(), row.autoStart == 1 ? RunOutcome::StoppedIdle : RunOutcome::Stored);
        Lines expected = {"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "ﾎﾟｰﾄ再接続待ち", "ｵｰﾌﾟﾝ成功",
                          "ﾚｺｰﾄﾞ受信<1> : 正常終了"};
        expected.insert(expected.end(), row.tail.begin(), row.tail.end());
        EXPECT_EQ(Appended(), expected);
        // No upload was in progress: nothing to cancel while the device was gone.
        for (const std::string& line : link.transcript) {
            EXPECT_EQ(line.find("CAN <lost>"), std::string::npos);
        }
        EXPECT_EQ(Output(), "A\r\n");
    }
}

TEST_F(UploadEngine, StopEndsTheWaitForTheDeviceAtOnce) {
    link.WithState();
    link.failedReopens = 1000000;
    reconnectInterval = std::chrono::seconds(60);
    link.Unplug();
    // The stop comes from another thread, as the window's stop button does, while the run waits.
    std::thread stopButton;
    link.onFailedReopen = [&] { stopButton = std::thread([this] { PressStop(); }); };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(), RunOutcome::StoppedIdle);
    stopButton.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(Appended(), (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "ﾎﾟｰﾄ再接続待ち", "異常終了",
                                 "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
    EXPECT_EQ(link.opens, 2);
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
}

TEST_F(UploadEngine, FailedWriteToAGoneDeviceIsNoticed) {
    // The "ACK" of the second record fails: the device went between two lines.
    link.WithState();
    link.unplugAtWrite = 4;
    Enquiry("T01", 3);
    link.Reply(Frame('0', "A"));
    link.Reply(Frame('1', "B"));
    link.Reply(Frame('2', "C"));
    EXPECT_EQ(Run(), RunOutcome::Failed);
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  2/3", "ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(link.reads, 3);  // nothing is read from the gone device
    EXPECT_EQ(Backup(), "A\r\nB\r\n");
}

TEST_F(UploadEngine, LibraryWithoutDeviceStateTreatsAGoneDeviceAsSilent) {
    // An older library: the unplugged cradle is only silence, which ends the record phase as a time-out.
    link.onScriptEnd = nullptr;
    Enquiry("T01", 2);
    link.Reply(Frame('0', "A"));
    link.Unplug();
    EXPECT_EQ(Run(), RunOutcome::Failed);
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  1/2", "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(link.portEvents, (Lines{"open 1", "close"}));
}

}  // namespace
