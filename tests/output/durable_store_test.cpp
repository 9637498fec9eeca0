// What is on disk when the final "ACK" goes out, and what a failed store leaves behind: the order of
// writes and syncs traced through the file-operations seam, faults injected there, and the output's
// permissions, links and read-only refusal on real files.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/program_folder.h"
#include "fake_link.h"
#include "output/database/database_connection.h"
#include "output/text/text_store.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"
#include "support/tracing_file_ops.h"
#include "upload/upload_engine.h"
#include "upload_test_support.h"

namespace {

using Lines = std::vector<std::string>;

const PcDateTime kClock = {2024, 1, 2, 9, 5, 7};
// A worked enquiry answer: terminal "T01", two records announced.
const char* const kEnquiry = "^#T01@2*D2";

std::set<std::string> FolderEntries(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// Whole uploads against a scripted terminal (simple protocol, so records are plain lines), with every
// file call traced.
class DurableUpload : public ::testing::Test {
protected:
    void SetUp() override {
        SetUploadDefaults(settings, save.Path(), program / "Back.txt", 1);
        settings.Protocol = UploadProtocol::Simple;
        settings.OverWrite = 1;
        trace.folderLabels = {{save.Path(), "save/"}, {program.Path(), "program/"}};
        trace.stamp = [this] { return link.written.size(); };
        link.onScriptEnd = [this] {
            run.IsRunning = false;
            run.StopRequested = true;
        };
    }

    void Upload(const Lines& records) {
        view = RecordingOperatorView{};
        link.written.clear();
        trace.events.clear();
        link.Reply(kEnquiry);
        for (const auto& record : records) {
            link.Reply(record);
        }
        link.Reply("END");
        run.IsRunning = true;
        run.StopRequested = false;
        UploadContext context{settings, run, view, link.Api(), [] { return kClock; }};
        ScopedFileOps traced(trace);
        RunUpload(context);
    }

    // Every traced sync, rename and removal happened after the last record's "ACK" and before the final
    // answer, which is the last line sent.
    void ExpectAllBeforeTheFinalAnswer() {
        ASSERT_FALSE(link.written.empty());
        for (const auto& event : trace.events) {
            if (event.Text.rfind("write ", 0) != 0) {
                EXPECT_EQ(event.Stamp, link.written.size() - 1) << event.Text;
            }
        }
    }

    TempFolder program;
    TempFolder save;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
    FakeLink link;
    TracingFileOps trace;
};

TEST_F(DurableUpload, EverythingIsSyncedOnceBeforeTheFinalAck) {
    // First upload: Back.txt, LOG.TXT and the output are all new, so each folder is synced as well.
    Upload({"A,1", "B,2"});
    EXPECT_EQ(link.written.back(), "ACK");
    EXPECT_EQ(ReadBytes(save / "T01.txt"), "A,1\r\nB,2\r\n");
    EXPECT_EQ(trace.Only({"datasync", "sync", "rename"}),
              (Lines{"datasync Back.txt", "sync program/", "datasync LOG.TXT", "sync save/",
                     "datasync <temp>", "rename <temp> T01.txt", "sync save/"}));
    ExpectAllBeforeTheFinalAnswer();
    // No file is written after its sync.
    for (size_t i = 0; i < trace.events.size(); ++i) {
        const std::string& text = trace.events[i].Text;
        if (text.rfind("datasync ", 0) == 0) {
            const std::string write = "write " + text.substr(9);
            for (size_t j = i + 1; j < trace.events.size(); ++j) {
                EXPECT_NE(trace.events[j].Text, write);
            }
        }
    }

    // Again over existing files, appending: only the data is synced, no folder entry changed.
    settings.OverWrite = 0;
    Upload({"C,3", "D,4"});
    EXPECT_EQ(link.written.back(), "ACK");
    EXPECT_EQ(ReadBytes(save / "T01.txt"), "A,1\r\nB,2\r\nC,3\r\nD,4\r\n");
    EXPECT_EQ(trace.Only({"datasync", "sync", "rename"}),
              (Lines{"datasync Back.txt", "datasync LOG.TXT", "datasync T01.txt"}));
    ExpectAllBeforeTheFinalAnswer();
}

TEST_F(DurableUpload, AFailedSyncOfTheBackupOrTheOutputIsAFailedStore) {
    struct Case {
        const char* name;
        int16_t overwrite;
        const char* call;
        const char* file;
        const char* finalAnswer;
        const char* shownPath;  // in the failure text; empty when no failure is shown
    };
    const Case cases[] = {
        {"backup data", 1, "datasync", "Back.txt", "CAN", "Back.txt"},
        {"output replaced", 1, "datasync", "<temp>", "CAN", "T01.txt"},
        {"output appended", 0, "datasync", "T01.txt", "CAN", "T01.txt"},
        {"rename over the output", 1, "rename", "<temp> T01.txt", "CAN", "T01.txt"},
        {"log ignored", 1, "datasync", "LOG.TXT", "ACK", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(save / "T01.txt", "old\r\n");
        settings.OverWrite = c.overwrite;
        trace.failCall = c.call;
        trace.failName = c.file;
        Upload({"A,1", "B,2"});
        EXPECT_TRUE(trace.failCall.empty()) << "the fault was never reached";
        EXPECT_EQ(link.written.back(), c.finalAnswer);
        if (std::string(c.finalAnswer) == "ACK") {
            EXPECT_EQ(ReadBytes(save / "T01.txt"), "A,1\r\nB,2\r\n");
            EXPECT_TRUE(view.Messages.empty());
            continue;
        }
        EXPECT_EQ(ReadBytes(save / "T01.txt"), "old\r\n");
        EXPECT_EQ(FolderEntries(save.Path()), (std::set<std::string>{"LOG.TXT", "T01.txt"}));
        ASSERT_EQ(view.Messages.size(), 1u);
        const std::string text = view.Messages[0].Text;
        EXPECT_EQ(text, "Input/output error (" +
                            (std::string(c.file) == "Back.txt" ? program / "Back.txt" : save / "T01.txt") +
                            ")Gathra");
        const Lines status = view.StatusLines();
        ASSERT_GE(status.size(), 2u);
        EXPECT_EQ(status[status.size() - 2], text);
        EXPECT_EQ(status.back(), "異常終了");
    }
}

class DurableText : public ::testing::Test {
protected:
    void SetUp() override {
        settings.BackFilePath = dir / "Back.txt";
        settings.SelectedFields.fill(1);
        run.OutputPath = dir / "T01.txt";
        trace.folderLabels = {{dir.Path(), "dir/"}};
    }
    bool Save() {
        ScopedFileOps traced(trace);
        return TextStore().Save(settings, run, view);
    }

    TempFolder dir;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
    TracingFileOps trace;
};

TEST_F(DurableText, AnyFailureLeavesTheOutputByteForByte) {
    // Enough records for several writes, so a failure can come after some lines are out.
    Lines records;
    for (int i = 0; i < 20000; ++i) {
        records.push_back("record," + std::to_string(i));
    }
    WriteBytes(settings.BackFilePath, CrLfLines(records));
    struct Case {
        const char* name;
        int16_t overwrite;
        bool outputExists;
        const char* call;
        const char* file;
        int skip;
    };
    const Case cases[] = {
        {"append, disk full after some lines", 0, true, "write", "T01.txt", 2},
        {"append, first write", 0, true, "write", "T01.txt", 0},
        {"append, sync", 0, true, "datasync", "T01.txt", 0},
        {"append to a new file", 0, false, "write", "T01.txt", 1},
        {"append to a new file, folder sync", 0, false, "sync", "dir/", 0},
        {"replace, disk full after some lines", 1, true, "write", "<temp>", 2},
        {"replace, sync", 1, true, "datasync", "<temp>", 0},
        {"replace, rename", 1, true, "rename", "<temp> T01.txt", 0},
        {"replace, folder sync after the rename", 1, true, "sync", "dir/", 0},
        {"replace a missing file", 1, false, "write", "<temp>", 1},
    };
    const std::string old = "old 1\r\nold 2 without its line end";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(run.OutputPath);
        if (c.outputExists) {
            WriteBytes(run.OutputPath, old);
        }
        const std::set<std::string> before = FolderEntries(dir.Path());
        settings.OverWrite = c.overwrite;
        trace.failCall = c.call;
        trace.failName = c.file;
        trace.failErrno = ENOSPC;
        trace.failSkip = c.skip;
        view = RecordingOperatorView{};
        EXPECT_FALSE(Save());
        EXPECT_TRUE(trace.failCall.empty()) << "the fault was never reached";
        EXPECT_EQ(FileExists(run.OutputPath), c.outputExists);
        if (c.outputExists) {
            EXPECT_EQ(ReadBytes(run.OutputPath), old);
        }
        EXPECT_EQ(FolderEntries(dir.Path()), before);
        ASSERT_EQ(view.Messages.size(), 1u);
        EXPECT_EQ(view.Messages[0].Text, "No space left on device (" + run.OutputPath + ")Gathra");
    }
}

TEST_F(DurableText, ReplacingKeepsPermissionsAndTheLink) {
    std::filesystem::create_directory(dir / "real");
    WriteBytes(dir / "real/target.txt", "old\r\n");
    ::chmod((dir / "real/target.txt").c_str(), 0640);
    ::chown((dir / "real/target.txt").c_str(), 65534, 65534);
    trace.folderLabels[dir / "real"] = "real/";
    std::filesystem::create_symlink("real/target.txt", run.OutputPath);
    // A link to a file that does not exist yet is followed as well.
    std::filesystem::create_symlink("real/later.txt", dir / "T02.txt");
    WriteBytes(settings.BackFilePath, CrLfLines({"new"}));
    settings.OverWrite = 1;

    ASSERT_TRUE(Save());
    EXPECT_TRUE(std::filesystem::is_symlink(run.OutputPath));
    EXPECT_EQ(ReadBytes(dir / "real/target.txt"), "new\r\n");
    struct stat info {};
    ASSERT_EQ(::stat((dir / "real/target.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_uid, 65534u);
    EXPECT_EQ(trace.Only({"write", "datasync", "rename", "sync"}),
              (Lines{"write <temp>", "datasync <temp>", "rename <temp> target.txt", "sync real/"}));

    run.OutputPath = dir / "T02.txt";
    ASSERT_TRUE(Save());
    EXPECT_TRUE(std::filesystem::is_symlink(run.OutputPath));
    EXPECT_EQ(ReadBytes(dir / "real/later.txt"), "new\r\n");
    EXPECT_EQ(FolderEntries(dir / "real"), (std::set<std::string>{"later.txt", "target.txt"}));
}

TEST_F(DurableText, AReadOnlyOutputIsRefusedInBothModes) {
    // Root may write any file, so the store runs as nobody, in a folder nobody may write to as well:
    // only the output's own mode refuses it.
    ::chmod(dir.Path().c_str(), 0777);
    WriteBytes(settings.BackFilePath, CrLfLines({"new"}));
    WriteBytes(run.OutputPath, "old\r\n");
    ::chown(run.OutputPath.c_str(), 65534, 65534);
    ::chmod(run.OutputPath.c_str(), 0444);
    for (const int16_t overwrite : {1, 0}) {
        SCOPED_TRACE(overwrite);
        settings.OverWrite = overwrite;
        const ChildEnd end = RunInChild([&](std::string&) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
                return 3;
            }
            RecordingOperatorView quiet;
            const bool saved = TextStore().Save(settings, run, quiet);
            const bool told = quiet.Messages.size() == 1 &&
                              quiet.Messages[0].Text == "Permission denied (" + run.OutputPath + ")Gathra";
            return saved ? 1 : told ? 0 : 2;
        });
        ASSERT_TRUE(end.Exited);
        EXPECT_EQ(end.ExitCode, 0) << "1: stored, 2: wrong failure text, 3: could not become nobody";
        EXPECT_EQ(ReadBytes(run.OutputPath), "old\r\n");
        EXPECT_EQ(FolderEntries(dir.Path()), (std::set<std::string>{"Back.txt", "T01.txt"}));
    }
}

// A path below the held program folder's real path goes through the folder, also once the folder has been
// moved and another put in its place; a path that merely starts with the same name, or climbs out of the
// folder with "..", is taken as it is.
TEST(HeldProgramFolder, PathsBelowItGoThroughItsDescriptor) {
    TempFolder base;
    const std::string dir = base / "prog", moved = base / "away/prog";
    std::filesystem::create_directories(dir + "/out");
    std::string problem;
    const ProgramFolder held = ProgramFolder::Open(dir, problem);
    ASSERT_TRUE(held.IsHeld()) << problem;
    std::filesystem::create_directory(base / "away");
    std::filesystem::rename(dir, moved);
    std::filesystem::create_directories(dir + "/out");
    std::filesystem::create_directory(base / "prog2");
    const std::string cases[][2] = {{dir + "/out/T01.txt", moved + "/out/T01.txt"},
                                    {dir + "//out/LOG.TXT", moved + "/out/LOG.TXT"},
                                    {dir + "2/T01.txt", base / "prog2/T01.txt"},
                                    {dir + "/../up.txt", base / "up.txt"}};
    for (const auto& [path, landsIn] : cases) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(ReplaceFileDurably(path, "x", 0600));
        EXPECT_EQ(ReadBytes(landsIn), "x");
    }
}

// Prepared, the new content is durable beside the target but not yet in place: committed it replaces
// the target, abandoned it is removed and the target stays as it was. Kept for an undo, the previous
// target stays beside it (a hard link, or a copy where links are refused) until it is kept or put back;
// a folder where neither can be made commits for good. A folder sync that fails puts the old file back.
TEST(DurableReplacementSteps, APreparedReplacementIsCommittedAbandonedUndoneOrKept) {
    TempFolder dir;
    const std::string path = dir / "T01.txt";
    const std::string previous = dir / ".T01.txt.gathra-previous";
    TracingFileOps trace;
    trace.folderLabels = {{dir.Path(), "dir/"}};
    ScopedFileOps traced(trace);
    struct Row {
        const char* name;
        const char* steps;  // after Prepare, each with what it answers: "commit+ undo-", "commit+ keep"
        const char* fail;   // "<call>|<name>" made to fail once
        const char* content;
        const char* calls;  // the traced calls, joined by ", "
    };
    const char* const kept =
        "write <temp>, datasync <temp>, link T01.txt <previous>, rename <temp> T01.txt, sync dir/";
    const Row rows[] = {
        {"abandoned", "", "", "old", "write <temp>, datasync <temp>, unlink <temp>"},
        {"committed and kept", "commit+ keep", "", "new", "*, unlink <previous>"},
        {"committed and undone", "commit+ undo+", "", "old", "*, rename <previous> T01.txt, sync dir/"},
        {"no hard links: undone from a copy", "commit+ undo+", "link|T01.txt <previous>", "old",
         "write <temp>, datasync <temp>, write <previous>, rename <temp> T01.txt, sync dir/, datasync "
         "<previous>, "
         "rename <previous> T01.txt, sync dir/"},
        {"neither a link nor a copy: committed for good", "commit+ undo-", "", "new",
         "write <temp>, datasync <temp>, unlink <previous>, link T01.txt <previous>, unlink <previous>, "
         "rename <temp> T01.txt, sync dir/"},
        {"folder sync failed: the old file back", "commit- keep", "sync|dir/", "old",
         "write <temp>, datasync <temp>, link T01.txt <previous>, rename <temp> T01.txt, rename <previous> "
         "T01.txt, sync dir/"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        WriteBytes(path, "old");
        std::filesystem::remove_all(previous);
        if (std::string(row.name).rfind("neither", 0) == 0) {
            std::filesystem::create_directory(previous);  // the name is taken: no link, no copy
        }
        trace.events.clear();
        const std::string fail = row.fail;
        trace.failCall = fail.substr(0, fail.find('|'));
        trace.failName = fail.empty() ? "" : fail.substr(fail.find('|') + 1);
        trace.failErrno = trace.failCall == "link" ? EPERM : EIO;
        std::string answered;
        {
            DurableReplacement replacement;
            replacement.KeepPrevious();
            ASSERT_TRUE(replacement.Begin(path, 0666) && replacement.Write("new") && replacement.Prepare());
            EXPECT_EQ(ReadBytes(path), "old");
            std::istringstream steps(row.steps);
            for (std::string step; steps >> step;) {
                answered += (answered.empty() ? "" : " ") + step.substr(0, step.find_first_of("+-"));
                if (step == "keep") {
                    replacement.Keep();
                } else {
                    answered += (step[0] == 'c' ? replacement.Commit() : replacement.Undo()) ? "+" : "-";
                }
            }
        }
        EXPECT_EQ(answered, row.steps);
        EXPECT_EQ(ReadBytes(path), row.content);
        std::filesystem::remove(previous);  // the directory of the row that took its name
        EXPECT_EQ(FolderEntries(dir.Path()), std::set<std::string>{"T01.txt"});
        std::string calls;
        for (const std::string& call :
             trace.Only({"write", "datasync", "rename", "link", "sync", "unlink"})) {
            calls += (calls.empty() ? "" : ", ") + call;
        }
        const std::string expected = row.calls;
        EXPECT_EQ(calls, expected[0] == '*' ? kept + expected.substr(1) : expected);
    }
}

TEST(DurableDatabase, ConnectionsKeepTheFullySynchronousCommit) {
    TempFolder dir;
    const std::string path = dir / "gathra.db";
    sqlite3* created = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &created), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(created, "CREATE TABLE t(a TEXT)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(created);

    DatabaseConnection connection;
    DatabaseError error;
    ASSERT_TRUE(connection.Open(path, error)) << error.Description;
    for (const auto& [pragma, wanted] : {std::pair<const char*, const char*>{"PRAGMA synchronous", "2"},
                                         {"PRAGMA journal_mode", "delete"}}) {
        DatabaseStatement statement;
        ASSERT_TRUE(statement.Prepare(connection, pragma, error)) << error.Description;
        ASSERT_EQ(sqlite3_step(statement.Handle()), SQLITE_ROW);
        EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement.Handle(), 0)), wanted)
            << pragma;
    }
}

}  // namespace
