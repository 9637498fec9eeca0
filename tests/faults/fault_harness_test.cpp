// Every I/O fault of an upload, injected one at a time. For each store, with and without mail, a clean
// upload counts its I/O calls (FileOps(), SQLite's file calls, the port's writes); then, for each point N,
// the whole upload runs again with its N-th call failing once (EIO, ENOSPC for writes). After each run the
// terminal's final answer, the output as independent readers see it, the exit code, the status and the
// journal entry must agree, the output must be the old one or old + this upload, and a clean resend of an
// upload the terminal kept must store each record exactly once.
//
// The suite runs a sample of the points; GATHRA_FAULT_POINTS=all runs every one (scripts/faults.sh), and
// GATHRA_FAULT_CRASH=1 kills the engine at each point instead (a child process) before the resend.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "e2e/whole_upload_fixture.h"
#include "fault_injection.h"
#include "journal/journal_words.h"
#include "run_exit.h"
#include "smtp_sink_process.h"
#include "upload/upload_follow_up.h"
#include "xls_fixture.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using faults::Plan;

constexpr int kPort = 6;
// One time for every upload of the run (file names, the journal's times): today's, since opening the
// journal prunes what the system's clock finds old.
const PcDateTime kClock = SystemClock();
const Lines kOldRecords{"old,1"};
const Lines kRecords{"A,1", "\x8F\xA4\x95\x69,2"};  // CP932: the second one is 商品,2
const Lines kRecordsUtf8{"A,1", "商品,2"};
constexpr const char* kStoredEnd = "ﾚｺｰﾄﾞ受信<2> : 正常終了";

struct Store {
    const char* Name;
    int16_t Format;
    int16_t XlsType;
    int16_t OverWrite;
    bool Fresh;  // no output before the upload
};

const Store kStores[] = {
    {"text append", kSaveFormatText, 0, 0, false},
    {"text overwrite", kSaveFormatText, 0, 1, false},
    {"text new", kSaveFormatText, 0, 0, true},
    {"xls new", kSaveFormatXls, 1, 0, true},
    {"xls extended", kSaveFormatXls, 1, 0, false},
    {"xlsx new", kSaveFormatXls, kXlsTypeXlsx, 0, true},
    {"xlsx extended", kSaveFormatXls, kXlsTypeXlsx, 0, false},
    {"SQLite", kSaveFormatMdb, 0, 0, false},
};

// The rows as one text, "|" between them: "(none)" without an output, "(torn) <why>" for one its reader
// refuses.
std::string RowsText(const Lines& rows) {
    std::string text;
    for (const auto& row : rows) {
        text += (text.empty() ? "" : "|") + row;
    }
    return text;
}

// A query's first column, row by row; nullopt when it fails. Through SQLite's own VFS: never counted.
std::optional<Lines> Query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    Lines rows;
    const auto add = [](void* to, int, char** values, char**) {
        static_cast<Lines*>(to)->push_back(values[0] != nullptr ? values[0] : "");
        return 0;
    };
    const bool ok =
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "unix") == SQLITE_OK &&
        sqlite3_exec(db, sql.c_str(), add, &rows, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok ? std::optional(rows) : std::nullopt;
}

// openpyxl, the suite's reader of .xlsx, started once: a book's path in through a named pipe, the rows of
// its first sheet out as one line, as RowsText gives them.
class XlsxReader {
public:
    explicit XlsxReader(const std::string& folder) : requests_(folder + "/xlsx-requests") {
        static const char* const kScript = R"(import openpyxl, sys
for path in open(sys.argv[1]):
    try:
        rows = openpyxl.load_workbook(path[:-1]).worksheets[0].iter_rows(values_only=True)
        print('|'.join(','.join(str(v) for v in r if v is not None) for r in rows if any(r)), flush=True)
    except Exception as e:
        print('(torn)', repr(e).replace('\n', ' '), flush=True))";
        ::mkfifo(requests_.c_str(), 0600);
        python_.Start({SinkPython(), "-c", kScript, requests_});  // its warnings kept apart
        fd_ = ::open(requests_.c_str(), O_RDWR | O_CLOEXEC);      // never waits for the reader
    }
    ~XlsxReader() { ::close(fd_); }

    std::string Rows(const std::string& path) {
        const std::string request = path + "\n";
        return ::write(fd_, request.data(), request.size()) == static_cast<ssize_t>(request.size())
                   ? python_.ReadLine()
                   : "(torn) no reader";
    }

