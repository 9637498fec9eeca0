#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "codec/text_encoding.h"
#include "database_test_support.h"
#include "output/database/database_table_writer.h"
#include "output/database/save_to_database.h"
#include "output/database/statement_watch.h"
#include "stores/store_table.h"
#include "support/recording_operator_view.h"

namespace {

std::string TableWithColumns(const std::string& table, int count, const std::string& extra = "") {
    std::string sql = "CREATE TABLE " + table + "(";
    for (int n = 1; n <= count; ++n) {
        sql += (n > 1 ? ",F" : "F") + std::to_string(n) + " TEXT";
    }
    return sql + extra + ");";
}

const std::string kFullTable = TableWithColumns("T01", 20);

struct Upload {
    TempFolder Folder;
    SettingsRecord Settings;
    RunState Run;
    RecordingOperatorView View;
    DatabaseStoreOptions Options;
    std::string Database = Folder / "Gathra.mdb";

    Upload(const std::string& schema, const std::string& backup) {
        Settings.SelectedFields.fill(1);
        Settings.SaveFormat = kSaveFormatMdb;
        Settings.BackFilePath = Folder / "Back.txt";
        Run.OutputPath = Database;
        Run.TableName = "T01";
        if (!schema.empty()) {
            RunSqlite(Database, schema);
        }
        WriteBytes(Settings.BackFilePath, backup);
    }
    bool Save() { return StoreFor(Settings, Options)->Save(Settings, Run, View); }
    std::string Query(const std::string& sql) { return RunSqlite(Database, sql); }

    // A failure is reported once, in the box (default title) and as an appended status line.
    void ExpectReported(const std::string& text) {
        ASSERT_EQ(View.Messages.size(), 1u);
        EXPECT_EQ(View.Messages[0].Title, kAppTitle);
        EXPECT_EQ(View.Messages[0].Text, text);
        ASSERT_EQ(View.StatusCalls.size(), 1u);
        EXPECT_TRUE(View.StatusCalls[0].Append);
        EXPECT_EQ(View.StatusCalls[0].Text,
                  text.starts_with("ｴﾗｰ\r\n") ? text.substr(std::string("ｴﾗｰ\r\n").size()) : text);
    }
};

struct RowCase {
    const char* Name;
    std::string Schema;
    std::string Backup;
    std::string Table = "T01";
    uint32_t DeselectedFields = 0;  // bit i set: field i+1 is left out
    std::string Message;            // empty: the save succeeds
    std::string Query;
    std::string Rows;
};

}  // namespace

