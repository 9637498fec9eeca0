// Whole uploads through the real link library and the simulated terminal on a pseudo-terminal linked as
// <program folder>/ports/COM3: the exchange on the wire, the files and the operator's status lines.
#include <grp.h>
#include <pty.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "losing_link.h"
#include "output/workbook/xlsx_book.h"
#include "run_exit.h"
#include "support/child_process.h"
#include "whole_upload_fixture.h"
#include "xls_fixture.h"

namespace {

using termsim::FaultKind;
using termsim::Options;
using Lines = std::vector<std::string>;

const PcDateTime kClock = {2024, 1, 2, 9, 5, 7};
constexpr int kPort = 3;
const char* const kPortLine = "COM3:115.2KBps/RS232C通信(LNU-40/45)";

class UploadE2E : public WholeUploadFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), kPort));
        settings.OverWrite = 1;
    }
    void TearDown() override { sim->Stop(); }

    // A terminal serves one session; a test with a second session puts a fresh terminal in the cradle.
    void NextTerminal() {
        sim->Stop();
        sim = std::make_unique<termsim::Simulator>();
        FreshView();
        run.IsRunning = true;
        run.StopRequested = false;
        stopWhen = nullptr;
        stopAfterUpload = stopWhenWaitingAfter = -1;
    }

    void Upload(const Options& options) {
        ASSERT_TRUE(sim->Start(program.Path(), kPort, options));
        outcome = RunUploadWith([] { return kClock; });
    }

    Lines Appended() const { return AppendedStatusLines(view); }

    // Stops the run when `stop` says so, and notes at each check when the terminal was plugged back and
    // when the PC had opened the port again ("ｵｰﾌﾟﾝ成功" for the second time).
    void StopWhenAndTimeTheReconnect(std::function<bool()> stop) {
        view.OnStatus = [this](const RecordingOperatorView::StatusCall& call) {
            if (call.Text == "ｵｰﾌﾟﾝ成功") {
                ++portOpenings_;
            }
        };
        stopWhen = [this, stop] {
            const auto now = std::chrono::steady_clock::now();
            if (!replugged_ && sim->Replugs() > 0) {
                replugged_ = now;
            }
            if (replugged_ && !reopened_ && portOpenings_ >= 2) {
                reopened_ = now;
            }
            return stop && stop();
        };
    }
    // From the moment the new pseudo-terminal was linked to the moment the port was open again.
    double ReconnectSeconds() const {
        if (!replugged_ || !reopened_) {
            return -1;
        }
        return std::chrono::duration<double>(*reopened_ - *replugged_).count();
    }
    std::atomic<int> portOpenings_ = 0;
    std::optional<std::chrono::steady_clock::time_point> replugged_;
    std::optional<std::chrono::steady_clock::time_point> reopened_;

    static double SecondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    RunOutcome outcome = RunOutcome::StoppedIdle;
    void ServeTwoUploads(int afterUpload, int whenWaiting, RunOutcome stopped, const Lines& stopLines);

    // The exchange as lines: "P " or "T " and the line without its CR (adapter bytes left out).
    Lines Wire() {
        sim->WaitFinished(2000);  // the PC's last line may still be on its way
        Lines lines;
        for (const auto& entry : sim->Transcript()) {
            if (entry.bytes.empty() || entry.bytes.back() != '\r') {
                continue;
            }
            lines.push_back(std::string(1, entry.direction) + " " +
                            entry.bytes.substr(0, entry.bytes.size() - 1));
        }
        return lines;
    }
    // The PC's final answers as the terminal got them.
    Lines Finals() {
        sim->WaitFinished(2000);
        return sim->FinalAnswers();
    }
    int Count(const Lines& lines, const std::string& line) {
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    std::string Backup() const { return ReadBytes(settings.BackFilePath); }
    std::string Output(const std::string& name = "T01.txt") const { return ReadBytes(save / name); }

    TempFolder save;
    std::unique_ptr<termsim::Simulator> sim = std::make_unique<termsim::Simulator>();
};

