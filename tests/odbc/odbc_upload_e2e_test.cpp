// Whole uploads into a PostgreSQL server the test starts itself: RunUpload with the real link library,
// the simulated terminal on a pseudo-terminal, and the rows read back with psql. Covers what only a
// whole upload shows: the check before the port, the file label, the final "ACK"/"CAN", and the next
// upload after the server is back.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>
#include <utility>

#include "e2e/losing_link.h"
#include "e2e/whole_upload_fixture.h"
#include "odbc_servers.h"
#include "output/database/odbc_connection_text.h"
#include "output/database/server_database.h"
#include "settings/settings_store.h"
#include "smtp_sink_process.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"

namespace {

constexpr int kPort = 5;
using Lines = std::vector<std::string>;

class ServerUpload : public WholeUploadFixture {
protected:
    void SetUp() override {
        std::string why;
        servers = OdbcServers::Get(false, &why);
        REQUIRE_SERVERS(servers, why);
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path() + "/", kPort));
        settings.SaveFormat = kSaveFormatMdb;
        settings.DatabaseName = "unused";
        settings.DbConnect = servers->PgConnection();
        servers->Pg(
            "DROP TABLE IF EXISTS \"T01\"; CREATE TABLE \"T01\"(id serial, \"F1\" text, \"F2\" text);");
    }

    void Upload(const termsim::Options& options) {
        sim.reset();
        sim.emplace();
        ASSERT_TRUE(sim->Start(program.Path(), kPort, options));
        run.IsRunning = true;
        FreshView();
        RunUploadWith();
        sim->WaitFinished(2000);
    }

    static termsim::Options Records(const std::string& prefix, int count) {
        termsim::Options options;
        for (int i = 1; i <= count; ++i) {
            options.records.push_back(prefix + std::to_string(100 + i).substr(1) +
                                      ",\x93\xFA\x96\x7B");  // ,日本
        }
        return options;
    }

    OdbcServers* servers = nullptr;
    TempFolder save;
    std::optional<termsim::Simulator> sim;
};

TEST_F(ServerUpload, RowsAreStoredAndTheLabelShowsTheSourceWithoutPassword) {
    Upload(Records("A", 3));
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(servers->Pg("SELECT \"F1\" || '/' || \"F2\" FROM \"T01\" ORDER BY id;"),
              "A01/日本\nA02/日本\nA03/日本\n");
    EXPECT_EQ(view.FileLabelText,
              servers->Folder() + ":" + std::to_string(servers->PgPort()) + "/gathra\r\nﾃｰﾌﾞﾙ : T01");
    EXPECT_EQ(view.StatusLines().back(), "ﾚｺｰﾄﾞ受信<3> : 正常終了");
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_EQ(view.StatusText.find(OdbcServers::kPassword), std::string::npos);

    // A final "ACK" that does not reach the terminal after the commit: a server keeps no row ids to take
    // the rows back with, so they stay, and the operator is told to clear the terminal's data instead of
    // letting it send them again.
    UploadResult result;
    uploadEnded = [&result](const UploadResult& ended) { result = ended; };
    sim.reset();
    sim.emplace();
    ASSERT_TRUE(sim->Start(program.Path(), kPort, Records("B", 2)));
    run.IsRunning = true;
    FreshView();
    LosingLink losing(*link, *sim, 5, LosingLink::Loss::NotWritten);  // VOL, ACK, ACK, ACK, the final ACK
    const LinkApi* real = std::exchange(link, losing.Api());
    EXPECT_EQ(RunUploadWith(), RunOutcome::Failed);
    link = real;
    EXPECT_EQ(servers->Pg("SELECT count(*) FROM \"T01\";"), "5\n");
    const Lines lines = view.StatusLines();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()),
              (Lines{"ACK送信ｴﾗｰ", "ﾃﾞｰﾀは保存済みです。端末のﾃﾞｰﾀは消去してください", "異常終了"}));
    EXPECT_EQ(result.Outcome, UploadOutcome::Stored);
    EXPECT_EQ(result.Store, StoreState::Committed);
    EXPECT_EQ(result.Answer, FinalAnswer::Can);
    EXPECT_EQ(result.RecordsStored, 2);
}

TEST_F(ServerUpload, StoppedServerIsReportedBeforeThePortIsTouched) {
    ASSERT_TRUE(servers->StopPg());
    Upload(Records("B", 1));
    ASSERT_TRUE(servers->StartPg());
    ASSERT_EQ(view.Messages.size(), 1u);
    const std::string head = "ｴﾗｰ\r\n" + DataSourceLabel(settings.DbConnect) + " に接続できません。\r\n";
    EXPECT_EQ(view.Messages[0].Text.rfind(head, 0), 0u) << view.Messages[0].Text;
    EXPECT_GT(view.Messages[0].Text.size(), head.size());
    EXPECT_EQ(view.Messages[0].Text.find(OdbcServers::kPassword), std::string::npos);
    EXPECT_TRUE(sim->LinesFromPc().empty());
    EXPECT_FALSE(run.IsRunning);
}