private:
    std::string requests_;
    ChildProcess python_;
    int fd_ = -1;
};

// What an independent reader finds in the output, as UTF-8: the lines for text, SQLite for the database,
// FreeXL for .xls, openpyxl for .xlsx.
std::string ReadOutput(const Store& store, const std::string& path, XlsxReader& xlsx) {
    if (!fs::exists(path)) {
        return "(none)";
    }
    Lines rows;
    if (store.Format == kSaveFormatText) {
        const std::string bytes = ReadBytes(path);
        for (size_t at = 0; at < bytes.size();) {
            const size_t end = bytes.find("\r\n", at);
            if (end == std::string::npos) {
                return "(torn) a line without its end";
            }
            rows.push_back(Cp932ToUtf8(bytes.substr(at, end - at)));
            at = end + 2;
        }
    } else if (store.Format == kSaveFormatMdb) {
        const auto check = Query(path, "PRAGMA integrity_check");
        const auto found = Query(path, "SELECT F1 || ',' || F2 FROM T01 ORDER BY rowid");
        if (!check || *check != Lines{"ok"} || !found) {
            return "(torn) the database fails its check";
        }
        rows = *found;
    } else if (store.XlsType != kXlsTypeXlsx) {
        xlstest::FreeXlBook book;
        std::string why;
        if (!xlstest::ReadWithFreeXl(path, book, why) || book.Sheets.empty()) {
            return "(torn) " + why;
        }
        std::map<unsigned, std::string> byRow;
        for (const auto& [place, text] : book.Sheets[0]) {
            byRow[place.first] += (place.second == 0 ? "" : ",") + text;
        }
        for (const auto& [row, text] : byRow) {
            rows.push_back(text);
        }
    } else {
        return xlsx.Rows(path);
    }
    return RowsText(rows);
}

// What every observer of one upload saw.
struct Observed {
    std::string Answer;  // the terminal's final answer: "ACK", "CAN" or "none"
    std::string Output;  // ReadOutput
    UploadResult Result;
    int ExitCode = 0;  // gathra-collect's for the run and its result
    std::string StatusEnd;
    // The new entry's outcome, records stored and answer; none when not written.
    std::optional<Lines> Journal;
    bool JournalErrorShown = false;
};