TEST_F(UploadE2E, TwoRecordExampleByteForByte) {
    Options options;
    options.records = {"A,1", "B,2"};
    Upload(options);
    EXPECT_EQ(Wire(), (Lines{"P VOL", "T ^#T01@2*D2", "P ACK", "T ^0A,1*56", "P ACK", "T ^1B,2*59", "P ACK",
                             "T END", "P ACK"}));
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(Backup(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(Output(), "A,1\r\nB,2\r\n");
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  2/2", "ﾚｺｰﾄﾞ受信<2> : 正常終了"}));
    EXPECT_EQ(view.StatusCalls[0].Text, kPortLine);
    EXPECT_EQ(view.StatusCalls[1].Text, "ｵｰﾌﾟﾝ成功");
    EXPECT_EQ(ReadBytes(save / "LOG.TXT"), CrLfLines({
                                               R"("2024/01/02","09:05:07"," 0","^#T01@2*D2")",
                                               R"("2024/01/02","09:05:07"," 0","^0A,1*56")",
                                               R"("2024/01/02","09:05:07"," 1","^1B,2*59")",
                                               R"("2024/01/02","09:05:07"," 2","END")",
                                           }));
    EXPECT_FALSE(run.IsRunning);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
    // The port was closed: it can be opened again at once.
    EXPECT_EQ(link->vbOpenIrCom(kPort, 115200, 0), 1);
    link->CloseIrCom();
}

TEST_F(UploadE2E, AdapterModeWithClockSettingAndDoubleByteRecords) {
    Options options;
    options.adapterMode = true;
    options.adapterSpeed = 9600;
    options.terminalId = "\x83\x65\x83\x58\x83\x67";  // テスト
    options.records = {"\x8F\xA4\x95\x69,10", "\x82\xA0,\"x\""};
    options.checksumCoverage = ChecksumCoverage::Payload;
    settings.Mode = LinkMode::Adapter;
    settings.ChecksumCoverage = ChecksumCoverage::Payload;
    settings.TimeAdjust = "1";
    Upload(options);
    const Lines wire = Wire();
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(wire[0], "P TW20240102090507");
    EXPECT_EQ(wire[1], "T OK");
    EXPECT_EQ(sim->AdapterSpeed(), 115200);
    EXPECT_EQ(wire.back(), "P ACK");
    EXPECT_EQ(ReadBytes(save / "テスト.txt"), "\x8F\xA4\x95\x69,10\r\n\x82\xA0,\"x\"\r\n");
    EXPECT_EQ(view.FileLabelText, "/テスト.txt");
    EXPECT_EQ(view.StatusCalls[0].Text, "COM3:115.2KBps/IR通信(CQD-6xxx/QR-30)");
}

TEST_F(UploadE2E, SimpleProtocolStoresFrameLookingLinesAndInexactEndWords) {
    Options options;
    options.protocol = 1;
    options.records = {"^0A,1*56", "^0A,1*56", "end", "END "};
    settings.Protocol = UploadProtocol::Simple;
    Upload(options);
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(Backup(), CrLfLines(options.records));
    EXPECT_EQ(Output(), CrLfLines(options.records));
    EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<4> : 正常終了");
}

// Ten refusals are answered "NAK", the eleventh rings the bell and ends the upload with "CAN", storing
// nothing: bad checksums, end words that are not exactly "END" (which the simple protocol stores), and a
// terminal ID with a path in it, refused at the enquiry before any file is opened.
TEST_F(UploadE2E, EleventhRefusalRingsTheBellThenCan) {
    struct Row {
        const char* name;
        Options options;
        Lines status;
    };
    Options badChecksum, lowerEnd, endWithBlank, path;
    badChecksum.records = {"A", "B"};
    badChecksum.faults = {{FaultKind::BadChecksum, 1, 11}};
    lowerEnd.records = endWithBlank.records = path.records = {"A"};
    lowerEnd.endWord = "end";
    endWithBlank.endWord = "END ";
    path.terminalId = "../escape";
    const Row rows[] = {
        {"bad checksum", badChecksum, {"ﾚｺｰﾄﾞ受信 :  1/2", "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ", "異常終了"}},
        {"end", lowerEnd, {"ﾚｺｰﾄﾞ受信 :  1/1", "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ", "異常終了"}},
        {"END and a blank", endWithBlank, {"ﾚｺｰﾄﾞ受信 :  1/1", "ﾚｺｰﾄﾞ受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ", "異常終了"}},
        {"path in the terminal ID",
         path,
         {kPortLine, "ｵｰﾌﾟﾝ成功", "ENQ送信/ﾌｧｲﾙ名受信 : ﾌｫｰﾏｯﾄ ｴﾗｰ", "端末IDに使えない文字があります (/)",
          "異常終了"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NextTerminal();
        std::filesystem::remove(save / "LOG.TXT");
        WriteBytes(save / "T01.txt", "previous\r\n");
        Upload(row.options);
        const Lines wire = Wire();
        EXPECT_EQ(Count(wire, "P NAK"), 10);
        EXPECT_EQ(Lines(wire.end() - 2, wire.end()), (Lines{"P BEL", "P CAN"}));
        if (row.options.endWord != "END") {
            EXPECT_EQ(wire.end()[-3], "T " + row.options.endWord);
        }
        EXPECT_EQ(Finals(), Lines{"CAN"});
        EXPECT_EQ(view.StatusLines(), row.status);
        EXPECT_EQ(view.Beeps, 1);
        EXPECT_EQ(Output(), "previous\r\n");
        EXPECT_EQ(FileExists(save / "LOG.TXT"), row.status[0] != kPortLine) << "logged from the records on";
    }
    EXPECT_FALSE(FileExists(std::filesystem::path(save.Path()).parent_path() / "escape.txt"));
}

TEST_F(UploadE2E, DuplicateIsAcknowledgedAndNotStoredEvenWithBadChecksum) {
    // A terminal in simple mode sends these lines verbatim to a PC that expects frames.
    Options options;
    options.protocol = 1;
    options.records = {Frame('0', "A"), "^0A*00", Frame('0', "A"), Frame('1', "B")};
    Upload(options);
    EXPECT_EQ(Count(Wire(), "P NAK"), 0);
    EXPECT_EQ(Backup(), "A\r\nB\r\n");
    EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<4> : 正常終了");

    // And the simulator's own repeat of the previous record.
    NextTerminal();
    Options repeat;
    repeat.records = {"A", "B", "C"};
    repeat.faults = {{FaultKind::RepeatPrevious, 2, 1}};
    Upload(repeat);
    EXPECT_EQ(Backup(), "A\r\nB\r\nC\r\n");
    EXPECT_EQ(Finals(), Lines{"ACK"});
}

TEST_F(UploadE2E, SkippedSequenceDigitIsRefusedThenAccepted) {
    Options options;
    options.records = {"A", "B", "C"};
    options.faults = {{FaultKind::WrongSequence, 1, 2}, {FaultKind::LowerCaseHex, 2, 1}};
    Upload(options);
    // Each refused line is answered "NAK" at once, and only those are.
    const Lines wire = Wire();
    Lines refused;
    for (size_t i = 1; i < wire.size(); ++i) {
        if (wire[i] == "P NAK") {
            refused.push_back(wire[i - 1]);
        }
    }
    EXPECT_EQ(refused, (Lines{"T ^2B*FC", "T ^2B*FC", "T ^2C*fd"}));
    EXPECT_EQ(Backup(), "A\r\nB\r\nC\r\n");
    EXPECT_EQ(Finals(), Lines{"ACK"});
}

TEST_F(UploadE2E, TenthEmptyReplyIsATimeOut) {
    // Ten record-phase passes of five silent reads each: about 25 s.
    Options options;
    options.records = {"A", "B"};
    options.faults = {{FaultKind::Silence, 1, 100}};
    Upload(options);
    const Lines wire = Wire();
    EXPECT_EQ(Count(wire, "P NAK"), 9);
    EXPECT_EQ(wire.back(), "P CAN");
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  1/2", "ﾚｺｰﾄﾞ受信 : ﾀｲﾑｱｳﾄ ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(Backup(), "A\r\n");
    EXPECT_FALSE(FileExists(save / "T01.txt"));
}

// A terminal that never answers the enquiry, or the clock setting with "OK": the PC asks again until the
// stop, which is seen at the next check point (a further question may already be on its way).
TEST_F(UploadE2E, UnansweredEnquiryOrClockSettingUntilStop) {
    for (const bool clock : {false, true}) {
        SCOPED_TRACE(clock ? "clock setting" : "enquiry");
        NextTerminal();
        Options options;
        options.answerEnquiry = clock;
        options.answerClock = !clock;
        settings.TimeAdjust = clock ? "1" : "0";
        stopWhen = [this] { return sim->LinesFromPc().size() >= 3; };
        Upload(options);
        const Lines wire = Wire();
        const std::string asked = clock ? "P TW20240102090507" : "P VOL";
        EXPECT_GE(Count(wire, asked), 3);
        EXPECT_EQ(Count(wire, asked) + 1, static_cast<int>(wire.size()));
        EXPECT_EQ(wire.back(), "P CAN");
        EXPECT_EQ(view.StatusLines(),
                  (Lines{kPortLine, "ｵｰﾌﾟﾝ成功", "異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
        EXPECT_EQ(view.Beeps, 0);
    }
}

TEST_F(UploadE2E, MoreRecordsThanAnnounced) {
    Options options;
    for (int i = 0; i < 13; ++i) {
        options.records.push_back("R" + std::to_string(i));
    }
    options.announcedCount = 12;
    Upload(options);
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  13/12", "ﾚｺｰﾄﾞ受信<12> : 正常終了"}));
    EXPECT_EQ(view.ProgressValue, 12);
    EXPECT_EQ(Output(), CrLfLines(options.records));
}

// The automatic restart serves two uploads, appending both. A Stop after the second final answer and before
// the restart waits adds no stop lines, a Stop while it waits adds them; the collector ends with 0 either
// way. Each Stop is pressed on the engine's thread in the instant its row names, never after a sleep.
TEST_F(UploadE2E, AutomaticRestartServesTwoUploadsAndStopsAtEitherInstant) {
    ServeTwoUploads(2, -1, RunOutcome::Stored, {});
    ServeTwoUploads(-1, 2, RunOutcome::StoppedIdle, {"異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"});
}

void UploadE2E::ServeTwoUploads(int afterUpload, int whenWaiting, RunOutcome stopped,
                                const Lines& stopLines) {
    NextTerminal();
    stopAfterUpload = afterUpload;
    stopWhenWaitingAfter = whenWaiting;
    Options options;
    options.records = {"A,1", "B,2"};
    options.uploads = 2;
    settings.AutoStart = Switch::On;
    settings.OverWrite = 0;
    WriteBytes(save / "T01.txt", "old\r\n");
    Upload(options);
    EXPECT_EQ(Finals(), (Lines{"ACK", "ACK"}));
    EXPECT_EQ(Count(Wire(), "P VOL"), 2) << "no enquiry after the Stop";
    EXPECT_EQ(Output(), "old\r\nA,1\r\nB,2\r\nA,1\r\nB,2\r\n");
    // One port line for the whole run; each upload adds its lines to the display.
    int portLines = 0;
    int normalEnds = 0;
    for (const auto& call : view.StatusCalls) {
        portLines += call.Text == kPortLine ? 1 : 0;
        normalEnds += call.Text == "ﾚｺｰﾄﾞ受信<2> : 正常終了" ? 1 : 0;
    }
    EXPECT_EQ(portLines, 1);
    EXPECT_EQ(normalEnds, 2);
    Lines lines{"ﾚｺｰﾄﾞ受信 :  2/2", "ﾚｺｰﾄﾞ受信<2> : 正常終了"};
    lines.insert(lines.end(), stopLines.begin(), stopLines.end());
    EXPECT_EQ(view.StatusLines(), lines);
    EXPECT_EQ(outcome, stopped);
    std::string reason;
    EXPECT_EQ(RunExitCode(outcome, settings, run, {}, {}, reason), 0) << reason;
    // The second upload's first log line shows the first upload's count.
    const std::string log = ReadBytes(save / "LOG.TXT");
    EXPECT_EQ(log.substr(0, log.find("\r\n")), R"("2024/01/02","09:05:07"," 2","^#T01@2*D2")");
}

TEST_F(UploadE2E, FieldSelection) {
    Options options;
    options.records = {"a,b,c", ",b,c", "a,,c",
                       "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25", "\"x,y\",z"};
    settings.SelectedFields[0] = 0;
    Upload(options);
    EXPECT_EQ(Output(),
              CrLfLines({"b,c", "b,c", ",c", "2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20", "y\",z"}));
    // The backup keeps the records whole.
    EXPECT_EQ(Backup(), CrLfLines(options.records));
}

// A final "ACK" that is not out (the port's write fails, or the device goes right after it) undoes every
// store: the output is as it was, byte for byte, and the resend stores each record once, as the
// independent readers see it.
TEST_F(UploadE2E, AnAckThatIsNotOutUndoesTheStoreAndTheResendStoresOnce) {
    const std::string database = save / "Gathra.mdb";
    // The records an output holds, read by a reader of its own: the bytes, FreeXL, openpyxl, sqlite3.
    const auto records = [&](int16_t format, int16_t type, const std::string& file) -> std::string {
        const std::string path = save / file;
        if (format == kSaveFormatMdb) {
            return Spawn({"sqlite3", database, "SELECT group_concat(F1 || ',' || F2, ' ') FROM T01;"}).Output;
        }
        if (!std::filesystem::exists(path)) {
            return "none";
        }
        if (format != kSaveFormatXls) {
            return ReadBytes(path);
        }
        xlstest::FreeXlBook book;
        std::string why;
        EXPECT_TRUE(type == kXlsTypeXlsx ? xlstest::ReadWithOpenpyxl(path, book, why)
                                         : xlstest::ReadWithFreeXl(path, book, why))
            << why;
        std::string text;
        for (const auto& [place, value] : book.Sheets.at(0)) {
            text += value + (place.second == 0 ? "," : " ");
        }
        return text;
    };
    struct Row {
        const char* name;
        int16_t format;
        int16_t type;  // XlsType
        int16_t overwrite;
        const char* file;
        std::string old;     // the output before the upload; empty: none
        std::string stored;  // what the reader finds after the resend
    };
    const Row rows[] = {
        {"text append", kSaveFormatText, 0, 0, "T01.txt", "old\r\n", "old\r\nA,1\r\nB,2\r\n"},
        {"text overwrite", kSaveFormatText, 0, 1, "T01.txt", "old\r\n", "A,1\r\nB,2\r\n"},
        {"CSV(UTF-8) new", 3, 0, 0, "T01.csv", "",
         "\xEF\xBB\xBF"
         "A,1\r\nB,2\r\n"},
        {"workbook new", kSaveFormatXls, 1, 1, "T01.xls", "", "A,1 B,2 "},
        {"xlsx book new", kSaveFormatXls, kXlsTypeXlsx, 1, "T01.xlsx", "", "A,1 B,2 "},
        {"SQLite", kSaveFormatMdb, 0, 0, "Gathra.mdb", "", "A,1 B,2\n"},
    };
    Options options;
    options.records = {"A,1", "B,2"};
    settings.XlsF1 = 1;
    settings.XlsStartLine = 1;
    settings.DatabaseName = "Gathra";
    UploadResult result;
    uploadEnded = [&result](const UploadResult& ended) { result = ended; };
    for (const Row& row : rows) {
        for (const auto loss : {LosingLink::Loss::NotWritten, LosingLink::Loss::LineGone}) {
            SCOPED_TRACE(std::string(row.name) + (loss == LosingLink::Loss::LineGone ? ", line gone" : ""));
            settings.SaveFormat = row.format;
            settings.XlsType = row.type;
            settings.OverWrite = row.overwrite;
            std::filesystem::remove(save / row.file);
            if (!row.old.empty()) {
                WriteBytes(save / row.file, row.old);
            }
            if (row.format == kSaveFormatMdb) {
                Spawn({"sqlite3", database, "CREATE TABLE T01(F1 TEXT, F2 TEXT);"});
            }
            const std::string before = records(row.format, row.type, row.file);
            NextTerminal();
            LosingLink losing(*WholeUploadFixture::link, *sim, 5, loss);  // VOL, ACK, ACK, ACK, the final ACK
            const LinkApi* real = std::exchange(link, losing.Api());
            Upload(options);
            link = real;
            EXPECT_EQ(records(row.format, row.type, row.file), before);
            EXPECT_EQ(Finals(), Lines{loss == LosingLink::Loss::NotWritten ? "CAN" : "ACK"});
            const Lines appended = Appended();
            EXPECT_EQ(Lines(appended.end() - 2, appended.end()), (Lines{"ACK送信ｴﾗｰ", "異常終了"}));
            const FinalAnswer answer =
                loss == LosingLink::Loss::NotWritten ? FinalAnswer::Can : FinalAnswer::AckNotOut;
            EXPECT_EQ(std::tuple(result.Store, result.Answer, result.RecordsStored),
                      std::tuple(StoreState::Undone, answer, 0));
            // The terminal sends the same records again.
            NextTerminal();
            Upload(options);
            EXPECT_EQ(Finals(), Lines{"ACK"});
            EXPECT_EQ(records(row.format, row.type, row.file), row.stored);
            EXPECT_EQ(result.RecordsStored, 2);
            std::filesystem::remove(database);
        }
    }
}

// A whole upload into a new .xlsx book: acknowledged only once the book is stored.
TEST_F(UploadE2E, XlsxBookIsStoredBeforeTheFinalAck) {
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = kXlsTypeXlsx;
    settings.XlsF1 = 1;
    settings.XlsStartLine = 1;
    settings.SelectedFields.fill(1);
    Options options;
    options.records = {"A,1", "B,_x0041_", "C,3"};
    Upload(options);
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<3> : 正常終了");
    EXPECT_EQ(Output("T01.xlsx").substr(0, 4), "PK\x03\x04");
    XlsxBook book;
    int32_t last = -1;
    ASSERT_TRUE(book.Open(save.Path() + "/T01.xlsx"));
    EXPECT_EQ(book.SheetCount(), 20);
    EXPECT_TRUE(book.LastUsedRow(last));
    EXPECT_EQ(last, 2);
    EXPECT_FALSE(std::filesystem::exists(save / "T01.txt"));
}

// Someone else's entry where Gathra writes or reads a file ends the upload at once with "CAN", naming the
// reason: a named pipe anywhere, or a link to a file of the operator's planted in a save folder that group or
// others may write, sticky or not, which is never followed. A link in a save folder of the user's own is
// followed. The automatic restart then waits for the next upload, and Stop ends the run.
TEST_F(UploadE2E, ForeignEntryInPlaceOfAFileEndsTheUploadAtOnce) {
    const std::string mine = program / "mine.txt";
    const struct {
        std::string Entry;
        int16_t Format;
        const char* Template;
        mode_t LinkFolder = 0;  // 0: a named pipe; else a link to `mine`, the save folder in this mode
    } cases[] = {
        {program / "Back.txt", kSaveFormatText, ""},    {save / "LOG.TXT", kSaveFormatText, ""},
        {save / "T01.txt", kSaveFormatText, ""},        {save / "T01.xls", kSaveFormatXls, ""},
        {save / "form.xls", kSaveFormatXls, "form"},    {save / "T01.txt", kSaveFormatText, "", 0777},
        {save / "LOG.TXT", kSaveFormatText, "", 01777}, {save / "form.xls", kSaveFormatXls, "form", 01770},
        {save / "T01.txt", kSaveFormatText, "", 0755}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Entry << " in a folder of mode " << std::oct << c.LinkFolder);
        NextTerminal();
        settings.AutoStart = Switch::On;
        settings.SaveFormat = c.Format;
        settings.XlsTemp = c.Template;
        std::filesystem::remove(c.Entry);
        WriteBytes(mine, "mine\r\n");
        if (c.LinkFolder == 0) {
            ASSERT_EQ(::mkfifo(c.Entry.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(::symlink(mine.c_str(), c.Entry.c_str()), 0);
            ASSERT_EQ(::chmod(save.Path().c_str(), c.LinkFolder), 0);
        }
        const bool followed = c.LinkFolder == 0755;
        std::optional<std::chrono::steady_clock::time_point> answered;
        uploadEnded = [&](const UploadResult&) { answered = std::chrono::steady_clock::now(); };
        stopWhenWaitingAfter = 1;  // once the automatic restart waits for the next upload
        Options options;
        options.records = {"A"};
        Upload(options);
        ::chmod(save.Path().c_str(), 0700);
        EXPECT_EQ(Finals(), Lines{followed ? "ACK" : "CAN"});
        ASSERT_TRUE(answered.has_value());
        EXPECT_LT(std::chrono::duration<double>(*answered - started).count(), 5.0);
        EXPECT_EQ(ReadBytes(mine), followed ? "A\r\n" : "mine\r\n");
        const char* reason = c.LinkFolder == 0 ? "通常のﾌｧｲﾙではありません"
                                               : "ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞのﾘﾝｸは使えません";
        EXPECT_EQ(view.StatusText.find(reason) != std::string::npos, !followed) << view.StatusText;
        EXPECT_EQ(view.StatusLines().back(), "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました");
        std::filesystem::remove(c.Entry);
    }
}

TEST_F(UploadE2E, HangUpInTheMiddleKeepsTheBackupAndTheOutputAndIsReconnected) {
    // Without automatic start the upload that lost its device ends the run, as any failed upload does.
    Options options;
    options.records = {"A", "B", "C", "D"};
    options.faults = {{FaultKind::HangUp, 2, 1}};
    WriteBytes(save / "T01.txt", "previous\r\n");
    Upload(options);
    EXPECT_EQ(outcome, RunOutcome::Failed);
    EXPECT_EQ(Backup(), "A\r\nB\r\n");
    EXPECT_EQ(Output(), "previous\r\n");
    EXPECT_EQ(view.StatusLines(), (Lines{"ﾚｺｰﾄﾞ受信 :  2/4", "ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了"}));
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_FALSE(run.IsRunning);
    EXPECT_LT(SecondsSince(started), 10.0);  // noticed at once, not after the record time-outs

    // With it, the cradle plugged back (a new pseudo-terminal linked as ports/COM3) is reconnected and the
    // next upload stored.
    NextTerminal();
    options.replugAfterMs = 500;
    settings.AutoStart = Switch::On;
    settings.OverWrite = 0;  // the interrupted upload must add nothing to the output still "previous"
    StopWhenAndTimeTheReconnect(nullptr);
    stopWhenWaitingAfter = 2;  // the unplugged upload and the stored one
    Upload(options);
    EXPECT_EQ(sim->Replugs(), 1);
    EXPECT_EQ(Appended(), (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "異常終了", "ﾎﾟｰﾄ再接続待ち", "ｵｰﾌﾟﾝ成功",
                                 "ﾚｺｰﾄﾞ受信<4> : 正常終了", "異常終了", "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(Output(), "previous\r\nA\r\nB\r\nC\r\nD\r\n");
    EXPECT_EQ(Backup(), "A\r\nB\r\nC\r\nD\r\n");
    EXPECT_GE(ReconnectSeconds(), 0.0);
    EXPECT_LE(ReconnectSeconds(), 3.0);
}

TEST_F(UploadE2E, CradleUnpluggedWhileTheEnquiryIsUnansweredIsReconnected) {
    // Waiting for a terminal, the reconnect does not need automatic start.
    Options options;
    options.records = {"A", "B"};
    options.enquirySilence = 1;
    options.hangUpAtEnquiry = 2;
    options.replugAfterMs = 500;
    settings.AutoStart = Switch::Off;
    StopWhenAndTimeTheReconnect(nullptr);
    Upload(options);
    EXPECT_EQ(outcome, RunOutcome::Stored);
    EXPECT_EQ(sim->Replugs(), 1);
    EXPECT_EQ(Appended(),
              (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "ﾎﾟｰﾄ再接続待ち", "ｵｰﾌﾟﾝ成功", "ﾚｺｰﾄﾞ受信<2> : 正常終了"}));
    EXPECT_EQ(Finals(), Lines{"ACK"});
    EXPECT_EQ(Output(), "A\r\nB\r\n");
    EXPECT_GE(ReconnectSeconds(), 0.0);
    EXPECT_LE(ReconnectSeconds(), 3.0);
    EXPECT_FALSE(run.IsRunning);
}

TEST_F(UploadE2E, StopEndsTheWaitForAnUnpluggedCradle) {
    Options options;
    options.records = {"A"};
    options.hangUpAtEnquiry = 1;
    std::atomic<bool> waiting = false;
    view.OnStatus = [&waiting](const RecordingOperatorView::StatusCall& call) {
        waiting = call.Text == "ﾎﾟｰﾄ再接続待ち";
    };
    stopWhen = [&waiting] { return waiting.load(); };
    Upload(options);
    EXPECT_EQ(outcome, RunOutcome::StoppedIdle);
    EXPECT_EQ(Appended(), (Lines{"ｵｰﾌﾟﾝ成功", "ﾎﾟｰﾄ切断ｴﾗｰ", "ﾎﾟｰﾄ再接続待ち", "異常終了",
                                 "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました"}));
    EXPECT_LT(SecondsSince(started), 3.0);
    EXPECT_FALSE(run.IsRunning);
}

// After "ｵｰﾌﾟﾝｴﾗｰ" and "異常終了" one line names the port, its device and what kept it shut.
TEST_F(UploadE2E, PortThatDoesNotOpenIsNamedWithItsDeviceAndReason) {
    const std::string ports = program.Path() + "/ports";
    std::filesystem::create_directories(ports);
    const std::string gone = save.Path() + "/no-such-device";
    std::filesystem::create_symlink(gone, ports + "/COM9");  // a dangling link is still port 9's device
    int master = -1;
    int held = -1;
    ASSERT_EQ(openpty(&master, &held, nullptr, nullptr, nullptr), 0);
    const std::string pty = ttyname(held);
    std::filesystem::create_symlink(pty, ports + "/COM7");
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const std::string noAccess = save.Path() + "/no-access";
    std::ofstream(noAccess).put('x');
    std::filesystem::permissions(noAccess, std::filesystem::perms::none);
    std::filesystem::create_symlink(noAccess, ports + "/COM6");

    const auto runOn = [this](int port, LinkMode mode) {
        FreshView();
        settings.Port = port;
        settings.Mode = mode;
        run.IsRunning = true;
        UploadContext context{settings, run, view, link, [] { return kClock; }};
        context.ProgramFolder = program.Path();
        EXPECT_EQ(RunUpload(context), RunOutcome::PortNotOpened);
        const Lines lines = view.StatusLines();
        EXPECT_EQ(Lines(lines.begin() + 1, lines.end() - 1), (Lines{"ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}));
        return lines.back();
    };
    EXPECT_EQ(runOn(9, LinkMode::Direct),
              "COM9 (" + gone + "): ﾃﾞﾊﾞｲｽがありません。ｸﾚｰﾄﾞﾙの接続を確認してください");
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_EQ(view.RunningStates, (std::vector<bool>{false}));
    // With ports/ there, a port it does not list has no device: never the built-in serial port.
    EXPECT_EQ(runOn(8, LinkMode::Direct), "COM8: ports/COM8 がありません");
    EXPECT_EQ(runOn(7, LinkMode::Direct), "COM7 (" + pty + "): 他のﾌﾟﾛｸﾞﾗﾑが使用中です");
    flock(held, LOCK_UN);
    EXPECT_EQ(runOn(7, LinkMode::Adapter), "ｱﾀﾞﾌﾟﾀが応答しません。ﾓｰﾄﾞの設定を確認してください");
    close(held);
    close(master);

    // Root opens anything: the refusal is seen as nobody, in a child, with the folders open to search.
    const ChildEnd end = RunInChild([&](std::string& line) {
        const passwd* nobody = getpwnam("nobody");
        if (geteuid() == 0 &&
            (nobody == nullptr || chmod(program.Path().c_str(), 0755) != 0 ||
             chmod(save.Path().c_str(), 0755) != 0 || chmod(ports.c_str(), 0755) != 0 ||
             setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
            return 1;
        }
        line = runOn(6, LinkMode::Direct);
        return 0;
    });
    EXPECT_EQ(end.Failure(), "");
    EXPECT_EQ(end.Output,
              "COM6 (" + noAccess + "): 使用する権限がありません。ﾕｰｻﾞｰを dialout ｸﾞﾙｰﾌﾟに追加してください");
}

TEST_F(UploadE2E, MissingLinkLibraryIsAnOpenError) {
    TempFolder empty;
    const LinkApi* none = BindQuorlin(empty.Path());
    ASSERT_EQ(none, nullptr);
    UploadContext context{settings, run, view, none, [] { return kClock; }};
    context.ProgramFolder = empty.Path();
    RunUpload(context);
    const Lines lines = view.StatusLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.begin(), lines.end() - 1), (Lines{kPortLine, "ｵｰﾌﾟﾝｴﾗｰ", "異常終了"}));
    EXPECT_EQ(lines.back().rfind("libquorlin.so を読み込めません (" + empty.Path() + "/libquorlin.so", 0), 0u)
        << lines.back();
    EXPECT_EQ(view.Beeps, 1);
    EXPECT_FALSE(run.IsRunning);
}

}  // namespace
