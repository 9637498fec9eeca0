// The journal file and its text forms: filters, retention, a damaged file, CSV and aligned columns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "database_test_support.h"
#include "journal/history_text.h"
#include "journal/upload_journal.h"
#include "support/tracing_file_ops.h"
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
    EXPECT_EQ(journal.Read({})->size(), 4u);
    UploadJournal writer(Path());
    ASSERT_TRUE(writer.OpenForWriting(now));

    const auto all = *journal.Read({});
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
        EXPECT_EQ(journal.Read(filter)->size(), row.count)
            << (row.since ? row.since : "-") << " " << (row.until ? row.until : "-");
    }

    const auto days = *journal.Days({"2026-12-05", "2026-12-06", "2026-12-07"}, std::nullopt);
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].Uploads, 0);
    EXPECT_EQ(days[1].Records, 5);
    EXPECT_EQ(days[2].Day, "2026-12-07");
    EXPECT_EQ(days[2].Uploads, 2);
    EXPECT_EQ(days[2].Records, 2);
    EXPECT_EQ(days[2].Failures, 1);
    EXPECT_EQ((*journal.Days({"2026-12-07"}, "07"))[0].Uploads, 1);
    // One page of a long table: the second entry on.
    const auto page = *journal.Read({}, 1, 1);
    ASSERT_EQ(page.size(), 1u);
    EXPECT_EQ(page[0].Upload.TerminalId, "端末");
    EXPECT_EQ(journal.Count({}), std::optional<int64_t>(3));
    EXPECT_EQ(*journal.Terminals(), (std::vector<std::string>{"07", "端末"}));
}

