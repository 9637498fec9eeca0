// The command after each upload: its environment, its limits and its tree, one at a time, and what it
// inherits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "journal/upload_journal.h"
#include "upload/command_runner.h"
#include "upload/upload_follow_up.h"
#include "upload_test_support.h"

namespace {

using namespace std::chrono;

class AfterUploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Asia/Tokyo", 1);
        tzset();
        settings.SaveFolder = save.Path();
    }

    UploadResult Report(const std::string& terminal) const {
        UploadResult report;
        report.Started = system_clock::time_point(seconds(1796688000));  // 2026-12-08 09:00:00 +09:00
        report.Ended = report.Started + seconds(4);
        report.Port = 3;
        report.TerminalId = terminal;
        report.RecordsAnnounced = 2;
        report.RecordsStored = 2;
        report.Format = "text";
        report.Output = save / (terminal + ".txt");
        report.Outcome = UploadOutcome::Stored;
        report.Store = StoreState::Committed;
        return report;
    }

    // One upload's follow-up with `command`, run to its end; the journal entry it left.
    JournalEntry FollowUp(const std::string& command, const UploadResult& report,
                          CommandRunner::Limits limits = {}) {
        settings.AfterUpload = command;
        {
            UploadFollowUp followUp(
                program.Path(), [this](const std::string& line) { Note(line); }, {}, limits);
            followUp.BeginRun(settings);
            followUp.UploadEnded(report);
            followUp.Finish(false);
        }
        UploadJournal journal(UploadJournal::PathIn(program.Path()));
        journal.OpenForReading();
        const auto entries = journal.Read({}).value_or(std::vector<JournalEntry>{});
        return entries.empty() ? JournalEntry{} : entries.front();
    }

    void Note(const std::string& line) {
        std::lock_guard lock(mutex);
        status.push_back(line);
    }

    TempFolder program;
    TempFolder save;
    SettingsRecord settings;
    std::mutex mutex;
    std::vector<std::string> status;
};

TEST_F(AfterUploadTest, EnvironmentOnlyInTheSaveFolderWithoutInput) {
    // Shell metacharacters in the terminal ID stay data: nothing they spell is run. Its control characters
    // and line break reach the command visible, so they neither move a terminal nor forge a variable.
    const std::string id = "端末07;touch bad1 $(touch bad2) `touch bad3`|'\"\x1b]0;x\x07\nGATHRA_FORMAT=xls";
    const std::string shown =
        "端末07;touch bad1 $(touch bad2) `touch bad3`|'\"\\x1b]0;x\\x07\\x0aGATHRA_FORMAT=xls";
    setenv("CREDENTIALS_DIRECTORY", "/run/credentials/gathra-collect@1.service", 1);
    const JournalEntry entry = FollowUp(
        "cat; pwd > env.txt; env | grep -E '^GATHRA_(OUTCOME|OUTPUT|TABLE|TERMINAL_ID|RECORDS|FORMAT|STARTED|"
        "ENDED)=' | LC_ALL=C sort >> env.txt; echo \"${CREDENTIALS_DIRECTORY-none}\" >> env.txt; echo done",
        Report(id));
    unsetenv("CREDENTIALS_DIRECTORY");
    EXPECT_EQ(ReadBytes(save / "env.txt"), save.Path() + "\n" +
                                               "GATHRA_ENDED=2026-12-08T09:00:04+09:00\n"
                                               "GATHRA_FORMAT=text\n"
                                               "GATHRA_OUTCOME=stored\n"
                                               "GATHRA_OUTPUT=" +
                                               save / (shown + ".txt") +
                                               "\n"
                                               "GATHRA_RECORDS=2\n"
                                               "GATHRA_STARTED=2026-12-08T09:00:00+09:00\n"
                                               "GATHRA_TABLE=\n"
                                               "GATHRA_TERMINAL_ID=" +
                                               shown + "\nnone\n");
    for (const char* name : {"bad1", "bad2", "bad3"}) {
        EXPECT_FALSE(FileExists(save / name)) << name;
    }
    EXPECT_EQ(entry.Command, "exit 0");
    EXPECT_EQ(entry.CommandDetail, "done");
    EXPECT_EQ(status, std::vector<std::string>{"ｺﾏﾝﾄﾞ終了 : 0 : done"});
}

