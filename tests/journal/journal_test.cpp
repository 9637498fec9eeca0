// The journal file and its text forms: filters, retention, a damaged file, CSV and aligned columns.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

#include <sqlite3.h>

#include "common/system_error.h"
#include "journal/history_text.h"
#include "journal/upload_journal.h"
#include "support/tracing_file_ops.h"
#include "upload_test_support.h"

namespace {

using namespace std::chrono;

system_clock::time_point At(const char* day, int hour = 12) {
    return system_clock::time_point(milliseconds(*LocalDayStartMs(day))) + hours(hour);
}

UploadReport Report(const char* day, const std::string& terminal, UploadOutcome outcome, int records) {
    UploadReport report;
    report.Started = At(day);
    report.Ended = report.Started + seconds(3);
    report.Port = 1;
    report.TerminalId = terminal;
    report.RecordsAnnounced = records;
    report.RecordsStored = outcome == UploadOutcome::Stored ? records : 0;
    report.Format = "text";
    report.Output = "/data/" + terminal + ".txt";
    report.Outcome = outcome;
    report.FailureText = outcome == UploadOutcome::Stored ? "" : "ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ";
    return report;
}

// Runs `sql` on the SQLite file `path`, as anyone who may write the program folder could.
void Tamper(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
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
    const std::string stray = folder / "stray.sqlite";
    WriteBytes(stray, std::string(8192, 'z'));
    TracingFileOps ops;
    ops.failCall = "rename";
    ops.failName = "stray.sqlite-wal stray.sqlite.damaged-20261208-090507-wal";
    ops.failErrno = EACCES;
    {
        ScopedFileOps scoped(ops);
        UploadJournal refused(stray);
        EXPECT_FALSE(refused.Add(Report("2026-12-08", "07", UploadOutcome::Stored, 1), now));
        EXPECT_EQ(refused.Error(), stray + "-wal : " + SystemErrorText(EACCES));
    }
    EXPECT_EQ(ReadBytes(stray), std::string(8192, 'z'));
    EXPECT_FALSE(FileExists(stray + ".damaged-20261208-090507"));
    EXPECT_EQ(ops.Only({"rename"}),
              (std::vector<std::string>{"rename stray.sqlite stray.sqlite.damaged-20261208-090507",
                                        "rename stray.sqlite.damaged-20261208-090507 stray.sqlite"}));

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

// A file whose schema is not a journal's: a reader leaves it alone and says why, a writer moves it aside.
TEST_F(JournalTest, ForeignSchemaIsRefusedByReadersAndMovedAsideByWriters) {
    const struct {
        const char* name;
        bool ours;  // made by Gathra before `sql` runs
        const char* sql;
        const char* reason;
    } rows[] = {
        {"endless recursive view", false,
         "CREATE VIEW uploads AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r) SELECT n AS "
         "id, "
         "n AS started, n AS ended, 1 AS port, '=2+5' AS terminal, 1 AS announced, 1 AS stored, 'text' AS "
         "format, '' AS output, '' AS output_table, 'stored' AS outcome, '' AS failure, '' AS mail, '' AS "
         "command, '' AS command_detail FROM r",
         " (view uploads)"},
        {"trigger", true, "CREATE TRIGGER wipe AFTER INSERT ON uploads BEGIN DELETE FROM uploads; END",
         " (trigger wipe)"},
        {"another table", true, "CREATE TABLE \"x\x1b]0;y\x07\"(a)", " (table x\\x1b]0;y\\x07)"},
        {"an index missing", true, "DROP INDEX uploads_terminal", ""},
    };
    const auto now = At("2026-12-08", 0) + hours(9) + minutes(5) + seconds(7);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = folder / (std::string(row.name) + ".sqlite");
        if (row.ours) {
            UploadJournal made(path);
            ASSERT_TRUE(made.Add(Report("2026-12-07", "07", UploadOutcome::Stored, 1), now));
        }
        Tamper(path, row.sql);
        const std::string bytes = ReadBytes(path);

        UploadJournal reader(path);
        const auto started = steady_clock::now();
        EXPECT_FALSE(reader.OpenForReading());
        EXPECT_LT(steady_clock::now() - started, seconds(5));
        EXPECT_EQ(reader.Error(), path + " : Gathraの履歴ﾌｧｲﾙにない定義があります" + row.reason);
        EXPECT_FALSE(reader.Read({}));
        EXPECT_EQ(ReadBytes(path), bytes);

        UploadJournal writer(path);
        ASSERT_TRUE(writer.Add(Report("2026-12-08", "08", UploadOutcome::Stored, 2), now)) << writer.Error();
        EXPECT_EQ(writer.MovedAside(), path + ".damaged-20261208-090507");
        EXPECT_EQ(ReadBytes(writer.MovedAside()), bytes);
        UploadJournal again(path);
        ASSERT_TRUE(again.OpenForReading()) << again.Error();
        EXPECT_EQ(again.Read({})->size(), 1u);
    }
}

// Every read ends at its limit and says so; none gives an empty result in place of its failure.
TEST_F(JournalTest, ReadsEndAtTheirLimitWithTheirReason) {
    {
        UploadJournal made(Path());
        ASSERT_TRUE(made.Add(Report("2026-12-07", "07", UploadOutcome::Stored, 1), At("2026-12-08")));
    }
    // Enough rows that each read takes many of SQLite's steps.
    Tamper(
        Path(),
        "WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 3000) INSERT INTO uploads "
        "(started, ended, port, terminal, announced, stored, format, output, output_table, outcome, failure, "
        "mail) SELECT started + n, ended, port, terminal || (n % 50), 1, 1, format, output, output_table, "
        "outcome, failure, mail FROM r, uploads");
    UploadJournal unhurried(Path());
    ASSERT_TRUE(unhurried.OpenForReading());
    EXPECT_EQ(unhurried.Read({})->size(), 3001u);

    UploadJournal hurried(Path(), milliseconds(0));
    ASSERT_TRUE(hurried.OpenForReading()) << hurried.Error();
    JournalFilter since;
    since.SinceMs = 0;
    const std::string timedOut = "履歴の読み込みが時間切れになりました";
    EXPECT_FALSE(hurried.Read({}));
    EXPECT_EQ(hurried.Error(), timedOut);
    EXPECT_FALSE(hurried.ForEach({}, [](const JournalEntry&) {}));
    EXPECT_EQ(hurried.Error(), timedOut);
    EXPECT_FALSE(hurried.Count(since));
    EXPECT_EQ(hurried.Error(), timedOut);
    EXPECT_FALSE(hurried.Days({"2026-12-07"}, std::nullopt));
    EXPECT_EQ(hurried.Error(), timedOut);
    EXPECT_FALSE(hurried.Terminals());
    EXPECT_EQ(hurried.Error(), timedOut);
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
        "command_detail\r\n"
        "2026-12-07T12:00:00+09:00,2026-12-07T12:00:03+09:00,1,07,12,12,text,/data/07.txt,,stored,,,exit "
        "0,\r\n"
        "2026-12-07T12:01:00+09:00,2026-12-07T12:00:03+09:00,1,ﾃｽﾄ端末,3,0,text,\"/data/a,\"\"b\"\".txt\",,"
        "failed,ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ,,,\r\n");
    // Fields a spreadsheet would compute are text; control characters are shown, never written.
    struct Field {
        std::string terminal;
        std::string csv;
    };
    for (const Field& field :
         {Field{"=2+5", "'=2+5"}, Field{"+1", "'+1"}, Field{"-1", "'-1"}, Field{"@SUM(A1)", "'@SUM(A1)"},
          Field{"\t=1", "'\t=1"}, Field{"\r=1", "'\\x0d=1"}, Field{"1=2", "1=2"},
          Field{"\x1b]0;title\x07\nT", "\\x1b]0;title\\x07\\x0aT"}, Field{"a,=b", "\"a,=b\""}}) {
        JournalEntry entry = stored;
        entry.Upload.TerminalId = field.terminal;
        entry.CommandDetail = field.terminal;
        const std::string csv = HistoryCsv({entry}, false);
        const std::string line = csv.substr(csv.find("\r\n") + 2);
        EXPECT_EQ(line, "2026-12-07T12:00:00+09:00,2026-12-07T12:00:03+09:00,1," + field.csv +
                            ",12,12,text,/data/07.txt,,stored,,,exit 0," + field.csv + "\r\n")
            << field.terminal;
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
