// Whole uploads against the simulated terminal that write the journal: one entry however the upload
// ended, and a journal that cannot be written never costs the upload.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>

#include "journal/upload_journal.h"
#include "support/small_tmpfs.h"
#include "upload/upload_follow_up.h"
#include "whole_upload_fixture.h"

namespace {

using termsim::FaultKind;
using termsim::Options;
using Lines = std::vector<std::string>;

constexpr int kPort = 3;

class JournalE2E : public WholeUploadFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), kPort));
        settings.OverWrite = 1;
    }
    void TearDown() override { sim->Stop(); }

    // One upload of `options`; the run's follow-up writes the journal and runs the command.
    void Upload(const Options& options) {
        sim = std::make_unique<termsim::Simulator>();
        FreshView();
        followLines.clear();
        run.IsRunning = true;
        run.StopRequested = false;
        ASSERT_TRUE(sim->Start(program.Path(), kPort, options));
        UploadFollowUp followUp(program.Path(), [this](const std::string& line) {
            std::lock_guard lock(mutex);
            followLines.push_back(line);
        });
        followUp.BeginRun(settings);
        uploadEnded = [&followUp](const UploadResult& report) { followUp.UploadEnded(report); };
        RunUploadWith();
        uploadEnded = nullptr;
        followUp.Finish(false);
        sim->WaitFinished(2000);
    }

    std::vector<JournalEntry> Entries() const {
        UploadJournal journal(UploadJournal::PathIn(program.Path()));
        journal.OpenForReading();
        return journal.Read({}).value_or(std::vector<JournalEntry>{});
    }
    std::string JournalPath() const { return UploadJournal::PathIn(program.Path()); }

    TempFolder save;
    std::unique_ptr<termsim::Simulator> sim;
    std::mutex mutex;
    Lines followLines;
};

TEST_F(JournalE2E, OneEntryPerUploadHoweverItEnded) {
    struct Row {
        const char* name;
        std::vector<termsim::RecordFault> faults;
        bool stopAfterFirstRecord;
        UploadOutcome outcome;
        int stored;
        std::string failure;
        std::string final;
    };
    const std::vector<Row> rows = {
        {"stored", {}, false, UploadOutcome::Stored, 3, "", "ACK"},
        {"failed",
         {{FaultKind::BadChecksum, 1, 11}},
         false,
         UploadOutcome::Failed,
         0,
         "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ",
         "CAN"},
        {"stopped",
         {{FaultKind::Silence, 1, 100}},
         true,
         UploadOutcome::Stopped,
         0,
         "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました",
         "CAN"},
        {"gone", {{FaultKind::HangUp, 1, 1}}, false, UploadOutcome::DeviceGone, 0, "ﾎﾟｰﾄ切断ｴﾗｰ", ""},
    };
    for (const Row& row : rows) {
        Options options;
        options.terminalId = "T07";
        options.records = {"A", "B", "C"};
        options.faults = row.faults;
        stopWhen = nullptr;
        if (row.stopAfterFirstRecord) {
            stopWhen = [this] { return sim->LinesFromPc().size() >= 3; };  // VOL, ACK, ACK
        }
        const auto before = std::chrono::system_clock::now();
        ASSERT_NO_FATAL_FAILURE(Upload(options));
        const auto entries = Entries();
        ASSERT_FALSE(entries.empty()) << row.name;
        const UploadResult& entry = entries.front().Upload;
        EXPECT_EQ(entry.Outcome, row.outcome) << row.name;
        EXPECT_EQ(entry.TerminalId, "T07") << row.name;
        EXPECT_EQ(entry.Port, kPort);
        EXPECT_EQ(entry.RecordsAnnounced, 3);
        EXPECT_EQ(entry.RecordsStored, row.stored) << row.name;
        EXPECT_EQ(entry.FailureText, row.failure) << row.name;
        EXPECT_EQ(entry.Output, save / "T07.txt");
        EXPECT_EQ(entry.Format, "text");
        EXPECT_GE(entry.Started, before - std::chrono::seconds(1));
        EXPECT_GE(entry.Ended, entry.Started);
        if (!row.final.empty()) {
            EXPECT_EQ(sim->FinalAnswers(), Lines{row.final}) << row.name;
        }
        EXPECT_EQ(followLines, Lines{}) << row.name;
    }
    EXPECT_EQ(Entries().size(), rows.size());
}

// The command after the upload runs in the save folder; the collector's run does the same through the
// same follow-up.
TEST_F(JournalE2E, CommandAfterAStoredUploadGoesIntoItsEntry) {
    settings.AfterUpload =
        "echo \"$GATHRA_OUTCOME $GATHRA_RECORDS $GATHRA_TERMINAL_ID\" > after.txt; echo ok";
    Options options;
    options.records = {"A", "B"};
    ASSERT_NO_FATAL_FAILURE(Upload(options));
    EXPECT_EQ(ReadBytes(save / "after.txt"), "stored 2 T01\n");
    const auto entries = Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Command, "exit 0");
    EXPECT_EQ(entries[0].CommandDetail, "ok");
    EXPECT_EQ(followLines, Lines{"ｺﾏﾝﾄﾞ終了 : 0 : ok"});
}

TEST_F(JournalE2E, JournalThatCannotBeWrittenNeverCostsTheUpload) {
    // Read-only and full: the journal is a link into a tmpfs of its own (root ignores file modes).
    TempFolder elsewhere;
    SmallTmpfs tmpfs;
    const std::string mounted = tmpfs.Mount(elsewhere.Path(), 64 * 1024);
    if (!mounted.empty()) {
        GTEST_SKIP() << mounted;
    }
    struct Row {
        const char* name;
        std::function<void()> prepare;
        std::string line;  // the one status line
    };
    const std::vector<Row> rows = {
        {"read-only",
         [&] {
             ::mount(nullptr, elsewhere.Path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr);
             std::filesystem::create_symlink(elsewhere / "journal.sqlite", JournalPath());
         },
         "履歴ﾌｧｲﾙ書込ｴﾗｰ : "},
        {"full",
         [&] {
             ::mount(nullptr, elsewhere.Path().c_str(), nullptr, MS_REMOUNT, nullptr);
             WriteBytes(elsewhere / "filler", std::string(64 * 1024, 'x'));
             std::filesystem::create_symlink(elsewhere / "journal.sqlite", JournalPath());
         },
         "履歴ﾌｧｲﾙ書込ｴﾗｰ : "},
        {"damaged", [&] { WriteBytes(JournalPath(), std::string(4096, 'x')); },
         "履歴ﾌｧｲﾙが壊れているため移動しました : "},
    };
    for (const Row& row : rows) {
        std::filesystem::remove(JournalPath());
        row.prepare();
        Options options;
        options.records = {"A", "B"};
        ASSERT_NO_FATAL_FAILURE(Upload(options));
        EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"}) << row.name;
        EXPECT_EQ(ReadBytes(save / "T01.txt"), "A\r\nB\r\n") << row.name;
        ASSERT_EQ(followLines.size(), 1u) << row.name;
        EXPECT_EQ(followLines[0].rfind(row.line, 0), 0u) << followLines[0];
    }
    // The damaged file went aside and the upload went into a new journal.
    EXPECT_EQ(Entries().size(), 1u);
    int aside = 0;
    for (const auto& file : std::filesystem::directory_iterator(program.Path())) {
        aside += file.path().filename().string().rfind("Gathra-journal.sqlite.damaged-", 0) == 0;
    }
    EXPECT_EQ(aside, 1);
}

}  // namespace