class FaultHarness : public WholeUploadFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(site, kPort));
        link = faults::CountingLink(link);
        faults::InstallCountingVfs();
        const std::string error =
            sink.Start(work.Path(), {.Reject = {}, .Tls = false, .LifetimeSeconds = 1800});
        ASSERT_TRUE(error.empty()) << error;
        settings.MailAddress = "office@example.jp";
        settings.FromMailAddress = "gathra@example.jp";
        settings.MailSub = "棚卸ﾃﾞｰﾀ";
        settings.MailServer = sink.Address();
        settings.DatabaseName = "Gathra";
        settings.XlsF1 = 1;  // field 1 is data, not the worksheet
        settings.SaveFolder = site + "/save";
        settings.BackFilePath = site + "/Back.txt";
        const char* points = std::getenv("GATHRA_FAULT_POINTS");
        everyPoint = points != nullptr && std::string(points) == "all";
        const char* crash = std::getenv("GATHRA_FAULT_CRASH");
        kill = crash != nullptr && std::string(crash) == "1";
    }

    // One upload of `records` with the `failAt`-th call failing (none with 0), and what it left.
    Observed Upload(const Lines& records, int failAt, faults::Failure failure = faults::Failure::Error) {
        termsim::Simulator sim;
        termsim::Options options;
        options.records = records;
        EXPECT_TRUE(sim.Start(program.Path(), kPort, options));
        FreshView();
        run.IsRunning = true;
        run.StopRequested = false;
        followUpLines.clear();
        Observed seen;
        uploadEnded = [&](const UploadResult& result) {
            followUp->UploadEnded(result);
            seen.Result = result;
        };
        const size_t entries = JournalEntries().size();

        faults::CountingFileOps ops;
        if (failure == faults::Failure::Kill) {
            const pid_t child = fork();
            if (child == 0) {
                followUp->BeginRun(settings);  // the journal opened in this process only
                ScopedFileOps scoped(ops);
                Plan().Arm(failAt, failure);
                RunUploadWith([] { return kClock; });
                _exit(0);
            }
            waitpid(child, nullptr, 0);
        } else {
            followUp->BeginRun(settings);
            ScopedFileOps scoped(ops);
            Plan().Arm(failAt, failure);
            const RunOutcome outcome = RunUploadWith([] { return kClock; });
            Plan().Disarm();
            const Lines status = AppendedStatusLines(view);
            std::string reason;
            seen.ExitCode = RunExitCode(outcome, settings, run, seen.Result.FailureText,
                                        status.empty() ? "" : status.back(), reason);
        }
        sim.WaitFinished(300);
        sim.Stop();

        const Lines answers = sim.FinalAnswers();
        seen.Answer = answers.empty() ? "none" : answers.back();
        seen.Output = ReadOutput(*store, run.OutputPath, xlsx);
        const Lines status = AppendedStatusLines(view);
        seen.StatusEnd = status.empty() ? "" : status.back();
        const Lines journal = JournalEntries();
        if (journal.size() > entries) {
            seen.Journal = Lines(journal.begin() + static_cast<long>(entries), journal.end());
        }
        for (const auto& line : followUpLines) {
            seen.JournalErrorShown = seen.JournalErrorShown || line.rfind("履歴ﾌｧｲﾙ書込ｴﾗｰ", 0) == 0;
        }
        return seen;
    }

    // Each journal entry as "<outcome> <records stored> <answer>", oldest first.
    Lines JournalEntries() const {
        const std::string path = UploadJournal::PathIn(site);
        if (!fs::exists(path)) {
            return {};
        }
        return Query(path, "SELECT outcome || ' ' || stored || ' ' || answer FROM uploads ORDER BY id")
            .value_or(Lines{"(torn)"});
    }

    // The disagreements of one upload's observers; `resend` is the clean resend, which must be stored and
    // leave `stored` as the output.
    Lines Judge(const Observed& seen, bool resend, const std::string& stored) const {
        Lines found;
        const bool acked = seen.Answer == "ACK";
        const auto say = [&](const std::string& what) {
            found.push_back(std::string(resend ? "resend: " : "") + what + " (answer " + seen.Answer + ")");
        };
        if (resend && !acked) {
            say("the clean resend was not stored");
        }
        if (seen.Output != (acked ? stored : before)) {
            const bool torn = seen.Output != stored && seen.Output != before;
            say(torn ? "output " + seen.Output : acked ? "output left old" : "output holds the upload");
        }
        if (seen.ExitCode != (acked ? kExitStored : kExitFailed)) {
            say("exit code " + std::to_string(seen.ExitCode));
        }
        const FinalAnswer answer = acked                  ? FinalAnswer::Ack
                                   : seen.Answer == "CAN" ? FinalAnswer::Can
                                                          : FinalAnswer::None;
        if (seen.Result.Answer != answer || seen.Result.RecordsStored != (acked ? 2 : 0)) {
            say("result " + AnswerWord(seen.Result.Answer) + " " + std::to_string(seen.Result.RecordsStored) +
                " " + StoreWord(seen.Result.Store));
        }
        if (acked != (seen.StatusEnd == kStoredEnd) || (!acked && seen.StatusEnd != "異常終了")) {
            say("status ends with " + seen.StatusEnd);
        }
        const std::string entry = acked ? "stored 2 ack" : "failed 0 " + AnswerWord(answer);
        if (seen.Journal ? *seen.Journal != Lines{entry} : !seen.JournalErrorShown) {
            say("journal " +
                (seen.Journal ? RowsText(*seen.Journal) : std::string("entry missing, unreported")));
        }
        return found;
    }

    // Makes the site as the store finds it before the upload (an older upload's output and journal entry)
    // and keeps a copy to start each point from.
    void MakeTemplate() {
        followUp.reset();
        fs::remove_all(site);
        fs::remove_all(templateSite);
        fs::create_directories(settings.SaveFolder);
        if (store->Format == kSaveFormatMdb) {
            Query(settings.SaveFolder + "/Gathra.mdb", "CREATE TABLE T01(F1 TEXT, F2 TEXT)");
        }
        NewFollowUp();
        const Observed old = Upload(kOldRecords, 0);
        ASSERT_EQ(old.Answer, "ACK") << view.StatusText;
        followUp.reset();
        if (store->Fresh) {
            fs::remove(run.OutputPath);
        }
        before = ReadOutput(*store, run.OutputPath, xlsx);
        const std::string rows = RowsText(kRecordsUtf8);
        after = store->Fresh || store->OverWrite == 1 ? rows : before + "|" + rows;
        fs::copy(site, templateSite, fs::copy_options::recursive);
    }

    void FromTemplate() {
        followUp.reset();
        fs::remove_all(site);
        fs::copy(templateSite, site, fs::copy_options::recursive);
        NewFollowUp();
    }

    void NewFollowUp() {
        followUp = std::make_unique<UploadFollowUp>(
            site, [this](const std::string& line) { followUpLines.push_back(line); });
    }

    // The points of the sample: the first of each distinct call ("write T01.txt"), but of the port's
    // writes only the final answer (a line of the exchange lost costs up to 25 s of time-outs).
    bool Sampled(const Lines& names, size_t point) const {
        const auto isPort = [](const std::string& name) { return name.rfind("port ", 0) == 0; };
        const auto at = names.begin() + static_cast<long>(point) - 1;
        const bool first = std::find(names.begin(), at, *at) == at;
        const bool finalAnswer = isPort(*at) && std::none_of(at + 1, names.end(), isPort);
        return everyPoint || finalAnswer || (first && !isPort(*at));
    }

    TempFolder work;
    const std::string site = work / "site";
    const std::string templateSite = work / "template";
    SmtpSinkProcess sink;
    XlsxReader xlsx{work.Path()};
    std::unique_ptr<UploadFollowUp> followUp;  // the journal, as a front end keeps it
    Lines followUpLines;                       // its status lines in the current upload
    const Store* store = nullptr;
    std::string before;  // the output before the upload
    std::string after;   // the output with the upload stored once
    bool everyPoint = false;
    bool kill = false;
};