TEST_F(AfterUploadTest, FailingMissingAndTooLongCommands) {
    struct Row {
        std::string command;
        std::string word;
        std::string detail;
        std::string line;
        bool childrenIgnored = false;  // SIGCHLD ignored by the program: the runner cannot wait for its child
    };
    const std::string tooLong(255, 'x');
    for (const Row& row : {
             Row{"echo first; echo 'no share' >&2; exit 3", "exit 3", "no share",
                 "ｺﾏﾝﾄﾞ警告 : 終了ｺｰﾄﾞ 3 : no share"},
             Row{"no-such-program-here", "exit 127", "", ""},
             Row{"kill -9 $$", "signal 9", "", "ｺﾏﾝﾄﾞ警告 : ｼｸﾞﾅﾙ 9"},
             Row{tooLong, "", "", "AfterUpload が254ﾊﾞｲﾄを超えています : ｺﾏﾝﾄﾞは実行しません"},
             Row{"exit 0", "failed", "No child processes", "ｺﾏﾝﾄﾞ警告 : No child processes", true},
         }) {
        status.clear();
        if (row.childrenIgnored) {
            ::signal(SIGCHLD, SIG_IGN);
        }
        const JournalEntry entry = FollowUp(row.command, Report("07"));
        ::signal(SIGCHLD, SIG_DFL);
        EXPECT_EQ(entry.Command, row.word) << row.command;
        if (row.word == "exit 127") {
            EXPECT_NE(entry.CommandDetail.find("no-such-program-here"), std::string::npos)
                << entry.CommandDetail;
            continue;
        }
        EXPECT_EQ(entry.CommandDetail, row.detail) << row.command;
        EXPECT_EQ(status, std::vector<std::string>{row.line}) << row.command;
    }

    // The command's outcome cannot go into the journal: the write error says why.
    status.clear();
    const std::string journal = UploadJournal::PathIn(program.Path());
    FollowUp("sqlite3 " + journal +
                 " \"CREATE TRIGGER t BEFORE UPDATE ON uploads BEGIN SELECT RAISE(FAIL, 'x'); END\"",
             Report("07"));
    EXPECT_EQ(status, (std::vector<std::string>{"ｺﾏﾝﾄﾞ終了 : 0", "履歴ﾌｧｲﾙ書込ｴﾗｰ : " + journal + " : x"}));
    std::filesystem::remove(journal);

    // A save folder that is gone: the command cannot start, which is an outcome like any other.
    status.clear();
    settings.SaveFolder = save / "gone";
    const JournalEntry entry = FollowUp("true", Report("07"));
    EXPECT_EQ(entry.Command, "not started");
    EXPECT_EQ(entry.CommandDetail, "No such file or directory");
    EXPECT_EQ(status, std::vector<std::string>{"ｺﾏﾝﾄﾞ起動ｴﾗｰ : No such file or directory"});

    // An upload that never reached its store runs nothing.
    UploadResult gone = Report("07");
    gone.Store = StoreState::NotReached;
    gone.Outcome = UploadOutcome::DeviceGone;
    EXPECT_EQ(FollowUp("touch ran", gone).Command, "");
    EXPECT_FALSE(FileExists(save / "gone/ran"));
}