// The server goes away while a row is being inserted: a trigger makes that insert sleep, and the test
// stops the server (immediate mode, like a crash) once the sleep has begun. (Rows sent in groups before
// the loss are the writer test's.)
TEST_F(ServerUpload, ServerLostMidStoreEndsWithCanKeepsNothingAndTheNextUploadIsStored) {
    servers->Pg(
        "CREATE OR REPLACE FUNCTION stall() RETURNS trigger AS $$ BEGIN "
        "IF NEW.\"F1\" = 'C05' THEN PERFORM pg_sleep(60); END IF; RETURN NEW; END $$ LANGUAGE plpgsql;\n"
        "CREATE TRIGGER stall BEFORE INSERT ON \"T01\" FOR EACH ROW EXECUTE FUNCTION stall();\n");
    std::atomic<bool> stopped{false};
    std::thread killer([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (std::chrono::steady_clock::now() < deadline) {
            if (servers->Pg("SELECT count(*) FROM pg_stat_activity WHERE wait_event = 'PgSleep';") == "1\n") {
                stopped = servers->StopPg("immediate");
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    Upload(Records("C", 10));
    killer.join();
    ASSERT_TRUE(stopped);
    EXPECT_EQ(sim->FinalAnswers(), Lines{"CAN"});
    const Lines status = view.StatusLines();
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status.back(), "異常終了");
    EXPECT_EQ(status[status.size() - 2].rfind("MDB書込ｴﾗｰ : #", 0), 0u) << view.StatusText;

    ASSERT_TRUE(servers->StartPg());
    EXPECT_EQ(servers->Pg("SELECT count(*) FROM \"T01\";"), "0\n");
    servers->Pg("DROP TRIGGER stall ON \"T01\";");
    Upload(Records("D", 2));
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(servers->Pg("SELECT count(*) FROM \"T01\" WHERE \"F1\" LIKE 'D%';"), "2\n");
}

// With mail, the upload's records go as "<table>.txt" in the text writer's form, made in a private
// temporary folder that is gone afterwards; nothing is written into the save folder.
TEST_F(ServerUpload, MailCarriesTheRecordsAsTableTextAndLeavesNoFileBehind) {
    TempFolder mailWork;
    TempFolder temporary;
    SmtpSinkProcess sink;
    const std::string why = sink.Start(mailWork.Path(), {});
    REQUIRE_SERVERS(why.empty() ? servers : nullptr, why);
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string savedTmp = oldTmp != nullptr ? oldTmp : "";
    setenv("TMPDIR", temporary.Path().c_str(), 1);
    settings.SendMail = Switch::On;
    settings.MailAddress = "stock@example.jp";
    settings.FromMailAddress = "gathra@example.jp";
    settings.MailServer = sink.Address();
    settings.SelectedFields[1] = 0;

    termsim::Options options = Records("M", 2);
    options.records.push_back("M03,skip,\xBC\xAE\xB3\xCB\xDD");  // M03,skip,ｼｮｳﾋﾝ
    Upload(options);
    oldTmp != nullptr ? setenv("TMPDIR", savedTmp.c_str(), 1) : unsetenv("TMPDIR");

    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    const auto messages = sink.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].Attachments.size(), 1u);
    EXPECT_EQ(messages[0].Attachments[0].FileName, "T01.txt");
    EXPECT_EQ(messages[0].Attachments[0].Bytes, "M01\r\nM02\r\nM03,\xBC\xAE\xB3\xCB\xDD\r\n");
    EXPECT_EQ(messages[0].Raw.find(OdbcServers::kPassword), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(temporary.Path()));
    EXPECT_FALSE(std::filesystem::exists(save / "T01.txt"));
}

// The service's way to its database: a system DSN without the password, the password as the systemd
// credential gathra-db-password in $CREDENTIALS_DIRECTORY, read by gathra-collect.
TEST_F(ServerUpload, CollectorTakesThePasswordFromItsCredential) {
    std::ofstream(servers->Folder() + "/odbc.ini", std::ios::app)
        << "[gathra_service]\nDriver=PostgreSQL Unicode\nServername=" << servers->Folder()
        << "\nPort=" << servers->PgPort() << "\nDatabase=gathra\nUsername=gathra\n";
    TempFolder instance;
    TempFolder credentials;
    settings.SettingsFilePath = instance.Path() + "/Gathra.ini";
    RecordingOperatorView quiet;
    ASSERT_TRUE(WriteSettingsFile(settings, quiet));
    std::ofstream(settings.SettingsFilePath, std::ios::app) << "DbConnect=DSN=gathra_service\n";
    std::filesystem::create_directory(instance.Path() + "/ports");
    ASSERT_EQ(::symlink("/nonexistent/ttyUSB0", (instance.Path() + "/ports/COM5").c_str()), 0);

    auto check = [&](bool withCredential) {
        withCredential ? ::setenv("CREDENTIALS_DIRECTORY", credentials.Path().c_str(), 1)
                       : ::unsetenv("CREDENTIALS_DIRECTORY");
        ChildProcess collector;
        EXPECT_TRUE(collector.Start({BinDir() + "/gathra-collect", "--folder", instance.Path(), "--check"}));
        const int code = collector.Wait(std::chrono::seconds(60));
        ::unsetenv("CREDENTIALS_DIRECTORY");
        return std::make_pair(code, collector.Output());
    };
    std::ofstream(credentials.Path() + "/gathra-db-password") << OdbcServers::kPassword << "\n";
    const auto [without, refused] = check(false);
    EXPECT_EQ(without, 4) << refused;
    EXPECT_NE(refused.find("database gathra_service : NG"), std::string::npos) << refused;
    const auto [with, accepted] = check(true);
    EXPECT_EQ(with, 3) << accepted << " (the port comes after the database)";
    EXPECT_NE(accepted.find("database gathra_service : ok"), std::string::npos) << accepted;
    EXPECT_EQ(accepted.find(OdbcServers::kPassword), std::string::npos);
}

}  // namespace