TEST(SaveToDatabase, RowsColumnsAndFailuresByTable) {
    const std::vector<RowCase> cases = {
        {"fields go to F1.. in order, missing fields stay NULL", kFullTable, "a,b,c\r\nd,e\r\n", "T01", 0, "",
         "SELECT F1,F2,F3,F4 FROM T01 ORDER BY rowid;", "a|b|c|NULL\nd|e|NULL|NULL\n"},
        {"deselected fields 1 and 2 move field 3 to F1", kFullTable,
         "1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20\r\n", "T01", 0b11, "",
         "SELECT F1,F2,F18,F19,F20 FROM T01;", "3|4|20|NULL|NULL\n"},
        {"an empty field keeps the default and does not cut the record",
         "CREATE TABLE T01(F1 TEXT, F2 TEXT DEFAULT 'dflt', F3 TEXT);", "a,,c\r\n", "T01", 0, "",
         "SELECT F1,F2,F3 FROM T01;", "a|dflt|c\n"},
        {"a sixth field fails on F6 and the rows before it go too", TableWithColumns("T01", 5),
         "1,2,3,4,5\r\nx,y\r\n1,2,3,4,5,6\r\nlast\r\n", "T01", 0,
         "MDB書込ｴﾗｰ : #1 ﾃｰﾌﾞﾙ T01 に列 F6 がありません (table T01 has no column named F6)",
         "SELECT count(*) FROM T01;", "0\n"},
        {"an empty backup adds nothing", kFullTable, "", "T01", 0, "", "SELECT count(*) FROM T01;", "0\n"},
        {"a missing table fails before any row", TableWithColumns("T02", 20), "a\r\n", "T01", 0,
         "MDB書込ｴﾗｰ : #1 ﾃｰﾌﾞﾙ T01 がありません (no such table: T01)", "SELECT count(*) FROM T02;", "0\n"},
        {"a table name is never SQL", kFullTable + "INSERT INTO T01(F1) VALUES('kept');", "a\r\n",
         "x\"; DROP TABLE T01; --", 0,
         "MDB書込ｴﾗｰ : #1 ﾃｰﾌﾞﾙ x\"; DROP TABLE T01; -- がありません (no such table: x\"; DROP TABLE T01; "
         "--)",
         "SELECT F1 FROM T01;", "kept\n"},
        {"a quoted table name that exists", TableWithColumns("\"we\"\"ird\"", 20), "a\r\n", "we\"ird", 0, "",
         "SELECT F1 FROM \"we\"\"ird\";", "a\n"},
        {"blank lines are rows, a last line needs no line end", kFullTable, "a\r\n\r\nb\r\nc", "T01", 0, "",
         "SELECT quote(F1) FROM T01 ORDER BY rowid;", "'a'\nNULL\n'b'\n'c'\n"},
        {"a CR or LF alone stays inside its record", kFullTable, "a\nb,c\rd\r\ne\n", "T01", 0, "",
         "SELECT replace(replace(F1,char(10),'<LF>'),char(13),'<CR>'),"
         "replace(replace(F2,char(10),'<LF>'),char(13),'<CR>') FROM T01 ORDER BY rowid;",
         "a<LF>b|c<CR>d\ne<LF>|NULL\n"},
        {"a duplicate fails and the rows before it go too", TableWithColumns("T01", 20, ", UNIQUE(F1)"),
         "a\r\nb\r\na\r\nc\r\n", "T01", 0, "MDB書込ｴﾗｰ : #2067UNIQUE constraint failed: T01.F1",
         "SELECT count(*) FROM T01;", "0\n"},
        {"a row that makes the engine roll back takes the rows before it along",
         "CREATE TABLE T01(F1 TEXT, F2 TEXT NOT NULL ON CONFLICT ROLLBACK);", "a,1\r\nb,2\r\nc\r\nd,4\r\n",
         "T01", 0, "MDB書込ｴﾗｰ : #1299NOT NULL constraint failed: T01.F2", "SELECT count(*) FROM T01;",
         "0\n"},
        {"text is converted by the column's affinity", "CREATE TABLE T01(F1 INTEGER, F2 REAL, F3 TEXT);",
         "0012,2.50,0012\r\n", "T01", 0, "", "SELECT typeof(F1),F1,typeof(F2),F2,typeof(F3),F3 FROM T01;",
         "integer|12|real|2.5|text|0012\n"},
        {"a value the column cannot take fails, and the rows before it go too",
         "CREATE TABLE T01(F1 INTEGER, F2 TEXT) STRICT;", "12,x\r\nabc,y\r\n", "T01", 0,
         "MDB書込ｴﾗｰ : #3091cannot store TEXT value in INTEGER column T01.F1", "SELECT count(*) FROM T01;",
         "0\n"},
        {"CP932 text is stored as UTF-8, bad bytes as U+FFFD", kFullTable,
         "\xC3\xBD\xC4,\x93\xFA\x96\x7B\x8C\xEA,A\x81\r\n", "T01", 0, "", "SELECT F1,F2,F3 FROM T01;",
         "ﾃｽﾄ|日本語|A\xEF\xBF\xBD\n"},
        {"a table without F columns takes rows of empty fields", "CREATE TABLE T01(id INTEGER PRIMARY KEY);",
         "\r\n,,\r\n", "T01", 0, "", "SELECT count(*) FROM T01;", "2\n"},
    };
    for (const RowCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Upload upload(c.Schema, c.Backup);
        upload.Run.TableName = c.Table;
        for (size_t i = 0; i < upload.Settings.SelectedFields.size(); ++i) {
            upload.Settings.SelectedFields[i] = (c.DeselectedFields >> i) & 1 ? 0 : 1;
        }
        EXPECT_EQ(upload.Save(), c.Message.empty());
        if (c.Message.empty()) {
            EXPECT_TRUE(upload.View.Messages.empty());
            EXPECT_TRUE(upload.View.StatusCalls.empty());
        } else {
            upload.ExpectReported(c.Message);
        }
        EXPECT_FALSE(upload.View.Busy);
        EXPECT_EQ(upload.Query(c.Query), c.Rows);
    }
}

