// The upload run against a scripted terminal: every branch of the exchange, fast and deterministic.
#include "upload/upload_engine.h"

#include <gtest/gtest.h>

#include "fake_link.h"
#include "support/recording_operator_view.h"
#include "upload_test_support.h"

namespace {

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
        for (int i = 1; i <= 20; ++i) {
            settings.XlsField[i] = 1;
        }
        run.IsRunning = true;
        // A terminal whose script has run out: the operator presses stop.
        link.onScriptEnd = [this] { PressStop(); };
    }

    void PressStop() {
        run.IsRunning = false;
        run.StopRequested = true;
    }

    void Run(const LinkApi* api) {
        UploadContext context{settings, run, view, api, [] { return kClock; }};
        RunUpload(context);
    }
    void Run() { Run(link.Api()); }

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

    std::string Backup() const { return ReadFileBytes(settings.BackFilePath); }
    std::string Output(const std::string& name = "T01.txt") const { return ReadFileBytes(save / name); }
    std::string LastStatus() const { return view.StatusLines().back(); }
    std::vector<std::string> TailOfWritten(size_t n) const {
        const auto& w = link.written;
        return std::vector<std::string>(w.end() - static_cast<long>(std::min(n, w.size())), w.end());
    }

    TempDir program;
    TempDir save;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
    FakeLink link;
};

using Lines = std::vector<std::string>;

TEST_F(UploadEngine, TwoRecordUploadEndToEnd) {
    Upload({"A,1", "B,2"});
    Run();

    EXPECT_EQ(link.transcript, (Lines{"PC VOL", "T ^#T01@2*D2", "PC ACK", "T ^0A,1*56", "PC ACK",
                                      "T ^1B,2*59", "PC ACK", "T END", "PC ACK"}));
    EXPECT_EQ(Backup(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(Output(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(ReadFileBytes(save / "LOG.TXT"), CrLfLines({
                                                   R"("2024/01/02","09:05:07"," 0","^#T01@2*D2")",
                                                   R"("2024/01/02","09:05:07"," 0","^0A,1*56")",
                                                   R"("2024/01/02","09:05:07"," 1","^1B,2*59")",
                                                   R"("2024/01/02","09:05:07"," 2","END")",
                                               }));
    using Call = RecordingOperatorView::StatusCall;
    std::vector<std::pair<int, std::string>> calls;
    for (const Call& call : view.StatusCalls) {
        calls.emplace_back(call.Mode, call.Text);
    }
    EXPECT_EQ(calls, (std::vector<std::pair<int, std::string>>{
                         {0, "COM1:115.2KBps/RS232C通信(LNU-40/45)"},
                         {1, "ｵｰﾌﾟﾝ成功"},
                         {0, "ﾚｺｰﾄﾞ受信 :  1/2"},
                         {0, "ﾚｺｰﾄﾞ受信 :  2/2"},
                         {1, "ﾚｺｰﾄﾞ受信<2> : 正常終了"},
                     }));
    EXPECT_EQ(run.OutputPath, save.Path() + "/T01.txt");
    EXPECT_EQ(view.FileLabelText, "/T01.txt");
    EXPECT_EQ(view.ProgressMax, 2);
    EXPECT_EQ(view.ProgressValue, 2);
    EXPECT_FALSE(view.ProgressVisible);
    EXPECT_FALSE(view.Busy);
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<int>{0}));
    EXPECT_EQ(link.opens, 1);
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.openSpeed, 115200);
    EXPECT_EQ(view.Beeps, 0);
    EXPECT_GT(view.Yields, 10);
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
        RecordingOperatorView fresh;
        view = fresh;
        run.IsRunning = false;  // stops at the first check point after the open
        settings.Port = row.port;
        settings.Baud = row.baud;
        settings.Mode = row.mode;
        Run();
        ASSERT_FALSE(view.StatusCalls.empty());
        EXPECT_EQ(view.StatusCalls[0].Mode, 0);
        EXPECT_EQ(view.StatusCalls[0].Text, row.line);
        EXPECT_EQ(link.openPort, row.port);
        EXPECT_EQ(link.openMode, row.mode);
    }
}

