// The journal file and its text forms: filters, retention, a damaged file, CSV and aligned columns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "journal/history_text.h"
#include "journal/upload_journal.h"
#include "support/child_process.h"
#include "upload_test_support.h"

namespace {

using namespace std::chrono;

system_clock::time_point At(const char* day, int hour = 12) {
    return system_clock::time_point(milliseconds(*LocalDayStartMs(day))) + hours(hour);
}

UploadResult Report(const char* day, const std::string& terminal, UploadOutcome outcome, int records) {
    UploadResult report;
    report.Started = At(day);
    report.Ended = report.Started + seconds(3);
    report.Port = 1;
    report.TerminalId = terminal;
    report.RecordsAnnounced = records;
    report.RecordsStored = outcome == UploadOutcome::Stored ? records : 0;
    report.Format = "text";
    report.Output = "/data/" + terminal + ".txt";
    report.Outcome = outcome;
    report.Answer = outcome == UploadOutcome::Stored ? FinalAnswer::Ack : FinalAnswer::Can;
    report.Store = outcome == UploadOutcome::Stored ? StoreState::Committed : StoreState::NotReached;
    report.FailureText = outcome == UploadOutcome::Stored ? "" : "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ";
    return report;
}

class JournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "Asia/Tokyo", 1);
        tzset();
    }
    std::string Path() const { return UploadJournal::PathIn(folder.Path()); }
    TempFolder folder;
};

TEST_F(JournalTest, FiltersDaysCommandAndRetention) {
    const auto now = At("2026-12-08");
    {
        UploadJournal journal(Path());
        ASSERT_TRUE(journal.OpenForWriting(now)) << journal.Error();
        ASSERT_TRUE(journal.Add(Report("2025-11-01", "07", UploadOutcome::Stored, 9), now));  // over 400 days
        ASSERT_TRUE(journal.Add(Report("2026-12-06", "07", UploadOutcome::Stored, 5), now));
        ASSERT_TRUE(journal.Add(Report("2026-12-07", "端末", UploadOutcome::Failed, 4), now));
        const auto id = journal.Add(Report("2026-12-07", "07", UploadOutcome::Stored, 2), now);
        ASSERT_TRUE(id);
        ASSERT_TRUE(journal.SetCommand(*id, "exit 3", "no share"));
    }
    UploadJournal journal(Path());
    ASSERT_TRUE(journal.OpenForReading());
    // Pruned at the next open for writing only; a reader sees all four.
    EXPECT_EQ(journal.Read({}).size(), 4u);
    UploadJournal writer(Path());
    ASSERT_TRUE(writer.OpenForWriting(now));

    const auto all = journal.Read({});
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].Upload.RecordsStored, 2);  // newest first; the earlier of equal times second
    EXPECT_EQ(all[0].Command, "exit 3");
    EXPECT_EQ(all[0].CommandDetail, "no share");
    EXPECT_EQ(all[1].Upload.TerminalId, "端末");
    EXPECT_EQ(all[1].Upload.Outcome, UploadOutcome::Failed);
    EXPECT_EQ(all[1].Upload.FailureText, "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ");
    EXPECT_EQ(all[2].Upload.Started, At("2026-12-06"));

    struct Row {
        const char* since;
        const char* until;
        const char* terminal;
        size_t count;
    };
    for (const Row& row : {Row{"2026-12-07", nullptr, nullptr, 2}, Row{nullptr, "2026-12-06", nullptr, 1},
                           Row{"2026-12-06", "2026-12-06", "07", 1}, Row{nullptr, nullptr, "07", 2},
                           Row{"2026-12-08", nullptr, nullptr, 0}}) {
        JournalFilter filter;
        if (row.since)
            filter.SinceMs = LocalDayStartMs(row.since);
        if (row.until)
            filter.UntilMs = LocalDayStartMs(row.until, 1);
        if (row.terminal)
            filter.Terminal = row.terminal;
        EXPECT_EQ(journal.Read(filter).size(), row.count)
            << (row.since ? row.since : "-") << " " << (row.until ? row.until : "-");
    }

    const auto days = journal.Days({"2026-12-05", "2026-12-06", "2026-12-07"}, std::nullopt);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].Uploads, 0);
    EXPECT_EQ(days[1].Records, 5);
    EXPECT_EQ(days[2].Day, "2026-12-07");
    EXPECT_EQ(days[2].Uploads, 2);
    EXPECT_EQ(days[2].Records, 2);
    EXPECT_EQ(days[2].Failures, 1);
    EXPECT_EQ(journal.Days({"2026-12-07"}, "07")[0].Uploads, 1);
    // One page of a long table: the second entry on.
    const auto page = journal.Read({}, 1, 1);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].Upload.TerminalId, "端末");
    EXPECT_EQ(journal.Count({}), 3);
    EXPECT_EQ(journal.Terminals(), (std::vector<std::string>{"07", "端末"}));
}

