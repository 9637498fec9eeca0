// gathra-collect as an operator runs it: the real program in a program folder of its own, with the real
// libquorlin.so, against the simulated terminal on a pseudo-terminal linked as ports/COM1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "codec/text_encoding.h"
#include "common/file_ops.h"
#include "common/program_folder_lock.h"
#include "journal/history_text.h"
#include "journal/upload_journal.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"
#include "termsim.h"
#include "upload_test_support.h"

namespace {

constexpr int kPort = 1;
const std::vector<std::string> kRecords{"A001,ﾃｽﾄ,10", "A002,商品,20", "A003,abc,30"};

class CollectTest : public ::testing::Test {
public:
    void SetUp() override {
        bin_ = BinDir();
        ASSERT_FALSE(bin_.empty()) << "GATHRA_BIN_DIR";
        ASSERT_TRUE(program_.Valid());
        ASSERT_TRUE(program_.CopyLibrary(bin_));
        ASSERT_TRUE(program_.CopyFile(bin_ + "/gathra-collect", "gathra-collect"));
        std::filesystem::permissions(Collector(), std::filesystem::perms::owner_all);
        std::filesystem::create_directory(SaveFolder());
    }

    std::string Collector() const { return program_.Path() + "/gathra-collect"; }
    std::string SaveFolder() const { return program_.Path() + "/out"; }
    std::string Ini() const { return program_.Path() + "/Gathra.ini"; }

    // Gathra.ini through the real settings store: the defaults, port 1 in direct mode, the clock left
    // alone, the save folder out/, then the test's changes.
    void WriteSettings(const std::function<void(SettingsRecord&)>& tweak = {}) {
        SettingsRecord record = DefaultSettings();
        record.SaveFolder = SaveFolder();
        record.Port = kPort;
        record.Mode = LinkMode::Direct;
        record.TimeAdjust = "0";
        record.SettingsFilePath = Ini();
        if (tweak) {
            tweak(record);
        }
        RecordingOperatorView view;
        ASSERT_TRUE(WriteSettingsFile(record, view, true));
    }

    // Starts the simulated terminal with the three records; `uploads` 0 serves until stopped.
    void StartTerminal(termsim::Options options = {}) {
        for (const std::string& record : kRecords) {
            options.records.push_back(Utf8ToCp932(record));
        }
        ASSERT_TRUE(terminal_.Start(program_.Path(), kPort, options));
    }

    // Runs the collector from another working folder: its program folder is its own folder. With
    // `outFd` given, its standard output goes there.
    bool Launch(ChildProcess& child, const std::vector<std::string>& args, int outFd = -1) const {
        std::vector<std::string> argv{Collector()};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess::Options options;
        options.WorkingFolder = "/";
        options.OutputFd = outFd;
        return child.Start(argv, options);
    }
    void StartCollector(const std::vector<std::string>& args) { ASSERT_TRUE(Launch(collector_, args)); }

    // The names in the program folder.
    std::set<std::string> ProgramFiles() const {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(program_.Path())) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    static int Count(const std::string& text, const std::string& part) {
        int count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    }

    std::string bin_;
    TempFolder program_;
    termsim::Simulator terminal_;
    ChildProcess collector_;
    FileHandle holder_;  // a port held by another program
};

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

std::string StoredRecords(int uploads) {
    std::string bytes;
    for (int i = 0; i < uploads; ++i) {
        for (const std::string& record : kRecords) {
            bytes += Utf8ToCp932(record) + "\r\n";
        }
    }
    return bytes;
}

TEST_F(CollectTest, OnceStoresOneUploadAndLeavesTheSettingsFileAlone) {
    // AutoStart 1 in the file: --once still makes a single upload.
    ASSERT_NO_FATAL_FAILURE(WriteSettings([](SettingsRecord& r) { r.AutoStart = Switch::On; }));
    const std::string iniBefore = ReadBytes(Ini());
    const auto iniTime = std::filesystem::last_write_time(Ini());
    ASSERT_NO_FATAL_FAILURE(StartTerminal());
    ASSERT_NO_FATAL_FAILURE(StartCollector({"--once"}));

    EXPECT_EQ(collector_.Wait(std::chrono::seconds(30)), 0) << collector_.Output() << collector_.Errors();
    EXPECT_EQ(terminal_.FinalAnswers(), std::vector<std::string>{"ACK"});
    EXPECT_EQ(ReadBytes(SaveFolder() + "/T01.txt"), StoredRecords(1));
    EXPECT_EQ(ReadBytes(Ini()), iniBefore);
    EXPECT_EQ(std::filesystem::last_write_time(Ini()), iniTime);
    EXPECT_EQ(collector_.Errors(), "");

    // One time-stamped line per status, in order, ending with the normal end.
    const std::string out = collector_.Output();
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (.*))");
    std::vector<std::string> texts;
    size_t start = 0;
    for (size_t end = out.find('\n'); end != std::string::npos;
         start = end + 1, end = out.find('\n', start)) {
        std::smatch match;
        const std::string text = out.substr(start, end - start);
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        texts.push_back(match[1]);
    }
    EXPECT_EQ(start, out.size()) << "the last line is not ended";
    const std::vector<std::string> expected{"COM1:115.2KBps/RS232C通信(LNU-40/45)",
                                            "ｵｰﾌﾟﾝ成功",
                                            "ﾚｺｰﾄﾞ受信 :  1/3",
                                            "ﾚｺｰﾄﾞ受信 :  2/3",
                                            "ﾚｺｰﾄﾞ受信 :  3/3",
                                            "ﾚｺｰﾄﾞ受信<3> : 正常終了",
                                            "T01: 3件 → " + SaveFolder() + "/T01.txt 正常終了"};
    EXPECT_EQ(texts, expected);
}

