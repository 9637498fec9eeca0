// Whole uploads into a database: RunUpload with the real link library, the simulated terminal on a
// pseudo-terminal linked as <program folder>/ports/COM4, and an SQLite database read back by the client.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "database_test_support.h"
#include "e2e/whole_upload_fixture.h"

namespace {

constexpr int kPort = 4;
using Lines = std::vector<std::string>;

class DatabaseUpload : public WholeUploadFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path() + "/", kPort));
        settings.SaveFormat = kSaveFormatMdb;
        settings.DatabaseName = "在庫";
    }
    // Each upload gets a terminal of its own: a simulator keeps what it has served across a restart.
    void Upload(const termsim::Options& options) {
        sim.reset();
        sim.emplace();
        ASSERT_TRUE(sim->Start(program.Path(), kPort, options));
        RunUploadWith();
        sim->WaitFinished(2000);  // the PC's final answer may still be on its way
    }

    TempFolder save;
    std::string database = save / "在庫.mdb";
    std::optional<termsim::Simulator> sim;
};

TEST_F(DatabaseUpload, RowsGoToTheTableNamedByTheTerminalOrTheSettings) {
    RunSqlite(database, "CREATE TABLE T01(F1 TEXT, F2 TEXT, F3 TEXT); CREATE TABLE Stock(F1 TEXT, F2 TEXT);");
    termsim::Options options;
    options.records = {"A,1", "\xBC\xAE\xB3\xCB\xDD,\x93\xFA\x96\x7B,x"};  // ｼｮｳﾋﾝ,日本,x
    Upload(options);
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(RunSqlite(database, "SELECT F1,F2,F3 FROM T01 ORDER BY rowid;"), "A|1|NULL\nｼｮｳﾋﾝ|日本|x\n");
    EXPECT_EQ(view.FileLabelText, database + "\r\nﾃｰﾌﾞﾙ : T01");
    EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<2> : 正常終了");
    EXPECT_TRUE(view.Messages.empty());

    settings.MdbTblName = "Stock";
    run.IsRunning = true;
    options.records = {"B,2"};
    Upload(options);
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(RunSqlite(database, "SELECT F1,F2 FROM Stock;"), "B|2\n");
    EXPECT_EQ(RunSqlite(database, "SELECT count(*) FROM T01;"), "2\n");
}

TEST_F(DatabaseUpload, MissingDatabaseIsReportedBeforeThePortIsTouched) {
    termsim::Options options;
    options.records = {"A"};
    Upload(options);
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_EQ(view.Messages[0].Text, "ｴﾗｰ\r\n" + database + " が存在しません。");
    EXPECT_TRUE(sim->LinesFromPc().empty());
    EXPECT_FALSE(std::filesystem::exists(database));
    EXPECT_FALSE(run.IsRunning);
}

TEST_F(DatabaseUpload, HostileTerminalIdReachesNoSqlAndTheUploadEndsWithCan) {
    RunSqlite(database, "CREATE TABLE T01(F1 TEXT); INSERT INTO T01 VALUES('kept');");
    termsim::Options options;
    options.terminalId = "x\"; DROP TABLE T01; --";
    options.records = {"A"};
    Upload(options);
    EXPECT_EQ(sim->FinalAnswers(), Lines{"CAN"});
    const Lines status = view.StatusLines();
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status[status.size() - 2],
              "MDB書込ｴﾗｰ : #1 ﾃｰﾌﾞﾙ x\"; DROP TABLE T01; -- がありません (no such table: x\"; DROP TABLE "
              "T01; --)");
    EXPECT_EQ(status.back(), "異常終了");
    EXPECT_EQ(RunSqlite(database, "SELECT F1 FROM T01;"), "kept\n");
}

}  // namespace
