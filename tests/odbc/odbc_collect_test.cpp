// gathra-collect storing where the window does: DbConnect into the suite's PostgreSQL, the rows read back,
// and the peak memory of the whole program (a child process of its own) for an upload whose records vary
// which fields are empty in the worst order for the writer's prepared statements.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "odbc_servers.h"
#include "settings/settings_keys.h"
#include "settings/settings_store.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"
#include "termsim.h"

namespace {

constexpr int kPort = 1;
constexpr int kRecords = 32767;
constexpr long kPeakLimitKb = 64 * 1024;

// Record i assigns the fields of a pattern that changes at every record: no two neighbours share their
// columns, and a great many column sets occur.
std::string Record(int i) {
    const uint32_t mask = (static_cast<uint32_t>(i) * 2654435761u) >> 12 | 1u;
    std::string line;
    for (int n = 1; n <= 20; ++n) {
        if (n > 1) {
            line += ',';
        }
        if ((mask & (1u << (n - 1))) != 0) {
            line += "V" + std::to_string(i % 1000) + "-" + std::to_string(n);
        }
    }
    return line;
}

// A program folder with gathra-collect, the link library and a settings file that stores into the suite's
// PostgreSQL through DbConnect; the table is made by the test.
class OdbcCollect : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        servers = OdbcServers::Get(false, &why);
        REQUIRE_SERVERS(servers, why);
        const char* bin = std::getenv("GATHRA_BIN_DIR");
        ASSERT_NE(bin, nullptr) << "GATHRA_BIN_DIR";
        ASSERT_TRUE(program.CopyLibrary(bin));
        ASSERT_TRUE(program.CopyFile(std::string(bin) + "/gathra-collect", "gathra-collect"));
        std::filesystem::permissions(program.Path() + "/gathra-collect", std::filesystem::perms::owner_all);
        std::filesystem::create_directory(program.Path() + "/out");
        record = DefaultSettings();
        record.SaveFolder = program.Path() + "/out";
        record.Port = kPort;
        record.Mode = LinkMode::Direct;
        record.TimeAdjust = "0";
        record.SaveFormat = kSaveFormatMdb;
        record.SelectedFields.fill(1);
        record.SettingsFilePath = program.Path() + "/Gathra.ini";
    }

    // Writes the settings, then runs the collector once against a terminal sending `options`.
    void Collect(const termsim::Options& options, int expectedExit) {
        RecordingOperatorView view;
        ASSERT_TRUE(WriteSettingsFile(record, view));
        WriteBytes(record.SettingsFilePath,
                   ReadBytes(record.SettingsFilePath) + "DbConnect=" + servers->PgConnection() + "\n");
        ASSERT_TRUE(terminal.Start(program.Path(), kPort, options));
        ChildProcess::Options where;
        where.WorkingFolder = "/";
        ASSERT_TRUE(
            collector.Start(std::vector<std::string>{program.Path() + "/gathra-collect", "--once"}, where));
        EXPECT_EQ(collector.Wait(std::chrono::minutes(4)), expectedExit) << collector.Errors();
    }

    OdbcServers* servers = nullptr;
    TempFolder program;
    SettingsRecord record;
    termsim::Simulator terminal;
    ChildProcess collector;
};

TEST_F(OdbcCollect, TheCollectorStoresIntoDbConnectWithBoundedMemory) {
    std::string columns;
    for (int n = 1; n <= 20; ++n) {
        columns += ", \"F" + std::to_string(n) + "\" text";
    }
    servers->Pg("DROP TABLE IF EXISTS \"T01\"; CREATE TABLE \"T01\"(id serial" + columns + ");");

    termsim::Options options;
    for (int i = 1; i <= kRecords; ++i) {
        options.records.push_back(Record(i));
    }
    ASSERT_NO_FATAL_FAILURE(Collect(options, 0));
    EXPECT_EQ(terminal.FinalAnswers(), std::vector<std::string>{"ACK"});

    EXPECT_EQ(servers->Pg("SELECT count(*) FROM \"T01\";"), std::to_string(kRecords) + "\n");
    EXPECT_EQ(servers->Pg("SELECT concat_ws(',', " +
                          [] {
                              std::string list;
                              for (int n = 1; n <= 20; ++n) {
                                  list += std::string(n > 1 ? ", " : "") + "coalesce(\"F" +
                                          std::to_string(n) + "\", '')";
                              }
                              return list;
                          }() +
                          ") FROM \"T01\" WHERE id IN (SELECT min(id) + 4 FROM \"T01\");"),
              Record(5) + "\n");
    EXPECT_GT(collector.PeakKb(), 0);
    EXPECT_LT(collector.PeakKb(), kPeakLimitKb) << "peak resident memory in KiB";
    std::printf("gathra-collect peak resident memory: %ld KiB\n", collector.PeakKb());
}

// A record holding a terminal's title sequence, which PostgreSQL repeats in its error (22P02, no
// integer): the collector reports the failure, and no ESC byte reaches its standard output or error.
TEST_F(OdbcCollect, EscapeSequenceRepeatedByTheServerIsShownNotSent) {
    servers->Pg("DROP TABLE IF EXISTS hostile_esc; CREATE TABLE hostile_esc(\"F1\" integer);");
    record.MdbTblName = "hostile_esc";
    termsim::Options options;
    options.records = {"\x1b]0;owned\x07"};
    ASSERT_NO_FATAL_FAILURE(Collect(options, 1));  // the upload failed
    EXPECT_EQ(terminal.FinalAnswers(), std::vector<std::string>{"CAN"});
    const std::string shown = collector.Output() + collector.Errors();
    EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
    EXPECT_NE(shown.find("\\x1b]0;owned\\x07"), std::string::npos) << shown;
    EXPECT_EQ(servers->Pg("SELECT count(*) FROM hostile_esc;"), "0\n");
}

}  // namespace