// A failed upload's summary line and exit reason carry the failure's own status line (here the text
// writer's), not the bare "異常終了"; so does an upload refused at its enquiry, which has no summary.
TEST_F(CollectTest, FailedUploadIsSummedUpWithItsOwnReason) {
    ASSERT_NO_FATAL_FAILURE(WriteSettings());
    std::filesystem::create_directory(SaveFolder() + "/T01.txt");  // the output cannot be written
    ASSERT_NO_FATAL_FAILURE(StartTerminal());
    ASSERT_NO_FATAL_FAILURE(StartCollector({"--once"}));
    EXPECT_EQ(collector_.Wait(std::chrono::seconds(30)), 1) << collector_.Output() << collector_.Errors();
    const std::string out = collector_.Output();
    const std::string head = "T01: 0件 → " + SaveFolder() + "/T01.txt 異常終了 (";
    const size_t at = out.find(head);
    ASSERT_NE(at, std::string::npos) << out;
    const std::string failure = out.substr(at + head.size(), out.find(")\n", at) - at - head.size());
    EXPECT_NE(failure, "");
    EXPECT_NE(collector_.Errors().find("gathra-collect: " + failure + "\n"), std::string::npos)
        << collector_.Errors();

    terminal_.Stop();
    termsim::Options options;
    options.terminalId = "T/1";
    ASSERT_NO_FATAL_FAILURE(StartTerminal(options));
    ChildProcess collector;
    ASSERT_TRUE(Launch(collector, {"--once"}));
    EXPECT_EQ(collector.Wait(std::chrono::seconds(30)), 1) << collector.Output() << collector.Errors();
    EXPECT_EQ(collector.Errors(),
              "gathra-collect: ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ / 端末IDに使えない文字があります (/)\n");
}

TEST_F(CollectTest, AutomaticStartServesUploadsUntilSigtermOrSigintWhileIdle) {
    ASSERT_NO_FATAL_FAILURE(WriteSettings([](SettingsRecord& r) { r.AutoStart = Switch::On; }));
    termsim::Options options;
    options.uploads = 3;
    ASSERT_NO_FATAL_FAILURE(StartTerminal(options));
    ASSERT_NO_FATAL_FAILURE(StartCollector({}));

    // Three uploads; then the terminal no longer answers "VOL" and the collector waits for the next one.
    ASSERT_TRUE(terminal_.WaitFinished(30000)) << collector_.Output();
    EXPECT_EQ(terminal_.FinalAnswers(), (std::vector<std::string>{"ACK", "ACK", "ACK"}));
    ASSERT_TRUE(collector_.WaitForOutput("ﾚｺｰﾄﾞ受信<3> : 正常終了", std::chrono::seconds(10)));
    ASSERT_TRUE(terminal_.WaitLinesFromPc(terminal_.LinesFromPc().size() + 1, 10000)) << "no new enquiry";
    collector_.Signal(SIGTERM);

    EXPECT_EQ(collector_.Wait(std::chrono::seconds(10)), 0) << collector_.Output() << collector_.Errors();
    const std::string out = collector_.Output();
    EXPECT_EQ(Count(out, "> : 正常終了"), 3);
    EXPECT_EQ(Count(out, "T01: 3件 → " + SaveFolder() + "/T01.txt 正常終了"), 3) << "one summary line each";
    EXPECT_NE(out.find("通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"), std::string::npos) << out;
    EXPECT_EQ(Count(out, "COM1:"), 1) << "the port is opened once for the whole run";
    const std::string stored = ReadBytes(SaveFolder() + "/T01.txt");
    EXPECT_EQ(stored.substr(0, StoredRecords(3).size()), StoredRecords(3));

    // Ctrl-C on a terminal is the stop button too, here while the terminal leaves "VOL" unanswered.
    terminal_.Stop();
    options.answerEnquiry = false;
    ASSERT_NO_FATAL_FAILURE(StartTerminal(options));
    ChildProcess collector;
    ASSERT_TRUE(Launch(collector, {}));
    ASSERT_TRUE(terminal_.WaitLinesFromPc(2, 30000)) << collector.Output();
    collector.Signal(SIGINT);
    EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), 0) << collector.Output() << collector.Errors();
    EXPECT_NE(collector.Output().find("通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"), std::string::npos)
        << collector.Output();
}

