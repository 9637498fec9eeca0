// The server database writer through unixODBC against real PostgreSQL and MariaDB servers and the
// SQLite ODBC driver: row semantics with Japanese values, failures and their texts, passwords kept
// out of everything shown, concurrent uploads into one table, and the mail attachment.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "odbc_servers.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/save_to_database.h"
#include "output/database/server_database.h"
#include "output/database/statement_watch.h"
#include "output/text_attachment.h"
#include "stores/store_table.h"
#include "support/recording_operator_view.h"

namespace {

using Lines = std::vector<std::string>;

// One data source as the tests meet it: how to reach it through ODBC and through its own client.
struct Source {
    std::string Name;
    std::string Connection;
    std::function<std::string(const std::string&)> Sql;
    std::string Quote;     // the engine's identifier quote in DDL written by the tests
    std::string IdColumn;  // an automatic row number, to read rows back in insertion order
    std::string TextCast;  // the type any column is cast to for reading back
};

Lines SplitLines(const std::string& text) {
    Lines lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class OdbcWriter : public ::testing::Test {
protected:
    // The three sources; MariaDB only when `withMaria`.
    std::vector<Source> Sources() {
        std::vector<Source> sources;
        OdbcServers* s = servers;
        sources.push_back({"PostgreSQL", s->PgConnection(), [s](const std::string& q) { return s->Pg(q); },
                           "\"", "id serial", "text"});
        sources.push_back({"MariaDB", s->MariaConnection(), [s](const std::string& q) { return s->Maria(q); },
                           "`", "id int auto_increment primary key", "char"});
        const std::string file = sqliteFolder / "stock.db";
        sources.push_back({"SQLite", s->SqliteConnection(file),
                           [file](const std::string& q) { return RunSqlite(file, q); }, "\"",
                           "id integer primary key", "text"});
        return sources;
    }

    // CREATE TABLE with the id column and text columns F1..F<columns>; `extra` is appended inside.
    static std::string CreateTable(const Source& source, const std::string& table, int columns,
                                   const std::string& extra = "") {
        std::string sql = "CREATE TABLE " + source.Quote + table + source.Quote + " (" + source.IdColumn;
        for (int n = 1; n <= columns; ++n) {
            sql += ", " + source.Quote + "F" + std::to_string(n) + source.Quote + " varchar(100)";
        }
        return sql + extra + ");\n";
    }
    static std::string DropTable(const Source& source, const std::string& table) {
        return "DROP TABLE IF EXISTS " + source.Quote + table + source.Quote + ";\n";
    }
    // Column values of the rows in insertion order, NULL as "-", joined by "|".
    static Lines Rows(const Source& source, const std::string& table, int columns) {
        std::string select = "SELECT ";
        for (int n = 1; n <= columns; ++n) {
            const std::string column = source.Quote + "F" + std::to_string(n) + source.Quote;
            select += (n > 1 ? ", " : "") + std::string("COALESCE(CAST(") + column + " AS " +
                      source.TextCast + "), '-')";
        }
        Lines rows = SplitLines(
            source.Sql(select + " FROM " + source.Quote + table + source.Quote + " ORDER BY id;\n"));
        for (std::string& row : rows) {
            std::replace(row.begin(), row.end(), '\t', '|');
        }
        return rows;
    }

    // Stores `records` (CP932 lines) from a fresh backup file into `table` of `connection`.
    bool Store(const std::string& connection, const std::string& table, const Lines& records) {
        std::string bytes;
        for (const std::string& record : records) {
            bytes += record + "\r\n";
        }
        WriteBytes(backup, bytes);
        settings.DbConnect = connection;
        run.TableName = table;
        view = RecordingOperatorView();
        return StoreFor(settings, options)->Save(settings, run, view);
    }

    void SetUp() override {
        std::string why;
        servers = OdbcServers::Get(true, &why);
        REQUIRE_SERVERS(servers, why);
        settings.SaveFormat = kSaveFormatMdb;
        settings.SelectedFields.fill(1);
        settings.BackFilePath = work / "Back.txt";
    }

    OdbcServers* servers = nullptr;
    TempFolder work;
    TempFolder sqliteFolder;
    std::string backup = work / "Back.txt";
    SettingsRecord settings;
    RunState run;  // not running: a store is never stopped unless a test sets IsRunning
    RecordingOperatorView view;
    DatabaseStoreOptions options;  // of every store the test makes
};

const std::regex kWriteError("^MDB書込ｴﾗｰ : #-?[0-9]+\\[[0-9A-Z]{5}\\] .+");

TEST_F(OdbcWriter, RowsKeepFieldOrderEmptyColumnsAndJapaneseOnEveryDriver) {
    // Field 2 is not selected; groups of two rows so that several groups and column sets meet.
    settings.SelectedFields[1] = 0;
    options.RowsPerGroup = 2;
    const Lines records = {
        "a,drop,\xBC\xAE\xB3\xCB\xDD,\x93\xFA\x96\x7B,7",  // a,drop,ｼｮｳﾋﾝ,日本,7
        "b,drop,,y",                                       // F2 unassigned keeps its default
        "c,drop,1,2,3,4",
        ",drop",                   // nothing selected: a row with every column at its default
        "\x8A\xBF,drop,\x81\x60",  // 漢,drop,～ (a character with two CP932 codes)
    };
    for (const Source& source : Sources()) {
        SCOPED_TRACE(source.Name);
        // A table name with a blank and Japanese: only quoting keeps it one identifier.
        const std::string table = "在庫 表";
        source.Sql(DropTable(source, table) + CreateTable(source, table, 5));
        // F4 is a number column: the value goes as text and the server converts it.
        source.Sql("ALTER TABLE " + source.Quote + table + source.Quote + " DROP " + source.Quote + "F4" +
                   source.Quote + ";\nALTER TABLE " + source.Quote + table + source.Quote + " ADD " +
                   source.Quote + "F4" + source.Quote + " integer;\nALTER TABLE " + source.Quote + table +
                   source.Quote + " ADD " + source.Quote + "F6" + source.Quote +
                   " varchar(10) DEFAULT 'def';\n");
        ASSERT_TRUE(Store(source.Connection, table, records)) << ::testing::PrintToString(view.StatusLines());
        EXPECT_EQ(Rows(source, table, 6), (Lines{"a|ｼｮｳﾋﾝ|日本|7|-|def", "b|-|y|-|-|def", "c|1|2|3|4|def",
                                                 "-|-|-|-|-|def", "漢|～|-|-|-|def"}));
        EXPECT_TRUE(view.Messages.empty());
    }
}

TEST_F(OdbcWriter, AFailureLeavesTheTableAsItWasAndTheResendStoresEachRowOnce) {
    for (const Source& source : Sources()) {
        SCOPED_TRACE(source.Name);
        source.Sql(DropTable(source, "T09") + DropTable(source, "Narrow") + CreateTable(source, "Narrow", 3) +
                   DropTable(source, "Wide") + CreateTable(source, "Wide", 3) + DropTable(source, "Checked") +
                   CreateTable(source, "Checked", 2,
                               ", CHECK (" + source.Quote + "F2" + source.Quote + " <> 'bad')"));

        ASSERT_FALSE(Store(source.Connection, "T09", {"A,1"}));
        ASSERT_EQ(view.Messages.size(), 1u);
        EXPECT_TRUE(std::regex_search(view.Messages[0].Text, kWriteError)) << view.Messages[0].Text;
        EXPECT_NE(view.Messages[0].Text.find("ﾃｰﾌﾞﾙ T09 がありません ("), std::string::npos)
            << view.Messages[0].Text;
        EXPECT_EQ(view.StatusText, "\r\n" + view.Messages[0].Text);

        // The last record needs F4 (a column the table lacks), or breaks a constraint: groups of three, so
        // that groups were sent before. Nothing stays; the corrected file then goes in once.
        options.RowsPerGroup = 3;
        const Lines good = {"1,a", "2,b", "3,c", "4,d", "5,e"};
        const struct {
            const char* Table;
            std::string Last;
            std::string Why;
        } failures[] = {{"Narrow", "6,a,b,c", "ﾃｰﾌﾞﾙ Narrow に列 F4 がありません ("},
                        {"Checked", "6,bad", ""},
                        // Too long for varchar(100): refused, never cut.
                        {"Wide", "6," + std::string(101, 'x'), ""}};
        for (const auto& failure : failures) {
            SCOPED_TRACE(failure.Table);
            if (std::string_view(failure.Table) == "Wide" && std::string_view(source.Name) == "SQLite") {
                continue;  // SQLite keeps text of any length whatever the declared type
            }
            Lines records = good;
            records.push_back(failure.Last);
            ASSERT_FALSE(Store(source.Connection, failure.Table, records));
            ASSERT_EQ(view.Messages.size(), 1u);
            EXPECT_TRUE(std::regex_search(view.StatusLines().back(), kWriteError)) << view.StatusText;
            EXPECT_NE(view.StatusLines().back().find(failure.Why), std::string::npos) << view.StatusText;
            EXPECT_TRUE(Rows(source, failure.Table, 1).empty());
            EXPECT_FALSE(view.Busy);
            records.back() = "6,f";
            ASSERT_TRUE(Store(source.Connection, failure.Table, records)) << view.StatusText;
            EXPECT_EQ(Rows(source, failure.Table, 1), (Lines{"1", "2", "3", "4", "5", "6"}));
        }
    }
}

TEST_F(OdbcWriter, WrongPasswordIsClearAndThePasswordShowsNowhere) {
    const std::string wrong = "Wr0ng-Pa55word";
    for (const Source& source : Sources()) {
        if (source.Name == "SQLite") {
            continue;  // no password to get wrong
        }
        SCOPED_TRACE(source.Name);
        const std::string connection =
            source.Connection.substr(0, source.Connection.find("PWD=")) + "PWD=" + wrong;
        const std::string label = DataSourceLabel(connection);
        EXPECT_EQ(label.find(wrong), std::string::npos);

        RecordingOperatorView box;
        EXPECT_FALSE(CheckServerDatabase(connection, box));
        ASSERT_EQ(box.Messages.size(), 1u);
        const std::string& text = box.Messages[0].Text;
        const std::string head = "ｴﾗｰ\r\n" + label + " に接続できません。\r\n" +
                                 "ﾛｸﾞｲﾝが拒否されました (ﾕｰｻﾞｰ名とﾊﾟｽﾜｰﾄﾞを確認してください)\r\n";
        EXPECT_EQ(text.rfind(head, 0), 0u) << text;
        EXPECT_GT(text.size(), head.size());  // the driver's word
        EXPECT_EQ(text.find(wrong), std::string::npos) << text;

        EXPECT_FALSE(Store(connection, "T01", {"A"}));
        ASSERT_EQ(view.Messages.size(), 1u);
        EXPECT_TRUE(std::regex_search(view.StatusLines().back(), kWriteError)) << view.StatusText;
        EXPECT_EQ(view.StatusText.find(wrong), std::string::npos);
        EXPECT_EQ(view.Messages[0].Text.find(wrong), std::string::npos);
    }
}

TEST_F(OdbcWriter, DataSourceNamedInOdbcIniKeepsThePasswordOutOfTheSettings) {
    // The DSN holds the password; DbConnect names only the DSN.
    WriteBytes(servers->Folder() + "/odbc.ini",
               "[central]\nDriver=PostgreSQL Unicode\nServername=" + servers->Folder() +
                   "\nPort=" + std::to_string(servers->PgPort()) +
                   "\nDatabase=gathra\nUsername=gathra\nPassword=" + OdbcServers::kPassword + "\n");
    servers->Pg("DROP TABLE IF EXISTS dsn_rows; CREATE TABLE dsn_rows(\"F1\" text);");
    EXPECT_EQ(DataSourceLabel("DSN=central"), "central");
    RecordingOperatorView box;
    ASSERT_TRUE(CheckServerDatabase("DSN=central", box));
    ASSERT_TRUE(Store("DSN=central", "dsn_rows", {"via DSN"}));
    EXPECT_EQ(servers->Pg("SELECT \"F1\" FROM dsn_rows;"), "via DSN\n");
}

// Three uploads at once into one table, in groups of a few rows; a trigger takes a lock held to the
// commit (an advisory lock, a row of a gate table), so each upload waits for the others' commit.
TEST_F(OdbcWriter, ThreeConcurrentUploadsLoseAndDuplicateNothing) {
    constexpr int kRecords = 300;
    options.RowsPerGroup = 5;
    for (const Source& source : Sources()) {
        if (source.Name == "SQLite") {
            continue;  // a file of one PC, not a server for several
        }
        SCOPED_TRACE(source.Name);
        source.Sql(DropTable(source, "shared") + CreateTable(source, "shared", 2));
        if (source.Name == "PostgreSQL") {
            source.Sql(
                "CREATE OR REPLACE FUNCTION one_at_a_time() RETURNS trigger AS $$ BEGIN "
                "PERFORM pg_advisory_xact_lock(14); RETURN NEW; END $$ LANGUAGE plpgsql;\n"
                "CREATE TRIGGER serialise BEFORE INSERT ON shared FOR EACH ROW EXECUTE FUNCTION "
                "one_at_a_time();\n");
        } else {
            // The row lock on the gate is held to the commit.
            source.Sql(
                "DROP TABLE IF EXISTS gate;\nCREATE TABLE gate (n int);\nINSERT INTO gate VALUES (0);\n"
                "CREATE TRIGGER serialise BEFORE INSERT ON shared FOR EACH ROW UPDATE gate SET n = n + 1;\n");
        }
        std::vector<std::thread> uploads;
        std::vector<int> results(3, -1);
        std::vector<Lines> statuses(3);
        for (int u = 0; u < 3; ++u) {
            uploads.emplace_back([&, u] {
                TempFolder own;
                SettingsRecord mine = settings;
                mine.BackFilePath = own / "Back.txt";
                mine.DbConnect = source.Connection;
                std::string bytes;
                for (int r = 0; r < kRecords; ++r) {
                    bytes += "U" + std::to_string(u) + "," + std::to_string(r) + "\r\n";
                }
                WriteBytes(mine.BackFilePath, bytes);
                RunState run;
                run.TableName = "shared";
                RecordingOperatorView quiet;
                results[u] = StoreFor(mine, options)->Save(mine, run, quiet) ? 1 : 0;
                statuses[u] = quiet.StatusLines();
            });
        }
        for (std::thread& upload : uploads) {
            upload.join();
        }
        EXPECT_EQ(results, (std::vector<int>{1, 1, 1})) << ::testing::PrintToString(statuses);
        const Lines rows = Rows(source, "shared", 2);
        ASSERT_EQ(rows.size(), 3u * kRecords);
        EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()).size(), rows.size());
    }
}