TEST_F(UploadEngine, PortThatCannotBeOpenedOrNoLibrary) {
    for (const int32_t result : {0, -1, 2}) {
        SCOPED_TRACE(result);
        RecordingOperatorView fresh;
        view = fresh;
        run.IsRunning = true;
        link.openResult = result;
        link.written.clear();
        Run();
        EXPECT_EQ(view.StatusLines(),
                  (Lines{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}));
        EXPECT_EQ(view.Beeps, 1);
        EXPECT_EQ(link.written, (Lines{"CAN"}));  // to no port
        EXPECT_FALSE(run.IsRunning);
        EXPECT_EQ(view.RunningStates, (std::vector<int>{0}));
    }
    EXPECT_EQ(link.closes, 3);

    // No link library at all: the same report, and nothing is called.
    RecordingOperatorView fresh;
    view = fresh;
    run.IsRunning = true;
    Run(nullptr);
    EXPECT_EQ(view.StatusLines(), (Lines{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}));
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_EQ(view.RunningStates, (std::vector<int>{0}));
    EXPECT_FALSE(FileExists(settings.BackFilePath));
}

TEST_F(UploadEngine, ClockIsSetUntilTheTerminalSaysOk) {
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
}

TEST_F(UploadEngine, ClockSettingOnlyForExactlyOne) {
    for (const char* value : {"0", "0.5", "", "10"}) {
        link.written.clear();
        run.IsRunning = true;
        settings.TimeAdjust = value;
        Upload({"A"});
        Run();
        EXPECT_EQ(link.written.front(), "VOL") << "TimeAdjust '" << value << "'";
    }
}