TEST(SaveToDatabase, NoDatabaseFileIsReportedWithoutCreatingOne) {
    Upload missing("", "a\r\n");
    missing.View.Busy = true;  // the pointer is left alone on this path
    EXPECT_FALSE(missing.Save());
    missing.ExpectReported("ｴﾗｰ\r\n" + missing.Database + " が存在しません。");
    EXPECT_TRUE(missing.View.Busy);
    EXPECT_FALSE(std::filesystem::exists(missing.Database));

    Upload folder("", "a\r\n");
    std::filesystem::create_directory(folder.Database);
    EXPECT_FALSE(folder.Save());
    folder.ExpectReported("ｴﾗｰ\r\n" + folder.Database + " が存在しません。");
}

TEST(SaveToDatabase, FilesThatAreNoDatabaseStayUntouched) {
    // A renamed text file is refused as no database, a FIFO (whose read would block for ever) as no
    // regular file, a planted link as no file of ours; an empty file is an empty database to the engine and
    // fails at the table. None is written to.
    Upload text("", "a\r\n");
    WriteBytes(text.Database, "F1,F2\r\nnot a database\r\n");
    EXPECT_FALSE(text.Save());
    text.ExpectReported("MDB書込ｴﾗｰ : #26 ﾃﾞｰﾀﾍﾞｰｽのﾌｧｲﾙではありません (file is not a database)");
    EXPECT_EQ(ReadBytes(text.Database), "F1,F2\r\nnot a database\r\n");

    Upload fifo("", "a\r\n");
    ASSERT_EQ(mkfifo(fifo.Database.c_str(), 0600), 0);
    EXPECT_FALSE(fifo.Save());
    fifo.ExpectReported("MDB書込ｴﾗｰ : #14通常のﾌｧｲﾙではありません");

    // A link planted in a folder others may write is refused, the database it names left alone.
    Upload linked("", "a\r\n");
    Upload named(kFullTable, "");
    ASSERT_EQ(symlink(named.Database.c_str(), linked.Database.c_str()), 0);
    ASSERT_EQ(chmod(linked.Folder.Path().c_str(), 01777), 0);
    EXPECT_FALSE(linked.Save());
    linked.ExpectReported("MDB書込ｴﾗｰ : #14ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞのﾘﾝｸは使えません");
    EXPECT_EQ(named.Query("SELECT count(*) FROM T01;"), "0\n");

    Upload empty("", "a\r\n");
    WriteBytes(empty.Database, "");
    EXPECT_FALSE(empty.Save());
    empty.ExpectReported("MDB書込ｴﾗｰ : #1 ﾃｰﾌﾞﾙ T01 がありません (no such table: T01)");
    EXPECT_EQ(std::filesystem::file_size(empty.Database), 0u);
}

TEST(SaveToDatabase, MissingBackupFailsAfterTheTableWasOpened) {
    Upload upload(kFullTable, "");
    std::filesystem::remove(upload.Settings.BackFilePath);
    EXPECT_FALSE(upload.Save());
    ASSERT_EQ(upload.View.Messages.size(), 1u);
    EXPECT_TRUE(upload.View.Messages[0].Text.starts_with("MDB書込ｴﾗｰ : #14unable to open backup file "));
    EXPECT_FALSE(upload.View.Busy);
    EXPECT_EQ(upload.Query("SELECT count(*) FROM T01;"), "0\n");
}

TEST(SaveToDatabase, AFailureAtTheLastRecordLeavesTheTableAsItWasAndTheResendStoresOnce) {
    // More rows than one page of the journal; the last one is refused and the engine rolls back.
    const int failing = 10000;
    Upload upload("CREATE TABLE T01(F1 TEXT, F2 TEXT NOT NULL ON CONFLICT ROLLBACK);", "");
    std::string backup;
    for (int i = 1; i < failing; ++i) {
        backup += std::to_string(i) + ",x\r\n";
    }
    WriteBytes(upload.Settings.BackFilePath, backup + std::to_string(failing) + "\r\n");
    std::string seenAtBox;
    upload.View.OnMessage = [&](const RecordingOperatorView::Message&) {
        seenAtBox = upload.Query("SELECT count(*) FROM T01;");
    };
    EXPECT_FALSE(upload.Save());
    upload.ExpectReported("MDB書込ｴﾗｰ : #1299NOT NULL constraint failed: T01.F2");
    EXPECT_EQ(seenAtBox, "0\n");

    // The terminal sends the corrected file again: every record once.
    WriteBytes(upload.Settings.BackFilePath, backup + std::to_string(failing) + ",x\r\n");
    upload.View = RecordingOperatorView();
    EXPECT_TRUE(upload.Save());
    EXPECT_EQ(upload.Query("SELECT count(*), count(DISTINCT F1) FROM T01;"),
              std::to_string(failing) + "|" + std::to_string(failing) + "\n");
}