// MariaDB killed while the second group is being inserted (a trigger makes that insert sleep; the test
// kills the server once the first group was sent and the sleep has begun).
TEST_F(OdbcWriter, MariaDbLostMidStoreKeepsNothingAndTheNextStoreWorksWhenItIsBack) {
    options.RowsPerGroup = 4;
    servers->Maria(
        "DROP TABLE IF EXISTS lost;\nCREATE TABLE lost (id int auto_increment primary key, F1 varchar(20));\n"
        "DELIMITER //\nCREATE TRIGGER stall BEFORE INSERT ON lost FOR EACH ROW "
        "IF NEW.F1 = 'C05' THEN DO SLEEP(60); END IF//\nDELIMITER ;\n");
    std::atomic<bool> killed{false};
    std::thread killer([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (servers->Maria("SELECT count(*) FROM information_schema.processlist WHERE state = 'User "
                               "sleep';") == "1\n") {
                killed = servers->KillMaria();
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    Lines records;
    for (int i = 1; i <= 10; ++i) {
        records.push_back("C" + std::to_string(100 + i).substr(1));
    }
    const bool stored = Store(servers->MariaConnection(), "lost", records);
    killer.join();
    ASSERT_TRUE(killed);
    EXPECT_FALSE(stored);
    EXPECT_TRUE(std::regex_search(view.StatusLines().back(), kWriteError)) << view.StatusText;

    ASSERT_TRUE(servers->StartMaria());
    EXPECT_EQ(servers->Maria("SELECT count(*) FROM lost;"), "0\n");
    servers->Maria("DROP TRIGGER stall;");
    EXPECT_TRUE(Store(servers->MariaConnection(), "lost", {"D01", "D02"}));
    EXPECT_EQ(servers->Maria("SELECT count(*) FROM lost;"), "2\n");
}

TEST_F(OdbcWriter, MariaDbTablesThatCannotRollBackAreRefusedBeforeAnyRow) {
    for (const char* engine : {"MyISAM", "Aria", "MEMORY"}) {
        SCOPED_TRACE(engine);
        servers->Maria(
            std::string("DROP TABLE IF EXISTS plain;\nCREATE TABLE plain (F1 varchar(20)) ENGINE=") + engine +
            ";\n");
        EXPECT_FALSE(Store(servers->MariaConnection(), "plain", {"a", "b"}));
        EXPECT_EQ(view.StatusLines().back(), std::string("MDB書込ｴﾗｰ : #0[HY000] ﾃｰﾌﾞﾙ plain (") + engine +
                                                 ") はﾛｰﾙﾊﾞｯｸできないため書き込みません");
        EXPECT_EQ(servers->Maria("SELECT count(*) FROM plain;"), "0\n");
    }
}

// Another session holds the table (LOCK TABLE) for 6 s. Stop ends the waiting store within a second, which
// only the watch's cancel can do: the statement time-out (the driver's own query time-out too) is far away.
// Without Stop the statement time-out ends it.
TEST_F(OdbcWriter, ALockedTableEndsTheStoreAtStopOrAtTheStatementTimeOut) {
    servers->Pg("DROP TABLE IF EXISTS held; CREATE TABLE held (\"F1\" text);");
    servers->Maria("DROP TABLE IF EXISTS held; CREATE TABLE held (F1 varchar(20));");
    for (const auto& [maria, stop] : std::vector<std::pair<bool, bool>>{{0, 1}, {0, 0}, {1, 1}, {1, 0}}) {
        SCOPED_TRACE(std::string(maria ? "MariaDB" : "PostgreSQL") + (stop ? ", Stop" : ", time-out"));
        options.StatementTimeout = stop ? std::chrono::minutes(5) : std::chrono::seconds(2);
        auto sql = [&](const std::string& q) { return maria ? servers->Maria(q) : servers->Pg(q); };
        std::thread holder([&] {
            sql(maria ? "LOCK TABLES held WRITE; DO SLEEP(6); UNLOCK TABLES;"
                      : "BEGIN; LOCK TABLE held; SELECT pg_sleep(6); COMMIT;");
        });
        // The holder sleeps once it has the lock.
        const std::string sleeping = maria ? "SELECT count(*) FROM information_schema.processlist WHERE "
                                             "state = 'User sleep';"
                                           : "SELECT count(*) FROM pg_stat_activity WHERE wait_event = "
                                             "'PgSleep';";
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (sql(sleeping) != "1\n" && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        run.IsRunning = true;
        std::chrono::steady_clock::time_point stopped =
            std::chrono::steady_clock::now() + std::chrono::hours(1);
        std::thread stopper([&] {
            if (stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                stopped = std::chrono::steady_clock::now();
                run.IsRunning = false;
            }
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(Store(maria ? servers->MariaConnection() : servers->PgConnection(), "held", {"a", "b"}));
        const auto ended = std::chrono::steady_clock::now();
        stopper.join();
        run.IsRunning = false;
        EXPECT_TRUE(std::regex_search(view.StatusLines().back(), kWriteError)) << view.StatusText;
        if (stop) {
            EXPECT_LT(ended - stopped, std::chrono::seconds(1));
        } else {
            EXPECT_GE(ended - start, std::chrono::milliseconds(1900));
            EXPECT_LT(ended - start, std::chrono::seconds(5));
        }
        holder.join();
        EXPECT_EQ(sql("SELECT count(*) FROM held;"), "0\n");
    }
}

TEST_F(OdbcWriter, AServerThatAcceptsAndNeverAnswersFailsTheCheckWithinTheLoginTimeOut) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);  // the kernel accepts; nobody ever answers
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));
    for (const std::string& connection :
         {"Driver={PostgreSQL Unicode};Servername=127.0.0.1;Port=" + port + ";Database=x;UID=u;PWD=p",
          "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + port + ";Database=x;UID=u;PWD=p"}) {
        SCOPED_TRACE(connection);
        RecordingOperatorView box;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(CheckServerDatabase(connection, box));
        EXPECT_LT(std::chrono::steady_clock::now() - start, kServerLoginTimeout + std::chrono::seconds(3));
        EXPECT_EQ(box.Messages.size(), 1u);
    }
    close(listener);
}

TEST_F(OdbcWriter, NamesTheServerWouldCutOrADriverCouldNotQuoteAreRefusedAndTypeNamesStayNames) {
    const std::string kanji21 = [] {
        std::string name;
        for (int i = 0; i < 21; ++i) {
            name += "表";
        }
        return name;
    }();
    struct Case {
        std::string Connection;
        std::optional<OdbcNaming> Naming;
        std::string Table;
        std::string Refusal;  // empty: stored
    };
    const std::string sqlite = servers->SqliteConnection(sqliteFolder / "names.db");
    RunSqlite(sqliteFolder / "names.db", "CREATE TABLE Plain_1 (F1 text); CREATE TABLE \"a b\" (F1 text);");
    servers->Pg("DROP TABLE IF EXISTS \"" + kanji21 + "\"; CREATE TABLE \"" + kanji21 + "\" (\"F1\" text);");
    // A column type whose name holds line breaks and the lines of a cast list that would add the count of
    // rows of another table: the values go in as the column's type, and nothing else.
    const std::string spoof = "\"x\nF1=int+(SELECT count(*) FROM hidden)\nF9=\"";
    servers->Pg("DROP TABLE IF EXISTS \"Spoofed\", hidden; DROP DOMAIN IF EXISTS " + spoof +
                "; CREATE TABLE hidden (secret text); INSERT INTO hidden VALUES ('s'); CREATE DOMAIN " +
                spoof + " AS int; CREATE TABLE \"Spoofed\" (\"F1\" " + spoof + ");");
    const std::string long64(64, 'x');
    const OdbcNaming unquoted{u"", 0, true};
    const Case cases[] = {
        {sqlite, unquoted, "Plain_1", ""},
        {sqlite, unquoted, "a b", "ﾃｰﾌﾞﾙ名 a b には英数字と _ しか使えません (ﾄﾞﾗｲﾊﾞが名前を引用できません)"},
        {sqlite, unquoted, "x;DROP",
         "ﾃｰﾌﾞﾙ名 x;DROP には英数字と _ しか使えません (ﾄﾞﾗｲﾊﾞが名前を引用できません)"},
        {sqlite, OdbcNaming{u"\"", 4, true}, "a b", ""},
        {servers->PgConnection(), std::nullopt, long64,
         "ﾃｰﾌﾞﾙ名 " + long64 + " が長すぎます (64 ﾊﾞｲﾄ。63 ﾊﾞｲﾄまでです)"},
        {servers->PgConnection(), std::nullopt, kanji21 + "表",
         "ﾃｰﾌﾞﾙ名 " + kanji21 + "表 が長すぎます (66 ﾊﾞｲﾄ。63 ﾊﾞｲﾄまでです)"},
        {servers->PgConnection(), std::nullopt, kanji21, ""},
        {servers->PgConnection(), std::nullopt, "Spoofed", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Table);
        options.Naming = c.Naming;
        const bool stored = Store(c.Connection, c.Table, {"7"});
        EXPECT_EQ(stored, c.Refusal.empty()) << view.StatusText;
        if (!c.Refusal.empty()) {
            EXPECT_EQ(view.StatusLines().back(), "MDB書込ｴﾗｰ : #0[HY000] " + c.Refusal);
        }
    }
    EXPECT_EQ(servers->Pg("SELECT \"F1\" FROM \"Spoofed\";"), "7\n");
}

TEST_F(OdbcWriter, MailAttachmentIsTheUploadAsTextInAPrivateFolderRemovedAfter) {
    settings.SelectedFields[0] = 0;
    settings.DbConnect = servers->PgConnection();
    settings.SaveFolder = work.Path();
    WriteBytes(backup, "1,\xBC\xAE\xB3\xCB\xDD,9\r\n2,b,,z\r\n");  // 1,ｼｮｳﾋﾝ,9 / 2,b,,z
    RunState run;
    run.TableName = "Stock";
    run.OutputPath = DataSourceLabel(settings.DbConnect);
    std::string folder;
    {
        TextAttachment attachment;
        std::string why;
        ASSERT_TRUE(attachment.Make(settings, run.TableName, why)) << why;
        EXPECT_EQ(std::filesystem::path(attachment.Path()).filename(), "Stock.txt");
        // Byte for byte what the text writer stores: CP932, CR LF, cut at the first empty field.
        EXPECT_EQ(ReadBytes(attachment.Path()), "\xBC\xAE\xB3\xCB\xDD,9\r\nb\r\n");
        folder = std::filesystem::path(attachment.Path()).parent_path();
        struct stat info {};
        ASSERT_EQ(stat(folder.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        EXPECT_NE(folder, work.Path());
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
    EXPECT_TRUE(std::filesystem::is_empty(work.Path()) || !std::filesystem::exists(work / "Stock.txt"));
}

TEST(OdbcConnectionText, LabelsNameTheSourceAndNeverThePassword) {
    struct Case {
        const char* Connection;
        const char* Label;
    } cases[] = {
        {"DSN=central;UID=gathra;PWD=pw1", "central"},
        {"Driver={PostgreSQL Unicode};Server=db1;Port=5432;Database=stock;UID=gathra;PWD=pw2",
         "db1:5432/stock"},
        {"driver=MariaDB Unicode; server = db2 ; database=在庫; pwd={a;b}}c}", "db2/在庫"},
        {"Driver=SQLite3;Database=/srv/stock.db", "/srv/stock.db"},
        {"Driver={FreeTDS};Server=sql1;Password=pw3", "sql1"},
        {"Driver={FreeTDS}", "FreeTDS"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DataSourceLabel(c.Connection), c.Label) << c.Connection;
    }
    // A password in braces may hold ";" and "}}".
    EXPECT_EQ(HidePasswords("echo a;b}c and a;b}c", "PWD={a;b}}c};UID=u"), "echo **** and ****");
    EXPECT_EQ(HidePasswords("user u failed", "Uid=u;Password=secret"), "user u failed");
    const auto attributes = ParseOdbcConnectionString("A=1;;B={x;y};C");
    ASSERT_EQ(attributes.size(), 3u);
    EXPECT_EQ(attributes[1].Value, "x;y");
    EXPECT_EQ(attributes[2].Key, "C");
}

}  // namespace