TEST_F(JournalTest, DamagedFileIsMovedAsideAndANewOneStarted) {
    WriteBytes(Path(), std::string(8192, 'x'));
    UploadJournal journal(Path());
    const auto now = At("2026-12-08", 0) + hours(9) + minutes(5) + seconds(7);
    ASSERT_TRUE(journal.Add(Report("2026-12-08", "07", UploadOutcome::Stored, 1), now)) << journal.Error();
    EXPECT_EQ(journal.MovedAside(), Path() + ".damaged-20261208-090507");
    EXPECT_EQ(ReadBytes(journal.MovedAside()), std::string(8192, 'x'));
    EXPECT_EQ(journal.Read({}).size(), 1u);

    // A reader leaves a damaged file where it is and says why.
    WriteBytes(folder / "other.sqlite", std::string(8192, 'y'));
    UploadJournal reader(folder / "other.sqlite");
    EXPECT_FALSE(reader.OpenForReading());
    EXPECT_NE(reader.Error(), "");
    EXPECT_TRUE(FileExists(folder / "other.sqlite"));
    // A missing journal is nothing to read, and nothing wrong.
    UploadJournal missing(folder / "none.sqlite");
    EXPECT_FALSE(missing.OpenForReading());
    EXPECT_EQ(missing.Error(), "");
    // A named pipe in its place is neither read nor written, and not moved aside: refused at once.
    const std::string pipe = folder / "pipe.sqlite";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    UploadJournal piped(pipe);
    EXPECT_FALSE(piped.Add(Report("2026-12-08", "07", UploadOutcome::Stored, 1), now));
    EXPECT_FALSE(piped.OpenForReading());
    EXPECT_EQ(piped.Error(), pipe + " : 通常のﾌｧｲﾙではありません");
    EXPECT_TRUE(std::filesystem::is_fifo(pipe));
}

// A journal of an older version, without the answer and the store: its entries read as their outcomes
// imply, its words as they were ("xls" for a book of either kind), and the first write adds the columns.
TEST_F(JournalTest, OlderJournalReadsAsItsOutcomesImply) {
    const std::string day = std::to_string(At("2026-12-07").time_since_epoch() / milliseconds(1));
    Spawn({"sqlite3", Path(),
           "CREATE TABLE uploads (id INTEGER PRIMARY KEY, started INTEGER, ended INTEGER, port INTEGER, "
           "terminal "
           "TEXT, announced INTEGER, stored INTEGER, format TEXT, output TEXT, output_table TEXT, outcome "
           "TEXT, "
           "failure TEXT, mail TEXT, command TEXT NOT NULL DEFAULT '', command_detail TEXT NOT NULL DEFAULT "
           "'');"
           "INSERT INTO uploads VALUES (1," +
               day + "," + day +
               ",1,'T01',3,3,'xls','/o/T01.xlsx','','stored','',"
               "'sent','',''), (2," +
               day + "," + day + ",1,'T01',3,0,'text','/o/T01.txt','','failed','x','failed','','');"});
    for (const bool write : {false, true}) {
        UploadJournal journal(Path());
        ASSERT_TRUE(write ? journal.OpenForWriting(At("2026-12-08")) : journal.OpenForReading())
            << journal.Error();
        if (write) {
            ASSERT_TRUE(journal.Add(Report("2026-12-08", "T02", UploadOutcome::Stored, 1), At("2026-12-08")));
        }
        const auto entries = journal.Read({});
        ASSERT_EQ(entries.size(), write ? 3u : 2u);
        const UploadResult& stored = entries.back().Upload;  // newest first, the later id first
        const UploadResult& failed = entries[entries.size() - 2].Upload;
        EXPECT_EQ(stored.Format, "xls");
        EXPECT_EQ(std::tuple(stored.Answer, stored.Store, stored.Mail),
                  std::tuple(FinalAnswer::Ack, StoreState::Committed, MailOutcome::Sent));
        EXPECT_EQ(std::tuple(failed.Answer, failed.Store, failed.Mail),
                  std::tuple(FinalAnswer::Can, StoreState::NotReached, MailOutcome::Failed));
        EXPECT_EQ(entries[0].Upload.TerminalId, write ? "T02" : "T01");
    }
}

TEST_F(JournalTest, TextForms) {
    JournalEntry stored{1, Report("2026-12-07", "07", UploadOutcome::Stored, 12), "exit 0", ""};
    JournalEntry failed{2, Report("2026-12-07", "ﾃｽﾄ端末", UploadOutcome::Failed, 3), "", ""};
    failed.Upload.Started += minutes(1);
    failed.Upload.Output = "/data/a,\"b\".txt";
    EXPECT_EQ(
        HistoryCsv({stored, failed}, true),
        "\xEF\xBB\xBF"
        "started,ended,port,terminal,announced,stored,format,output,table,outcome,failure,mail,command,"
        "command_detail,answer,store\r\n"
        "2026-12-07T12:00:00+09:00,2026-12-07T12:00:03+09:00,1,07,12,12,text,/data/07.txt,,stored,,,exit "
        "0,,ack,committed\r\n"
        "2026-12-07T12:01:00+09:00,2026-12-07T12:00:03+09:00,1,ﾃｽﾄ端末,3,0,text,\"/data/a,\"\"b\"\".txt\",,"
        "failed,ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ,,,,can,not-reached\r\n");
    // Half-width katakana take one column, kanji two.
    EXPECT_EQ(HistoryColumns({failed}),
              "日時                 端末ID   件数  出力             結果                            ｺﾏﾝﾄﾞ\n"
              "2026-12-07 12:01:00  ﾃｽﾄ端末  0/3   /data/a,\"b\".txt  異常終了 : ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ\n");

    struct Day {
        const char* text;
        bool valid;
    };
    for (const Day& day :
         {Day{"2026-12-08", true}, Day{"2024-02-29", true}, Day{"2026-02-29", false},
          Day{"2026-13-01", false}, Day{"2026-1-08", false}, Day{"2026-12-08x", false}, Day{"", false}}) {
        EXPECT_EQ(LocalDayStartMs(day.text).has_value(), day.valid) << day.text;
    }
    EXPECT_EQ(*LocalDayStartMs("2026-12-31", 1) - *LocalDayStartMs("2026-12-31"), 86400000);
}

}  // namespace
