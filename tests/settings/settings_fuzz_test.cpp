#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "settings/settings_store.h"
#include "settings_test_files.h"
#include "support/recording_operator_view.h"

namespace {

// Random byte soup, mixed with pieces of a real settings file so that the soup also reaches the number
// conversion and the range tests, not only the "missing key" path.
std::string Soup(std::mt19937& random) {
    // clang-format off
    static const std::vector<std::string> pieces = {
        "[Gathra]", "[gathra]", "[", "]", "=", "\n", "\r\n", "\r", ";", " ", "\t", "ERR", "-", ".", "5", "0", "1",
        "99999", "70000", "65536", "1e9", "SaveFolder=", "Baud=", "Port=", "Mode=", "TimeAdjust=", "XlsField7=",
        "XlsStartLine=", "MailSub=", "\xEF\xBB\xBF", "\x82\xA0", "\xE6\x97\xA5", std::string(1, '\0'),
        std::string(300, 'x')};
    // clang-format on
    std::string soup;
    const int parts = std::uniform_int_distribution<int>(0, 80)(random);
    for (int i = 0; i < parts; ++i) {
        if (random() % 3 == 0) {
            soup += static_cast<char>(random() & 0xFF);
        } else {
            soup += pieces[random() % pieces.size()];
        }
    }
    return soup;
}

TEST(SettingsFuzz, ByteSoupEndsInADefinedOutcome) {
    CurrentDirectoryGuard cwd;
    // A memory-backed folder where there is one: every re-initialisation syncs the file to disk.
    TempFolder program(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "");
    TempFolder docs;
    const PlatformFacts platform{program.Path(), "Gathra", docs.Path()};
    const std::string path = program / "Gathra.ini";
    std::mt19937 random(20261207);
    {
        SettingsRecord valid;
        RecordingOperatorView quiet;
        LoadSettings(valid, platform, quiet);
    }
    const std::string validFile = ReadBytes(path);
    int readErrors = 0, reinitialised = 0, loaded = 0;

    for (int iteration = 0; iteration < 3000; ++iteration) {
        std::string soup = Soup(random);
        if (iteration % 4 < 2) {
            // A valid file with soup put in at a line start, replacing that line or not.
            const size_t cut = validFile.find('\n', random() % validFile.size()) + 1;
            const size_t resume = iteration % 4 == 0 ? validFile.find('\n', cut) + 1 : cut;
            soup = validFile.substr(0, cut) + soup + "\n" + validFile.substr(resume);
        } else if (iteration % 4 == 2) {
            // A valid file with one value replaced by soup.
            const size_t line = validFile.find('\n', random() % validFile.size()) + 1;
            const size_t equals = validFile.find('=', line);
            if (equals != std::string::npos) {
                soup =
                    validFile.substr(0, equals + 1) + soup + validFile.substr(validFile.find('\n', equals));
            }
        }
        WriteBytes(path, soup);
        SettingsRecord record;
        RecordingOperatorView view;
        LoadSettings(record, platform, view);

        std::vector<std::string> titles;
        for (const auto& message : view.Messages) {
            titles.push_back(message.Title);
        }
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        using Titles = std::vector<std::string>;
        if (titles == Titles{"エラー！！"} && view.Messages[0].Text == "INIﾌｧｲﾙ読み込みｴﾗｰ!!") {
            ASSERT_EQ(ReadBytes(path), soup);  // a read error never touches the file
            ++readErrors;
            continue;
        }
        // Otherwise: loaded, or re-initialised (file now clean), each maybe followed by the folder box.
        ASSERT_TRUE(titles == Titles{} || titles == Titles{"File Read"} || titles == Titles{"エラー！！"} ||
                    titles == (Titles{"File Read", "エラー！！"}))
            << titles.size();
        ASSERT_TRUE(record.Port >= 1 && record.Port <= 255);
        ASSERT_TRUE(record.XlsStartLine >= 0 && record.XlsStartLine <= 65535);
        ++(!titles.empty() && titles[0] == "File Read" ? reinitialised : loaded);
        if (!titles.empty() && titles[0] == "File Read") {
            SettingsRecord again;
            RecordingOperatorView second;
            LoadSettings(again, platform, second);
            ASSERT_TRUE(second.Messages.empty());
        }
    }
    std::printf("read errors %d, re-initialised %d, loaded %d\n", readErrors, reinitialised, loaded);
    EXPECT_GT(readErrors, 0);
    EXPECT_GT(reinitialised, 0);
    EXPECT_GT(loaded, 0);
}

}  // namespace
