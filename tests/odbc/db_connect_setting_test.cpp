// The optional DbConnect key: read when present by both loaders, empty when missing (never a reason to
// re-initialise), never cut but refused when too long, and kept by the settings dialog's rewrite although
// the store never writes it.
#include <gtest/gtest.h>

#include <filesystem>

#include "database_test_support.h"
#include "output/database/server_database.h"
#include "settings/settings_store.h"
#include "support/recording_operator_view.h"

namespace {

TEST(DbConnectSetting, ReadWhenPresentNeverWrittenAndKeptByTheRewrite) {
    const auto cwd = std::filesystem::current_path();
    TempFolder program;
    TempFolder documents;
    const PlatformFacts platform{program.Path(), "Gathra", documents.Path()};
    const std::string ini = program / "Gathra.ini";

    SettingsRecord record;
    RecordingOperatorView view;
    LoadSettings(record, platform, view);  // no file: every key with its default, and no DbConnect
    ASSERT_EQ(view.Messages.size(), 1u);
    const std::string defaults = ReadBytes(ini);
    EXPECT_EQ(defaults.find("DbConnect"), std::string::npos);
    EXPECT_TRUE(record.DbConnect.empty());

    // A file without the key loads without a word.
    view = RecordingOperatorView();
    LoadSettings(record, platform, view);
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_TRUE(record.DbConnect.empty());

    const std::string connection = "Driver={PostgreSQL Unicode};Server=db1;Database=在庫;UID=gathra";
    WriteBytes(ini, defaults + "DbConnect=" + connection + "\n");
    LoadSettings(record, platform, view);
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_EQ(record.DbConnect, connection);

    // The dialog's OK rewrites the keys and leaves the line alone, even when the record's copy differs.
    record.Port = 7;
    record.DbConnect = "DSN=other";
    ASSERT_TRUE(WriteSettingsFile(record, view));
    const std::string rewritten = ReadBytes(ini);
    EXPECT_NE(rewritten.find("Port=7\n"), std::string::npos);
    EXPECT_NE(rewritten.find("DbConnect=" + connection + "\n"), std::string::npos) << rewritten;
    EXPECT_EQ(rewritten.find("DSN=other"), std::string::npos);

    // 300 bytes: kept whole by both loaders, and refused before the port with the box and a status line.
    const std::string tooLong = "DSN=" + std::string(296, 'x');
    WriteBytes(ini, defaults + "DbConnect=" + tooLong + "\n");
    LoadSettings(record, platform, view);
    EXPECT_EQ(record.DbConnect, tooLong);
    SettingsRecord collector;
    EXPECT_EQ(LoadSettingsReadOnly(collector, platform), "");
    EXPECT_EQ(collector.DbConnect, tooLong);
    const std::string reason = "DbConnect が長すぎます (300 ﾊﾞｲﾄ。254 ﾊﾞｲﾄまでです)";
    EXPECT_EQ(DbConnectTooLong(collector), reason);
    for (const size_t bytes : {254, 255}) {  // at the limit, and one past it
        collector.DbConnect = "DSN=" + std::string(bytes - 4, 'x');
        EXPECT_EQ(DbConnectTooLong(collector),
                  bytes == 254 ? "" : "DbConnect が長すぎます (255 ﾊﾞｲﾄ。254 ﾊﾞｲﾄまでです)");
    }
    collector.DbConnect = tooLong;
    collector.SaveFormat = kSaveFormatMdb;
    view = RecordingOperatorView();
    RunState run;
    EXPECT_FALSE(ServerDatabaseStore().CheckTarget(collector, run, view));
    ASSERT_EQ(view.Messages.size(), 1u);
    EXPECT_EQ(view.Messages[0].Text, "ｴﾗｰ\r\n" + reason);
    EXPECT_EQ(view.StatusLines().back(), reason);
    std::filesystem::current_path(cwd);
}

}  // namespace