namespace {

// Another program (the sqlite3 client) holding an exclusive lock on the database until Release.
class LockHolder {
public:
    explicit LockHolder(const std::string& database) : flag_(database + ".locked") {
        pipe_ = popen(("sqlite3 -batch '" + database + "' > /dev/null").c_str(), "w");
        fprintf(pipe_, "BEGIN EXCLUSIVE;\nINSERT INTO T01(F1) VALUES('other');\n.shell touch '%s'\n",
                flag_.c_str());
        fflush(pipe_);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!std::filesystem::exists(flag_) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(std::filesystem::exists(flag_)) << "the client did not take its lock";
    }
    ~LockHolder() { Release(); }
    void Release() {
        if (pipe_ != nullptr) {
            fputs("ROLLBACK;\n", pipe_);
            pclose(pipe_);
            pipe_ = nullptr;
        }
    }

private:
    std::string flag_;
    FILE* pipe_ = nullptr;
};

}  // namespace

TEST(SaveToDatabase, LockedDatabaseIsWaitedForUntilTheTimeOutOrAStop) {
    struct Case {
        bool Stop;
        const char* Text;
    } cases[] = {{false, "MDB書込ｴﾗｰ : #5 ﾃﾞｰﾀﾍﾞｰｽが他のﾌﾟﾛｸﾞﾗﾑにﾛｯｸされています (database is locked)"},
                 {true, "MDB書込ｴﾗｰ : #9ｷｬﾝｾﾙ"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Stop);
        Upload upload(kFullTable, "a\r\n");
        LockHolder lock(upload.Database);
        upload.Run.IsRunning = true;
        // A Stop must not wait for the time-out: it is far away then.
        upload.Options.StatementTimeout = c.Stop ? std::chrono::minutes(5) : std::chrono::seconds(2);
        std::thread stopper([&] {
            if (c.Stop) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                upload.Run.IsRunning = false;
            }
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(upload.Save());
        const auto waited = std::chrono::steady_clock::now() - start;
        stopper.join();
        upload.ExpectReported(c.Text);
        if (c.Stop) {
            EXPECT_LT(waited, std::chrono::milliseconds(300 + 1000));
        } else {
            EXPECT_GE(waited, std::chrono::milliseconds(1900));
        }
        lock.Release();
        EXPECT_EQ(upload.Query("SELECT count(*) FROM T01;"), "0\n");
    }
}

TEST(SaveToDatabase, LockReleasedWithinTheWaitLetsTheRowsIn) {
    Upload upload(kFullTable, "a\r\nb\r\n");
    LockHolder lock(upload.Database);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        lock.Release();
    });
    const bool saved = upload.Save();
    releaser.join();
    EXPECT_TRUE(saved);
    EXPECT_TRUE(upload.View.Messages.empty());
    EXPECT_EQ(upload.Query("SELECT F1 FROM T01 ORDER BY rowid;"), "a\nb\n");
}

TEST(SaveToDatabase, RelativePathsNameTheFileItselfWhateverTheyHold) {
    // "file:" would make the engine read the path as a URI; ";" and "=" are taken as they are.
    for (const char* name : {"file:x.mdb", "a;b=c.mdb", "Data Source=y;.mdb", " ;"}) {
        SCOPED_TRACE(name);
        Upload upload("", "a\r\n");
        RunSqlite(upload.Folder / name, kFullTable);
        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(upload.Folder.Path());
        upload.Run.OutputPath = name;
        const bool saved = upload.Save();
        std::filesystem::current_path(previous);
        EXPECT_TRUE(saved);
        EXPECT_EQ(RunSqlite(upload.Folder / name, "SELECT F1 FROM T01;"), "a\n");
    }
}

TEST(SaveToDatabase, AMissingCp932ConverterFailsBeforeAnyRow) {
    Upload upload(kFullTable, "A,\x82\xA0\r\n");
    SetCp932CharsetForTesting("NO-SUCH-CHARSET-FOR-GATHRA");
    const bool saved = upload.Save();
    SetCp932CharsetForTesting("");
    EXPECT_FALSE(saved);
    ASSERT_EQ(upload.View.Messages.size(), 1u);
    EXPECT_EQ(upload.View.Messages[0].Text, "MDB書込ｴﾗｰ : #1文字ｺｰﾄﾞ変換(CP932)が使えません");
    EXPECT_EQ(upload.Query("SELECT count(*) FROM T01;"), "0\n");
}