// SIGHUP (the SSH session closed) is the stop button as SIGTERM is; the output of an earlier upload is
// left byte for byte.
TEST_F(CollectTest, SigtermOrSighupMidUploadAnswersCanAndEndsWithExitOne) {
    const std::string old = "OLD,1\r\nOLD,2\r\n";
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        terminal_.Stop();
        ASSERT_NO_FATAL_FAILURE(WriteSettings([](SettingsRecord& r) { r.AutoStart = Switch::On; }));
        WriteBytes(SaveFolder() + "/T01.txt", old);
        termsim::Options options;
        // The terminal goes silent after the first record: the upload is in the middle when the stop comes.
        options.faults.push_back({termsim::FaultKind::Silence, 1, 1000});
        ASSERT_NO_FATAL_FAILURE(StartTerminal(options));
        ChildProcess collector;
        ASSERT_TRUE(Launch(collector, {}));

        // The "ACK" to the enquiry and the one to record 0 (a busy machine may need more than one "VOL").
        for (size_t lines = 1; Count(Joined(terminal_.LinesFromPc()), "ACK") < 2; ++lines) {
            ASSERT_TRUE(terminal_.WaitLinesFromPc(lines, 30000)) << collector.Output();
        }
        collector.Signal(signal);

        EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), 1) << collector.Output() << collector.Errors();
        // The terminal reads the final "CAN" on its own thread, possibly after the collector has ended.
        for (int waited = 0; waited < 5000 && terminal_.LinesFromPc().back() != "CAN"; waited += 10) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const std::vector<std::string> lines = terminal_.LinesFromPc();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "CAN");
        EXPECT_EQ(ReadBytes(SaveFolder() + "/T01.txt"), old);
        EXPECT_NE(collector.Output().find("異常終了"), std::string::npos);
        EXPECT_NE(collector.Errors().find("gathra-collect: "), std::string::npos) << collector.Errors();
    }
}

// Standard output that nobody reads (a stalled journal) must not stall the upload: the status lines of a
// long upload overflow a pipe's buffer many times.
TEST_F(CollectTest, UnreadStandardOutputDoesNotStallTheUpload) {
    ASSERT_NO_FATAL_FAILURE(WriteSettings());
    termsim::Options options;
    for (int i = 0; i < 2000; ++i) {
        options.records.push_back("R" + std::to_string(i) + ",1234567890");
    }
    ASSERT_TRUE(terminal_.Start(program_.Path(), kPort, options));
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    ASSERT_TRUE(Launch(collector_, {"--once"}, pipeFds[1]));
    ::close(pipeFds[1]);

    EXPECT_EQ(collector_.Wait(std::chrono::seconds(60)), 0) << collector_.Errors();
    ::close(pipeFds[0]);
    EXPECT_EQ(terminal_.FinalAnswers(), std::vector<std::string>{"ACK"});
    EXPECT_TRUE(FileExists(SaveFolder() + "/T01.txt"));
}

