// The optional DbConnect key: read when present, empty when missing (never a reason to re-initialise),
// cut like every value, and kept by the settings dialog's rewrite although the store never writes it.
#include <gtest/gtest.h>

#include <filesystem>

#include "database_test_support.h"
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

    WriteBytes(ini, defaults + "DbConnect=DSN=" + std::string(300, 'x') + "\n");
    LoadSettings(record, platform, view);
    EXPECT_EQ(record.DbConnect, "DSN=" + std::string(250, 'x'));
    std::filesystem::current_path(cwd);
}

}  // namespace