TEST_F(AfterUploadTest, TheCommandsWholeTreeEndsAtItsLimitOrWithTheShell) {
    CommandRunner::Limits limits;
    limits.Run = milliseconds(300);
    limits.KillAfter = milliseconds(300);
    // A process that leaves the shell's group and ignores SIGTERM; it writes its ID to `left`.
    const std::string stubborn =
        "setsid sh -c 'trap \"\" TERM; echo $$ > left; exec sleep 1000' & "
        "while [ ! -s left ]; do sleep 0.01; done";
    const std::string timedOut = "ｺﾏﾝﾄﾞ警告 : 時間切れのため終了しました";
    struct Row {
        std::string command, word, line;
    };
    for (const Row& row : {
             Row{"sleep 30", "timed out", timedOut},
             Row{"trap '' TERM; echo waiting; sleep 30 & wait; sleep 30", "timed out",
                 timedOut + " : waiting"},
             Row{stubborn + "; sleep 30", "timed out", timedOut},
             // The shell exits at once; what it left behind goes with it, the stubborn one at SIGKILL.
             Row{"sleep 1000 & echo $! > left", "exit 0", "ｺﾏﾝﾄﾞ終了 : 0"},
             Row{stubborn, "exit 0", "ｺﾏﾝﾄﾞ終了 : 0"},
         }) {
        SCOPED_TRACE(row.command);
        status.clear();
        std::filesystem::remove(save / "left");
        const auto start = steady_clock::now();
        const JournalEntry entry = FollowUp(row.command, Report("07"), limits);
        EXPECT_EQ(entry.Command, row.word);
        EXPECT_EQ(status, std::vector<std::string>{row.line});
        // The whole tree went, the sleep child and the process that left the group too.
        EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
        if (FileExists(save / "left")) {
            const pid_t left = std::stoi(ReadBytes(save / "left"));
            EXPECT_TRUE(::kill(left, 0) != 0 && errno == ESRCH) << "process " << left << " is still there";
        }
    }
}

TEST_F(AfterUploadTest, CommandsNeverOverlapAtMostEightWaitAndInheritNoDescriptor) {
    CommandRunner runner;
    std::mutex doneMutex;
    std::vector<int> done;
    auto job = [&](int number, const std::string& line) {
        return CommandJob{
            line, save.Path(), {{"N", std::to_string(number)}}, [&, number](const CommandResult& r) {
                std::lock_guard lock(doneMutex);
                done.push_back(r.Outcome == CommandResult::Kind::Exited ? number : -number);
            }};
    };
    // The first command is running (it has made its mark) when the next ones are handed in.
    ASSERT_TRUE(runner.Submit(job(0, "touch started; sleep 0.3; mkdir lock && sleep 0.05 && rmdir lock")));
    for (int i = 0; i < 200 && !FileExists(save / "started"); ++i) {
        std::this_thread::sleep_for(milliseconds(10));
    }
    const auto before = steady_clock::now();
    for (int i = 1; i <= 8; ++i) {
        EXPECT_TRUE(runner.Submit(job(i, "mkdir lock || exit 9; echo $N >> order; rmdir lock")));
    }
    EXPECT_FALSE(runner.Submit(job(9, "true")));
    EXPECT_LT(steady_clock::now() - before, milliseconds(50));  // handing one in never waits for it
    runner.Finish(false);
    EXPECT_EQ(done, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(ReadBytes(save / "order"), "1\n2\n3\n4\n5\n6\n7\n8\n");

    // A hurried end gives them two seconds in all: the waiting ones are never run.
    done.clear();
    ASSERT_TRUE(runner.Submit(job(1, "sleep 30")));
    ASSERT_TRUE(runner.Submit(job(2, "true")));
    const auto hurried = steady_clock::now();
    runner.Finish(true);
    EXPECT_LT(steady_clock::now() - hurried, milliseconds(3500));
    EXPECT_EQ(done, (std::vector<int>{-1, -2}));

    // No descriptor of the program is inherited, not even one opened without close-on-exec, as a library
    // might leave one.
    const int leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 3);
    CommandResult result;
    ASSERT_TRUE(
        runner.Submit({"ls /proc/$$/fd", save.Path(), {}, [&](const CommandResult& r) { result = r; }}));
    runner.Finish(false);
    ::close(leaked);
    EXPECT_EQ(result.Output, "0\n1\n2\n");
}

}  // namespace