TEST_F(JournalTest, DamagedFileIsMovedAsideAndANewOneStarted) {
    WriteBytes(Path(), std::string(8192, 'x'));
    UploadJournal journal(Path());
    const auto now = At("2026-12-08", 0) + hours(9) + minutes(5) + seconds(7);
    ASSERT_TRUE(journal.Add(Report("2026-12-08", "07", UploadOutcome::Stored, 1), now)) << journal.Error();
    EXPECT_EQ(journal.MovedAside(), Path() + ".damaged-20261208-090507");
    EXPECT_EQ(ReadBytes(journal.MovedAside()), std::string(8192, 'x'));
    EXPECT_EQ(journal.Read({})->size(), 1u);

    // Its -wal goes with it, or the file stays: a -wal left behind would be replayed into the new journal.
    TracingFileOps ops;
    ops.failCall = "rename";
    ops.failName = "stray-wal stray.damaged-20261208-090507-wal";
    WriteBytes(folder / "stray", std::string(8192, 'z'));
    {
        ScopedFileOps scoped(ops);
        EXPECT_FALSE(
            UploadJournal(folder / "stray").Add(Report("2026-12-08", "07", UploadOutcome::Stored, 1), now));
    }
    EXPECT_EQ(ReadBytes(folder / "stray"), std::string(8192, 'z'));
    EXPECT_EQ(ops.Only({"rename"}).back(), "rename stray.damaged-20261208-090507 stray");

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
// Its schema, as that version made it, is a journal's: nothing is moved aside, before or after the write.
TEST_F(JournalTest, OlderJournalReadsAsItsOutcomesImply) {
    const std::string day = std::to_string(At("2026-12-07").time_since_epoch() / milliseconds(1));
    RunSqlite(
        Path(),
        "CREATE TABLE IF NOT EXISTS uploads ( id INTEGER PRIMARY KEY, started INTEGER NOT NULL, ended "
        "INTEGER NOT NULL, port INTEGER NOT NULL, terminal TEXT NOT NULL, announced INTEGER NOT NULL, "
        "stored INTEGER NOT NULL, format TEXT NOT NULL, output TEXT NOT NULL, output_table TEXT NOT NULL, "
        "outcome TEXT NOT NULL, failure TEXT NOT NULL, mail TEXT NOT NULL, command TEXT NOT NULL DEFAULT "
        "'', command_detail TEXT NOT NULL DEFAULT '');"
        "CREATE INDEX IF NOT EXISTS uploads_started ON uploads(started);"
        "CREATE INDEX IF NOT EXISTS uploads_terminal ON uploads(terminal, started);"
        "INSERT INTO uploads VALUES (1," +
            day + "," + day + ",1,'T01',3,3,'xls','/o/T01.xlsx','','stored','','sent','',''), (2," + day +
            "," + day + ",1,'T01',3,0,'text','/o/T01.txt','','failed','x','failed','','');");
    size_t written = 0;
    for (const bool write : {false, true, false}) {
        UploadJournal journal(Path());
        ASSERT_TRUE(write ? journal.OpenForWriting(At("2026-12-08")) : journal.OpenForReading())
            << journal.Error();
        if (write) {
            ASSERT_TRUE(journal.Add(Report("2026-12-08", "T02", UploadOutcome::Stored, 1), At("2026-12-08")));
            written = 1;
        }
        EXPECT_EQ(journal.MovedAside(), "");
        const auto entries = journal.Read({}).value_or(std::vector<JournalEntry>{});
        ASSERT_EQ(entries.size(), 2 + written) << journal.Error();
        const UploadResult& stored = entries.back().Upload;  // newest first, the later id first
        const UploadResult& failed = entries[entries.size() - 2].Upload;
        EXPECT_EQ(stored.Format, "xls");
        EXPECT_EQ(std::tuple(stored.Answer, stored.Store, stored.Mail),
                  std::tuple(FinalAnswer::Ack, StoreState::Committed, MailOutcome::Sent));
        EXPECT_EQ(std::tuple(failed.Answer, failed.Store, failed.Mail),
                  std::tuple(FinalAnswer::Can, StoreState::NotReached, MailOutcome::Failed));
        EXPECT_EQ(entries[0].Upload.TerminalId, written ? "T02" : "T01");
    }
}

// A schema that is not a journal's: a reader leaves the file alone and says why, a writer moves it aside.
// Every read ends at its limit, and none gives an empty result in place of its failure.
TEST_F(JournalTest, ForeignSchemasAndReadsPastTheirLimit) {
    const char* const rows[][2] = {
        // SQL run on a journal Gathra made, and the reason a reader gives
        {"DROP TABLE uploads; CREATE VIEW uploads AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 "
         "FROM r) SELECT n AS id, n AS started, n AS terminal FROM r;",
         " (view uploads)"},
        {"CREATE TRIGGER t AFTER INSERT ON uploads BEGIN DELETE FROM uploads; END;", " (trigger t)"},
        {"CREATE TABLE \"x\x1b\"(a);", " (table x\\x1b)"},
        {"DROP INDEX uploads_terminal;", ""}};
    const auto now = At("2026-12-08", 0) + hours(9) + minutes(5) + seconds(7);
    for (const auto& [sql, reason] : rows) {
        SCOPED_TRACE(sql);
        std::filesystem::remove(Path());
        ASSERT_TRUE(UploadJournal(Path()).Add(Report("2026-12-07", "07", UploadOutcome::Stored, 1), now));
        RunSqlite(Path(), sql);
        const std::string bytes = ReadBytes(Path());
        UploadJournal reader(Path());
        EXPECT_FALSE(reader.OpenForReading());
        EXPECT_EQ(reader.Error(), Path() + " : Gathraの履歴ﾌｧｲﾙにない定義があります" + reason);
        UploadJournal writer(Path());
        ASSERT_TRUE(writer.Add(Report("2026-12-08", "08", UploadOutcome::Stored, 2), now)) << writer.Error();
        EXPECT_EQ(ReadBytes(writer.MovedAside()), bytes);
    }

    // Enough rows that each read takes many of SQLite's steps.
    RunSqlite(Path(),
              "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 3000) INSERT INTO "
              "uploads SELECT NULL, started + n, ended, port, terminal || n % 50, 1, 1, format, output, "
              "output_table, outcome, '', '', '', '', answer, store_state FROM r, uploads;");
    UploadJournal unhurried(Path());
    ASSERT_TRUE(unhurried.OpenForReading());
    EXPECT_EQ(unhurried.Read({})->size(), 3001u);
    UploadJournal hurried(Path(), milliseconds(0));
    ASSERT_TRUE(hurried.OpenForReading()) << hurried.Error();
    for (const bool read : {hurried.Read({}).has_value(), hurried.ForEach({}, [](const JournalEntry&) {}),
                            hurried.Count(JournalFilter{0, {}, {}}).has_value(),
                            hurried.Days({"2026-12-08"}, {}).has_value(), hurried.Terminals().has_value()}) {
        EXPECT_FALSE(read);
    }
    EXPECT_EQ(hurried.Error(), "履歴の読み込みが時間切れになりました");
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
    // Fields a spreadsheet would compute are text; control characters are shown, never written.
    const char* const fields[][2] = {
        {"=2+5", "'=2+5"}, {"+1", "'+1"},        {"-1", "'-1"},  {"@A1", "'@A1"},
        {"\t=1", "'\t=1"}, {"\r=1", "'\\x0d=1"}, {"1=2", "1=2"}, {"\x1b]0;t\x07\nT", "\\x1b]0;t\\x07\\x0aT"}};
    for (const auto& [id, csv] : fields) {
        stored.Upload.TerminalId = stored.CommandDetail = id;
        const std::string text = HistoryCsv({stored}, false);
        EXPECT_EQ(text.substr(text.rfind("+09:00,") + 7), std::string("1,") + csv +
                                                              ",12,12,text,/data/07.txt,,stored,,,exit 0," +
                                                              csv + ",ack,committed\r\n");
    }
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