// --check takes a run's own steps up to the terminal: for every problem a run meets before its first word
// to a terminal, --check and --once end with the same code and name the same reason. Settings need the
// administrator (2, and nothing is created); a port that did not open is 3; a save folder, a database or
// another Gathra on the folder may come back (4). Only the mail server differs: a run finds it out after an
// upload (1), so --check reports it and ends with 0.
TEST_F(CollectTest, CheckAndOnceAgreeRowByRow) {
    struct Case {
        const char* name;
        std::function<void(CollectTest&)> prepare;  // leaves the folder as the case needs it
        std::string reason;                         // part of the reason, of --once and of --check
        int exitCode = 2;
        int checkCode = -1;  // when --check differs from --once
    };
    std::optional<ProgramFolderLock> otherGathra;
    // Settings with SendMail 1 and mail to `to` through `server`, and the terminal in the cradle.
    const auto mail = [](const char* to, const char* server, bool terminal = false) {
        return [=](CollectTest& t) {
            t.WriteSettings([=](SettingsRecord& r) {
                r.SendMail = Switch::On;
                r.MailAddress = to;
                r.FromMailAddress = "gathra@example.jp";
                r.MailServer = server;
            });
            if (terminal) {
                t.StartTerminal();
            }
        };
    };
    std::vector<Case> cases = {
        {"missing file", [](CollectTest&) {}, "INIﾌｧｲﾙが存在しません"},
        {"key missing",
         [](CollectTest& t) { WriteBytes(t.Ini(), "[Gathra]\nSaveFolder=" + t.SaveFolder() + "\n"); },
         "ﾊﾟﾗﾒｰﾀ不正 : Port がありません"},
        {"port out of range", [](CollectTest& t) { t.WriteSettings([](SettingsRecord& r) { r.Port = 0; }); },
         "ﾊﾟﾗﾒｰﾀ不正 : Port=0 (1–255)"},
        {"save format out of range",
         [](CollectTest& t) { t.WriteSettings([](SettingsRecord& r) { r.SaveFormat = 7; }); },
         "ﾊﾟﾗﾒｰﾀ不正 : SaveFormat=7 (0–3)"},
        {"field flag out of range",
         [](CollectTest& t) { t.WriteSettings([](SettingsRecord& r) { r.SelectedFields[3] = 2; }); },
         "ﾊﾟﾗﾒｰﾀ不正(ﾌｨｰﾙﾄﾞ) : XlsField4=2 (0–1)"},
        {"number too large",
         [](CollectTest& t) {
             t.WriteSettings();
             std::string text = ReadBytes(t.Ini());
             text.replace(text.find("Port=1"), 6, "Port=99999");
             WriteBytes(t.Ini(), text);
         },
         "INIﾌｧｲﾙ読み込みｴﾗｰ!! : Port=99999 (1–255)"},
        {"save folder missing",
         [](CollectTest& t) {
             t.WriteSettings([&t](SettingsRecord& r) { r.SaveFolder = t.SaveFolder() + "/gone"; });
         },
         "保存ﾌｫﾙﾀﾞが存在しません", 4},
        {"database missing",
         [](CollectTest& t) {
             t.WriteSettings([](SettingsRecord& r) {
                 r.SaveFormat = kSaveFormatMdb;
                 r.DatabaseName = "counts";
             });
         },
         "counts.mdb が存在しません。", 4},
        // With SendMail 1, mail settings that would refuse every mail end the run before the port opens.
        {"mail without recipient", mail("", "localhost"), "MailAddress= : 宛先ﾒｰﾙｱﾄﾞﾚｽ(To)が空です"},
        {"mail server not host:port", mail("office@example.jp", "mail server"),
         "MailServer=mail server : ﾒｰﾙｻｰﾊﾞｰの指定が正しくありません"},
        {"DbConnect too long",
         [](CollectTest& t) {
             t.WriteSettings([](SettingsRecord& r) { r.SaveFormat = kSaveFormatMdb; });
             WriteBytes(t.Ini(), ReadBytes(t.Ini()) + "DbConnect=DSN=" + std::string(251, 'x') + "\n");
         },
         "DbConnect が長すぎます (255 ﾊﾞｲﾄ。254 ﾊﾞｲﾄまでです)"},
        {"server not reachable",
         [](CollectTest& t) {
             t.WriteSettings([](SettingsRecord& r) { r.SaveFormat = kSaveFormatMdb; });
             WriteBytes(t.Ini(), ReadBytes(t.Ini()) + "DbConnect=DSN=gathra-no-such-source\n");
         },
         "gathra-no-such-source", 4},
        {"another Gathra on the folder",
         [&otherGathra](CollectTest& t) {
             t.WriteSettings();
             ASSERT_EQ(otherGathra.emplace().Acquire(t.program_.Path()), "");
         },
         "Gathraはこのﾌｫﾙﾀﾞで既に起動しています (" + program_.Path() + ", pid " + std::to_string(::getpid()) +
             ")",
         4},
        {"port absent",
         [](CollectTest& t) {
             t.WriteSettings();
             std::filesystem::create_directory(t.program_.Path() + "/ports");
         },
         "COM1: ports/COM1 がありません", 3},
        // Another program holds the port, as a collector of another folder on the same cradle would.
        {"port busy",
         [](CollectTest& t) {
             t.WriteSettings();
             t.StartTerminal();
             t.holder_.Reset(::open(t.terminal_.LinkPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
             ASSERT_EQ(::flock(t.holder_.Get(), LOCK_EX | LOCK_NB), 0);
         },
         ": 他のﾌﾟﾛｸﾞﾗﾑが使用中です", 3},
        {"library missing",
         [](CollectTest& t) {
             t.WriteSettings();
             std::filesystem::remove(t.program_.Path() + "/libquorlin.so");
         },
         "libquorlin.so を読み込めません (", 3},
        // The simulated terminal plays no adapter here.
        {"adapter not answering",
         [](CollectTest& t) {
             t.WriteSettings([](SettingsRecord& r) { r.Mode = LinkMode::Adapter; });
             t.StartTerminal();
         },
         "ｱﾀﾞﾌﾟﾀが応答しません。ﾓｰﾄﾞの設定を確認してください", 3},
        {"mail server not answering", mail("office@example.jp", "127.0.0.1:1", true), "127.0.0.1", 1, 0},
    };
    if (::geteuid() != 0) {  // root writes anywhere
        cases.push_back({"save folder not writable",
                         [](CollectTest& t) {
                             t.WriteSettings(
                                 [&t](SettingsRecord& r) { r.SaveFolder = t.SaveFolder() + "/ro"; });
                             std::filesystem::create_directory(t.SaveFolder() + "/ro");
                             ::chmod((t.SaveFolder() + "/ro").c_str(), 0555);
                         },
                         "保存ﾌｫﾙﾀﾞに書き込めません", 4});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string mode : {"--check", "--once"}) {
            SCOPED_TRACE(mode);
            const bool check = mode == "--check";
            std::filesystem::remove(Ini());
            std::filesystem::remove_all(program_.Path() + "/ports");
            ASSERT_TRUE(program_.CopyLibrary(bin_));
            c.prepare(*this);
            const std::string iniBefore = FileExists(Ini()) ? ReadBytes(Ini()) : "(none)";
            const std::set<std::string> filesBefore = ProgramFiles();

            ChildProcess collector;
            ASSERT_TRUE(Launch(collector, {mode}));
            EXPECT_EQ(collector.Wait(std::chrono::seconds(20)),
                      check && c.checkCode >= 0 ? c.checkCode : c.exitCode)
                << collector.Output() << collector.Errors();
            const std::string said = check ? collector.Output() : collector.Errors();
            EXPECT_NE(said.find(check ? " : NG : " : "gathra-collect: "), std::string::npos) << said;
            EXPECT_NE(said.find(c.reason), std::string::npos) << said;
            if (check) {
                EXPECT_EQ(terminal_.LinesFromPc(), std::vector<std::string>{}) << "no word to the terminal";
            }
            if (c.exitCode == 2) {
                EXPECT_EQ(collector.Output().find("COM1:"), std::string::npos) << "the port is not opened";
                EXPECT_EQ(ProgramFiles(), filesBefore) << "no file is created";
            }
            EXPECT_EQ(FileExists(Ini()) ? ReadBytes(Ini()) : "(none)", iniBefore);
            holder_.Reset(-1);
            terminal_.Stop();
        }
        otherGathra.reset();
    }
}

TEST_F(CollectTest, CommandLine) {
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string err;       // part of standard error
        std::string out = "";  // part of standard output
    };
    // A journal whose uploads are an endless recursive view: refused before anything is read.
    const std::string hostile = program_.Path() + "/hostile", journal = UploadJournal::PathIn(hostile);
    const std::string view =
        "CREATE VIEW uploads AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r)"
        " SELECT n AS id, n AS started FROM r";
    ::mkdir(hostile.c_str(), 0700);
    ASSERT_EQ(std::system(("sqlite3 " + journal + " '" + view + "'").c_str()), 0);
    const std::string refused = journal + " : Gathraの履歴ﾌｧｲﾙにない定義があります (view uploads)";
    std::vector<Case> cases = {
        {{"--help"}, 0, "", "Usage: gathra-collect"},
        {{"--version"}, 0, "", "gathra-collect " GATHRA_VERSION "\n"},
        {{"--once", "--bogus"}, 64, "gathra-collect: ｵﾌﾟｼｮﾝが正しくありません: --bogus"},
        {{"once"}, 64, "Try 'gathra-collect --help'."},
        {{"--folder"}, 64, "--folder にﾌｫﾙﾀﾞがありません"},
        {{"--init", "--check"}, 64, "同時に指定できません"},
        {{"--folder", program_.Path() + "/open", "--check"}, 2, "書き込めるﾌｫﾙﾀﾞです"},
        {{"--folder", program_.Path() + "/none", "--once"}, 2, "/none : ﾌｫﾙﾀﾞを使えません"},
        // The installed files' folders, also through a link, but not the administrator's /usr/local.
        {{"--folder", "/usr/share", "--check"}, 2, "/usr/share : ｲﾝｽﾄｰﾙ先のﾌｫﾙﾀﾞはﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞにできません"},
        {{"--folder", program_.Path() + "/lib", "--check"}, 2, "/lib : ｲﾝｽﾄｰﾙ先のﾌｫﾙﾀﾞは"},
        {{"--folder", "/usr/local", "--history"}, 0, ""},
        {{"--csv"}, 64, "--history と使います"},
        {{"--history", "--since"}, 64, "値がありません: --since"},
        {{"--history", "--until", "2026-02-30"}, 64, "--until: 日付が正しくありません: 2026-02-30"},
        {{"--history"}, 0, ""},  // no journal yet: nothing to print
        {{"--history", "--check"}, 64, "--history は --once, --beep, --init, --check と使えません"},
        {{"--folder", hostile, "--history", "--csv"}, 2, refused},
        // A folder above the program folder that others may write, unless sticky, is refused by name.
        {{"--folder", program_.Path() + "/open/prog", "--once"},
         2,
         program_.Path() + "/open : ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞです"},
        {{"--folder", program_.Path() + "/sticky/prog", "--history"}, 0, ""},
    };
    // A program folder that group and others may write is refused, for root too.
    std::filesystem::create_symlink("/usr/lib", program_.Path() + "/lib");
    for (const char* folder : {"/open", "/open/prog", "/sticky", "/sticky/prog", "/theirs", "/theirs/prog"}) {
        std::filesystem::create_directory(program_.Path() + folder);
    }
    ::chmod((program_.Path() + "/open").c_str(), 0777);
    ::chmod((program_.Path() + "/sticky").c_str(), 01777);
    if (::geteuid() == 0) {  // a folder above that belongs to another user
        ASSERT_EQ(::chown((program_.Path() + "/theirs").c_str(), 65534, 65534), 0);
        cases.push_back({{"--folder", program_.Path() + "/theirs/prog", "--history"},
                         2,
                         program_.Path() + "/theirs : ﾌｫﾙﾀﾞの所有者が実行ﾕｰｻﾞｰでもrootでもありません"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        ChildProcess collector;
        ASSERT_TRUE(Launch(collector, c.args));
        EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), c.exitCode);
        EXPECT_NE(collector.Output().find(c.out), std::string::npos) << collector.Output();
        EXPECT_NE(collector.Errors().find(c.err), std::string::npos) << collector.Errors();
    }
    EXPECT_FALSE(FileExists(Ini()));
}