TEST_F(UploadEngine, EleventhBadEnquiryAnswerRingsTheBell) {
    struct Row {
        const char* name;
        std::string answer;
        const char* status;
    };
    const Row rows[] = {
        {"checksum", "^#T01@2*D3", "ENQ送信/ﾌｧｲﾙ名受信 : CRC ｴﾗｰ"},
        {"lower-case checksum", "^#T01@2*d2", "ENQ送信/ﾌｧｲﾙ名受信 : CRC ｴﾗｰ"},
        {"format", "#T01@2*D2", "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"record type", Frame('0', "T01@2"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        // Frames that pass the check but cannot be served are refused the same way.
        {"no at sign", Frame('#', "T01"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"count 0", Frame('#', "T01@0"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"count 32768", Frame('#', "T01@32768"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"huge count", Frame('#', "T01@99999999999999999999"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"empty id", Frame('#', "@3"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"path in id", Frame('#', "../../etc/evil@3"), "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
        {"nul in id",
         Frame('#', std::string("T\0"
                                "1@3",
                                4)),
         "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string& answer = row.answer;
        const std::string status = row.status;
        RecordingOperatorView fresh;
        view = fresh;
        link.written.clear();
        link.replies.clear();
        run.IsRunning = true;
        for (int i = 0; i < 11; ++i) {
            link.Reply(answer);
            link.Silence();  // time-outs in between are not counted
        }
        Run();
        Lines expected;
        for (int i = 0; i < 10; ++i) {
            expected.insert(expected.end(), {"VOL", "NAK", "VOL"});
        }
        expected.insert(expected.end(), {"VOL", "BEL", "CAN"});
        EXPECT_EQ(link.written, expected);
        EXPECT_EQ(view.StatusLines(),
                  (Lines{"COM1:115.2KBps/RS232C通信(LNU-40/45)", "ｵｰﾌﾟﾝ成功", status, "異常終了"}));
        EXPECT_EQ(view.Beeps, 1);
        EXPECT_FALSE(FileExists(settings.BackFilePath));
        EXPECT_TRUE(link.replies.empty() || link.replies.size() == 1);
    }
    EXPECT_TRUE(std::filesystem::is_empty(save.Path()));
}

TEST_F(UploadEngine, TenthBadEnquiryAnswerThenGoodOneIsServed) {
    for (int i = 0; i < 10; ++i) {
        link.Reply(Frame('#', "T01@0"));
    }
    Upload({"A"});
    Run();
    EXPECT_EQ(link.CountWritten("NAK"), 10);
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<1> : 正常終了");
}

TEST_F(UploadEngine, TerminalIdThatNoNameUsesIsNotChecked) {
    settings.FixFname = "fixed";
    Upload({"A,1"}, "../x");
    Run();
    EXPECT_EQ(ReadFileBytes(save / "fixed.txt"), "A,1\r\n");
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<1> : 正常終了");
}

TEST_F(UploadEngine, TerminalIdIsDecodedForTheFileName) {
    // "ﾃｽﾄ" in CP932 half-width katakana, and a double-byte ID whose trail byte is 0x40 ("@").
    Upload({"A"}, "\xC3\xBD\xC4");
    Run();
    EXPECT_EQ(ReadFileBytes(save / "ﾃｽﾄ.txt"), "A\r\n");

    link.transcript.clear();
    run.IsRunning = true;
    Upload({"B"}, "\x83\x40");  // "ァ"
    Run();
    EXPECT_EQ(ReadFileBytes(save / "ァ.txt"), "B\r\n");
    EXPECT_EQ(view.ProgressMax, 1);
}

TEST_F(UploadEngine, SequenceDigitsWrapAndSkippedDigitIsRefused) {
    std::vector<std::string> records;
    for (int i = 0; i < 12; ++i) {
        records.push_back("R" + std::to_string(i));
    }
    Enquiry("T01", 12);
    for (int i = 0; i < 12; ++i) {
        if (i == 10) {
            link.Reply(Frame('9', "R9"));   // repeat of record 9 before "0": a duplicate
            link.Reply(Frame('1', "R11"));  // skips "0": refused
        }
        link.Reply(Frame(static_cast<char>('0' + i % 10), records[i]));
    }
    link.Reply("END");
    Run();
    EXPECT_EQ(Backup(), CrLfLines(records));
    EXPECT_EQ(link.CountWritten("NAK"), 1);
    EXPECT_EQ(LastStatus(), "ﾚｺｰﾄﾞ受信<12> : 正常終了");
}

TEST_F(UploadEngine, FirstRecordWithSequenceNineCountsAsRepeat) {
    Enquiry("T01", 1);
    link.Reply(Frame('9', "X"));
    link.Reply(Frame('0', "A"));
    link.Reply("END");
    Run();
    EXPECT_EQ(Backup(), "A\r\n");
    EXPECT_EQ(link.CountWritten("ACK"), 4);
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
        RecordingOperatorView fresh;
        view = fresh;
        link.written.clear();
        link.replies.clear();
        run.IsRunning = true;
        WriteFileBytes(save / "T01.txt", "previous\r\n");
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

TEST_F(UploadEngine, TenthEmptyReplyIsATimeOut) {
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
    const std::string log = ReadFileBytes(save / "LOG.TXT");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 12);
    EXPECT_NE(log.find(R"(" 1","")"), std::string::npos);
    EXPECT_EQ(Backup(), "A\r\n");
    EXPECT_FALSE(FileExists(save / "T01.txt"));
}

TEST_F(UploadEngine, EmptyRepliesAndBadFramesShareTheCount) {
    // Nine empty results and one bad frame reach 10: still "NAK"; the next bad frame gives "BEL".
    Enquiry("T01", 1);
    link.Silence(45);
    link.Reply("^0A*00");
    link.Reply("^0A*00");
    Run();
    EXPECT_EQ(TailOfWritten(3), (Lines{"NAK", "BEL", "CAN"}));
    EXPECT_EQ(link.CountWritten("NAK"), 10);

    // Nine bad frames and then an empty result: the time-out comes first.
    RecordingOperatorView fresh;
    view = fresh;
    link.written.clear();
    run.IsRunning = true;
    Enquiry("T01", 1);
    for (int i = 0; i < 9; ++i) {
        link.Reply("^0A*00");
    }
    link.Silence(5);
    Run();
    EXPECT_EQ(TailOfWritten(2), (Lines{"NAK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2], "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ");
}

TEST_F(UploadEngine, SimpleProtocolStillWantsAFramedEnquiryAnswer) {
    settings.Protocol = 1;
    link.Reply("T01@1");
    link.Reply(Frame('#', "T01@1"));
    link.Reply("^0A,1*56");  // stored whole, frame or not
    link.Reply("END");
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "NAK", "VOL", "ACK", "ACK", "ACK"}));
    EXPECT_EQ(Backup(), "^0A,1*56\r\n");
}

TEST_F(UploadEngine, RecordBeyondTheCountLimitEndsTheUpload) {
    settings.Protocol = 1;
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
    settings.AutoStart = 1;
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
    RecordingOperatorView fresh;
    view = fresh;
    link.written.clear();
    link.replies.clear();
    run.IsRunning = true;
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

TEST_F(UploadEngine, TrailingSlashOfSaveFolder) {
    settings.SaveFolder = save.Path() + "/";
    Upload({"A"});
    Run();
    EXPECT_EQ(run.OutputPath, save.Path() + "//T01.txt");
    EXPECT_EQ(Output(), "A\r\n");
    EXPECT_TRUE(FileExists(save / "LOG.TXT"));
    EXPECT_EQ(settings.SaveFolder, save.Path());
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
    RecordingOperatorView fresh;
    view = fresh;
    link.written.clear();
    link.replies.clear();
    run.IsRunning = true;
    settings.BackFilePath = program / "Back.txt";
    settings.SaveFolder = save / "gone";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2].rfind("<LogFile>  2:", 0), 0u);
    EXPECT_EQ(Backup(), "");

    // A record cannot be written: it is not acknowledged.
    view = fresh;
    link.written.clear();
    link.replies.clear();
    run.IsRunning = true;
    settings.SaveFolder = save.Path();
    settings.BackFilePath = "/dev/full";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written, (Lines{"VOL", "ACK", "CAN"}));
    EXPECT_EQ(view.StatusLines()[2].rfind("<BackFile#1WR>  28:", 0), 0u) << view.StatusLines()[2];
}

TEST_F(UploadEngine, MissingDatabaseEndsBeforeThePort) {
    settings.SaveFormat = 2;
    settings.MdbName = "stock";
    settings.SaveFolder = save.Path() + "/";
    Run();
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_EQ(view.Messages[0].Title, "Gathra");
    EXPECT_EQ(view.Messages[0].Text, "ｴﾗｰ\r\n" + save.Path() + "/stock.mdb が存在しません。");
    EXPECT_EQ(link.opens, 0);
    EXPECT_EQ(link.closes, 0);
    EXPECT_TRUE(view.StatusCalls.empty());
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<int>{0}));
}

TEST_F(UploadEngine, DatabaseTableNamedAfterTheTerminal) {
    settings.SaveFormat = 2;
    settings.MdbName = "stock";
    WriteFileBytes(save / "stock.mdb", "");
    run.TableName = "before";
    link.Reply(Frame('#', "T07@1"));
    Run();  // stopped while waiting for the record
    EXPECT_EQ(run.OutputPath, save.Path() + "/stock.mdb");
    EXPECT_EQ(run.TableName, "T07");
    EXPECT_EQ(view.FileLabelText, save.Path() + "/stock.mdb\r\nﾃｰﾌﾞﾙ : T07");
    EXPECT_EQ(link.opens, 1);
}

TEST_F(UploadEngine, MailFailureAnswersCan) {
    settings.SendMail = 1;
    settings.MailAddress = "office@example.invalid";
    settings.MailServer = "";
    Upload({"A"});
    Run();
    EXPECT_EQ(Output(), "A\r\n");
    EXPECT_EQ(link.written.back(), "CAN");
    const Lines lines = view.StatusLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "office@example.invalid宛 ﾒｰﾙ登録失敗:" + run.MailErrorText);
    EXPECT_EQ(lines.back(), "異常終了");
}

TEST_F(UploadEngine, WriterFailureAnswersCan) {
    run.OutputPath = "";
    settings.FixFname = "no/such/folder/out";
    Upload({"A"});
    Run();
    EXPECT_EQ(link.written.back(), "CAN");
    EXPECT_EQ(view.Messages.size(), 1u);
    EXPECT_EQ(LastStatus(), "異常終了");
}

}  // namespace