TEST_F(FaultHarness, EveryFailingCallLeavesTheObserversAgreeingAndTheResendStoresOnce) {
    Lines disagreements;
    for (const bool mail : {false, true}) {
        for (const Store& each : kStores) {
            store = &each;
            const std::string name = std::string(each.Name) + (mail ? ", mail" : "");
            SCOPED_TRACE(name);
            settings.SaveFormat = each.Format;
            settings.XlsType = each.XlsType;
            settings.OverWrite = each.OverWrite;
            settings.SendMail = mail ? Switch::On : Switch::Off;
            ASSERT_NO_FATAL_FAILURE(MakeTemplate());

            FromTemplate();
            const Observed clean = Upload(kRecords, 0);
            const Lines names = Plan().Names();
            ASSERT_EQ(Judge(clean, true, after), Lines{}) << view.StatusText;

            size_t ran = 0;
            size_t found = 0;
            size_t twice = 0;
            for (size_t point = 1; point <= names.size(); ++point) {
                if (!Sampled(names, point)) {
                    continue;
                }
                ++ran;
                FromTemplate();
                const Observed seen = Upload(kRecords, static_cast<int>(point),
                                             kill ? faults::Failure::Kill : faults::Failure::Error);
                // A killed engine has no observers left but the terminal and the disk; it may leave a new
                // output made but empty. Killed once the records were in the output and before the "ACK",
                // it cannot have known whether the answer went out: the resend stores them again (except
                // over an overwritten output).
                const bool old = seen.Output == before || (each.Fresh && seen.Output.empty());
                const bool kept =
                    kill && seen.Answer != "ACK" && seen.Output == after && store->OverWrite == 0;
                Lines problems = !kill ? Judge(seen, false, after)
                                 : seen.Output == after || (seen.Answer != "ACK" && old)
                                     ? Lines{}
                                     : Lines{"output " + seen.Output};
                twice += kept ? 1 : 0;
                if (seen.Answer != "ACK") {
                    const Lines resend =
                        Judge(Upload(kRecords, 0), true, kept ? after + "|" + RowsText(kRecordsUtf8) : after);
                    problems.insert(problems.end(), resend.begin(), resend.end());
                }
                for (const auto& problem : problems) {
                    disagreements.push_back(name + " #" + std::to_string(point) + " " + names[point - 1] +
                                            ": " + problem);
                }
                found += problems.empty() ? 0 : 1;
            }
            std::cout << name << ": " << names.size() << " points, " << ran << " run, " << found
                      << " with disagreements" << (kill ? ", " + std::to_string(twice) + " stored twice" : "")
                      << std::endl;
        }
    }
    for (const auto& line : disagreements) {
        std::cout << "  " << line << "\n";
    }
    EXPECT_EQ(disagreements.size(), 0u);
}

}  // namespace