// An instance in a folder of its own, away from the program files: --init writes the settings, --check
// reports each prerequisite, a run uses ports/COM1 there.
TEST_F(CollectTest, FolderInitCheckAndRun) {
    TempFolder folder;
    const std::string dir = folder.Path() + "/cradles/c1";  // made by --init, parents too
    auto run = [&](const std::vector<std::string>& args, int exitCode) {
        std::vector<std::string> all{"--folder", dir};
        all.insert(all.end(), args.begin(), args.end());
        ChildProcess collector;
        EXPECT_TRUE(Launch(collector, all));
        EXPECT_EQ(collector.Wait(std::chrono::seconds(30)), exitCode)
            << collector.Output() << collector.Errors();
        return collector.Output();
    };
    run({"--init"}, 0);
    std::string ini = ReadBytes(dir + "/Gathra.ini");
    EXPECT_NE(ini.find("\nAutoStart=1\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("SaveFolder=" + dir + "/out\n"), std::string::npos) << ini;
    EXPECT_NE(ini.find("\nMailTls=1\n"), std::string::npos) << ini;
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/ports"));
    struct stat made {};
    EXPECT_EQ(::stat(dir.c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0700u);
    // Direct mode and no clock line, for the simulated terminal; a second --init leaves the file alone.
    ini.replace(ini.find("\nMode=1"), 7, "\nMode=0");
    ini.replace(ini.find("\nTimeAdjust=1"), 13, "\nTimeAdjust=0");
    WriteBytes(dir + "/Gathra.ini", ini);
    run({"--init"}, 0);
    EXPECT_EQ(ReadBytes(dir + "/Gathra.ini"), ini);

    ASSERT_EQ(::symlink("/nonexistent/ttyUSB9", (dir + "/ports/COM1").c_str()), 0);
    std::string report = run({"--check"}, 3);
    EXPECT_EQ(Count(report, " : ok\n"), 2) << report;
    EXPECT_NE(report.find("port COM1 (" + dir +
                          "/ports/COM1) : NG : COM1 (/nonexistent/ttyUSB9): ﾃﾞﾊﾞｲｽがありません"),
              std::string::npos)
        << report;
    std::filesystem::remove(dir + "/ports/COM1");
    // A port on the network is named by its URL, and so is its reason.
    const std::string url = "socket://127.0.0.1:" + std::to_string(FreePort());
    std::filesystem::create_symlink(url, dir + "/ports/COM1");
    report = run({"--check"}, 3);
    EXPECT_NE(report.find("port COM1 (" + url + ") : NG : COM1 (" + url + "): 接続できません ("),
              std::string::npos);
    std::filesystem::remove(dir + "/ports/COM1");

    termsim::Options options;
    options.records = {"B001,1"};
    ASSERT_TRUE(terminal_.Start(dir, kPort, options));
    report = run({"--check"}, 0);
    EXPECT_EQ(Count(report, " : ok\n"), 3) << report;
    run({"--once"}, 0);
    EXPECT_EQ(ReadBytes(dir + "/out/T01.txt"), "B001,1\r\n");
    EXPECT_FALSE(FileExists(Ini())) << "nothing in the program's own folder";
}

// The program folder is held from its check on. Its parent is opened to others only after the check, and
// while the collector waits to reconnect to the terminal, user nobody renames the folder and puts another in
// its place, with a port of their own, and Back.txt and out/T01.txt linked to a file only root may read. The
// collector goes on in the folder it checked: its port, its Back.txt, its journal, its save folder out/.
TEST_F(CollectTest, FolderSwappedAfterTheCheckIsNeverUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    TempFolder base;
    ASSERT_EQ(::chmod(base.Path().c_str(), 0755), 0);
    const std::string above = base / "above", dir = above + "/prog", moved = above + "/prog.old";
    const std::string secret = base / "secret";
    std::filesystem::create_directories(dir);
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    WriteBytes(secret, "root only\n");
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    ASSERT_NO_FATAL_FAILURE(WriteSettings([&](SettingsRecord& r) { r.SaveFolder = dir + "/out"; }));
    std::filesystem::rename(Ini(), dir + "/Gathra.ini");
    std::filesystem::create_directory(dir + "/out");

    termsim::Options hangUp;  // the first terminal hangs up at the enquiry: the collector waits to reconnect
    hangUp.hangUpAtEnquiry = 1;
    ASSERT_TRUE(terminal_.Start(dir, kPort, hangUp));
    TempFolder elsewhere;
    termsim::Simulator theirs;  // nobody's terminal, which an upload would reach by the folder's path
    termsim::Options theirOptions;
    theirOptions.terminalId = "X99";
    theirOptions.records = {"X"};
    ASSERT_TRUE(theirs.Start(elsewhere.Path(), kPort, theirOptions));
    ASSERT_NO_FATAL_FAILURE(StartCollector({"--folder", dir, "--once"}));
    ASSERT_TRUE(collector_.WaitForOutput("ﾎﾟｰﾄ再接続待ち", std::chrono::seconds(30))) << collector_.Output();

    ASSERT_EQ(::chmod(above.c_str(), 0777), 0);
    const std::string theirDevice = theirs.DevicePath();
    const ChildEnd swap = RunInChild([&](std::string&) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            return 99;
        }
        return ::rename(dir.c_str(), moved.c_str()) == 0 && ::mkdir(dir.c_str(), 0755) == 0 &&
                       ::mkdir((dir + "/ports").c_str(), 0755) == 0 &&
                       ::symlink(theirDevice.c_str(), (dir + "/ports/COM1").c_str()) == 0 &&
                       ::symlink(secret.c_str(), (dir + "/Back.txt").c_str()) == 0 &&
                       ::mkdir((dir + "/out").c_str(), 0755) == 0 &&
                       ::symlink(secret.c_str(), (dir + "/out/T01.txt").c_str()) == 0
                   ? 0
                   : 1;
    });
    ASSERT_EQ(swap.Failure(), "");
    termsim::Simulator held;  // the terminal back in the cradle of the folder that was checked
    termsim::Options records;
    for (const std::string& record : kRecords) {
        records.records.push_back(Utf8ToCp932(record));
    }
    ASSERT_TRUE(held.Start(moved, kPort, records));

    EXPECT_EQ(collector_.Wait(std::chrono::seconds(30)), 0) << collector_.Output() << collector_.Errors();
    EXPECT_EQ(held.FinalAnswers(), std::vector<std::string>{"ACK"});
    EXPECT_TRUE(theirs.LinesFromPc().empty());
    EXPECT_EQ(ReadBytes(secret), "root only\n");
    EXPECT_EQ(ReadBytes(moved + "/Back.txt"), StoredRecords(1));
    EXPECT_EQ(ReadBytes(moved + "/out/T01.txt"), StoredRecords(1));
    EXPECT_TRUE(FileExists(moved + "/out/LOG.TXT"));
    EXPECT_TRUE(FileExists(moved + "/Gathra-journal.sqlite"));
    EXPECT_FALSE(FileExists(dir + "/Gathra-journal.sqlite"));
    EXPECT_EQ(collector_.Output().find("/proc/self/fd"), std::string::npos) << collector_.Output();
}

// A stored upload with a command after it, as the journal and --history show it; the CSV read back by
// Python's csv module.
TEST_F(CollectTest, HistoryShowsTheJournalAsColumnsAndCsv) {
    setenv("TZ", "UTC", 1);  // the collector's too
    tzset();
    ASSERT_NO_FATAL_FAILURE(
        WriteSettings([](SettingsRecord& r) { r.AfterUpload = "echo copied $GATHRA_RECORDS"; }));
    ASSERT_NO_FATAL_FAILURE(StartTerminal());
    ASSERT_NO_FATAL_FAILURE(StartCollector({"--once"}));
    ASSERT_EQ(collector_.Wait(std::chrono::seconds(30)), 0) << collector_.Output() << collector_.Errors();
    EXPECT_NE(collector_.Output().find(" ｺﾏﾝﾄﾞ終了 : 0 : copied 3\n"), std::string::npos)
        << collector_.Output();
    {
        // An older failed upload of another terminal, and one beyond --until.
        UploadJournal journal(UploadJournal::PathIn(program_.Path()));
        ASSERT_TRUE(journal.OpenForWriting());
        UploadResult failed;
        failed.Started = failed.Ended =
            std::chrono::system_clock::time_point(std::chrono::milliseconds(*LocalDayStartMs("2026-01-05")));
        failed.TerminalId = "端末,\"9\"";
        failed.RecordsAnnounced = 4;
        failed.Format = "text";
        failed.FailureText = "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ";
        ASSERT_TRUE(journal.Add(failed));
        failed.Started = failed.Ended = failed.Started - std::chrono::hours(24 * 30);
        ASSERT_TRUE(journal.Add(failed));
    }
    auto history = [this](const std::vector<std::string>& args) {
        ChildProcess collector;
        EXPECT_TRUE(Launch(collector, args));
        EXPECT_EQ(collector.Wait(std::chrono::seconds(10)), 0) << collector.Errors();
        return collector.Output();
    };
    const std::string text = history({"--history", "--since", "2026-01-01"});
    const std::regex columns(
        "日時 +端末ID +件数 +出力 +結果 +ｺﾏﾝﾄﾞ\n"
        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  T01 +3 +" +
        SaveFolder() +
        "/T01\\.txt +正常終了 +exit 0 : copied 3\n"
        "2026-01-05 00:00:00  端末,\"9\" +0/4 +異常終了 : ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ\n");
    EXPECT_TRUE(std::regex_match(text, columns)) << text;

    TempFolder scratch;
    const std::string csv = scratch / "history.csv";
    WriteBytes(csv, history({"--history", "--csv", "--until", "2026-01-05", "--terminal", "端末,\"9\""}));
    const std::string read = scratch / "read.txt";
    const std::string script =
        "import csv, sys\n"
        "rows = list(csv.reader(open(sys.argv[1], encoding='utf-8', newline='')))\n"
        "open(sys.argv[2], 'w', encoding='utf-8').write(''.join("
        "'|'.join(r[i] for i in (0, 3, 4, 5, 9, 10)) + '\\n' for r in rows))\n";
    ASSERT_EQ(std::system(("python3 -c \"" + script + "\" " + csv + " " + read).c_str()), 0);
    EXPECT_EQ(ReadBytes(read),
              "started|terminal|announced|stored|outcome|failure\n"
              "2026-01-05T00:00:00+00:00|端末,\"9\"|4|0|failed|ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ\n"
              "2025-12-06T00:00:00+00:00|端末,\"9\"|4|0|failed|ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ\n");
    EXPECT_EQ(ReadBytes(csv).rfind("started,", 0), 0u);  // no byte order mark
}

// The collector is meant for PCs without a desktop: it must not need Qt (or any X library) to start.
TEST(CollectBinaryTest, NeedsNoQt) {
    ASSERT_FALSE(BinDir().empty());
    const std::string collector = BinDir() + "/gathra-collect";
    ChildProcess::Options options;
    options.ErrorsToOutput = true;
    for (const auto& argv :
         std::vector<std::vector<std::string>>{{"readelf", "-d", collector}, {"ldd", collector}}) {
        SCOPED_TRACE(argv[0]);
        const std::string text = Spawn(argv, options).Output;
        EXPECT_NE(text.find("libc.so"), std::string::npos) << text;  // the tool did run
        for (const char* library : {"libQt", "libX11", "libxcb", "libGL"}) {
            EXPECT_EQ(text.find(library), std::string::npos) << library << "\n" << text;
        }
    }
}

}  // namespace
