// Whole uploads with SendMail: the real link library, the simulated terminal on a pseudo-terminal and the
// loopback SMTP server. What the terminal hears at the end, what the operator reads, what is mailed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "e2e/whole_upload_fixture.h"
#include "smtp_sink_process.h"

namespace {

using Lines = std::vector<std::string>;
constexpr int kPort = 4;

class MailUploadE2E : public WholeUploadFixture {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(PrepareUpload(save.Path(), kPort));
        const std::string error = sink.Start(work.Path(), {.Reject = {"refused@example.jp"}, .Tls = false});
        ASSERT_TRUE(error.empty()) << error;

        settings.OverWrite = 1;
        settings.SendMail = Switch::On;
        settings.MailAddress = "office@example.jp";
        settings.FromMailAddress = "gathra@example.jp";
        settings.MailSub = "棚卸ﾃﾞｰﾀ";
        settings.MailServer = sink.Address();
    }
    void TearDown() override {
        if (sim) {
            sim->Stop();
        }
    }

    void Upload() {
        termsim::Options options;
        options.records = {"A,1", "\x8F\xA4\x95\x69,2"};
        if (sim) {
            sim->Stop();
        }
        sim = std::make_unique<termsim::Simulator>();
        ASSERT_TRUE(sim->Start(program.Path(), kPort, options));
        RunUploadWith([] { return PcDateTime{2026, 12, 7, 9, 5, 7}; });
        sim->WaitFinished(5000);
    }

    // The status lines after the progress line.
    Lines Report() const {
        Lines lines = view.StatusLines();
        return Lines(lines.begin() + std::min<size_t>(1, lines.size()), lines.end());
    }

    TempFolder save;
    TempFolder work;
    SmtpSinkProcess sink;
    std::unique_ptr<termsim::Simulator> sim;
};

const std::string kStored = "A,1\r\n\x8F\xA4\x95\x69,2\r\n";

TEST_F(MailUploadE2E, MailedUploadEndsNormallyWithTheStoredFileAttached) {
    Upload();
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(Report(), (Lines{"office@example.jp宛 ﾒｰﾙ登録完了", "ﾚｺｰﾄﾞ受信<2> : 正常終了"}));
    EXPECT_GE(view.Beeps, 1);

    const auto messages = sink.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Field("header:Subject"), "棚卸ﾃﾞｰﾀ");
    EXPECT_EQ(messages[0].Field("rcpt_to"), "office@example.jp");
    ASSERT_EQ(messages[0].Attachments.size(), 1u);
    EXPECT_EQ(messages[0].Attachments[0].FileName, "T01.txt");
    EXPECT_EQ(messages[0].Attachments[0].Bytes, kStored);
    EXPECT_EQ(ReadBytes(save / "T01.txt"), kStored);
}

TEST_F(MailUploadE2E, MailFailuresAnswerCanAndUndoTheStore) {
    struct Case {
        const char* Name;
        std::string Recipient;
        std::string Server;
        std::string Subject;
    };
    const std::vector<Case> cases{
        {"server refuses the recipient", "refused@example.jp", sink.Address(), "x"},
        {"nothing listens on the port", "office@example.jp", "127.0.0.1:1", "x"},
        {"line break in the subject", "office@example.jp", sink.Address(), "x\r\nBcc: someone@example.com"},
    };
    UploadResult result;
    uploadEnded = [&result](const UploadResult& ended) { result = ended; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        settings.MailAddress = c.Recipient;
        settings.MailServer = c.Server;
        settings.MailSub = c.Subject;
        FreshView();
        run.IsRunning = true;
        Upload();
        EXPECT_EQ(sim->FinalAnswers(), Lines{"CAN"});
        const Lines report = Report();
        ASSERT_EQ(report.size(), 2u);
        const std::string prefix = c.Recipient + "宛 ﾒｰﾙ登録失敗:";
        ASSERT_EQ(report[0].rfind(prefix, 0), 0u) << report[0];
        EXPECT_TRUE(std::regex_match(report[0].substr(prefix.size()), std::regex(R"(\d+ .+\[[A-Za-z.]+\])")))
            << report[0];
        EXPECT_EQ(report[1], "異常終了");
        EXPECT_EQ(result.Store, StoreState::Undone);
        EXPECT_EQ(result.Mail, MailOutcome::Failed);
        EXPECT_FALSE(std::filesystem::exists(save / "T01.txt"));
    }
    EXPECT_TRUE(sink.Messages().empty());
}

// Every file store in turn: a refused mail leaves the old output as it was (no file, the same bytes, no
// new rows), and the same upload mailed again is stored once, its attachment under the output's name.
TEST_F(MailUploadE2E, AFailedMailLeavesEveryOutputAsItWasAndTheResendStoresOnce) {
    const auto sqlite = [this](const std::string& sql) {
        const std::string command = "sqlite3 -batch '" + save / "Gathra.mdb" + "' \"" + sql + "\"";
        std::string out;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[256];
            while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
                out += buffer;
            }
            pclose(pipe);
        }
        return out;
    };
    struct Case {
        const char* Name;
        int16_t Format;
        int16_t Type;  // XlsType
        int16_t OverWrite;
        const char* File;
        std::string Old;    // the output before the first upload; empty: none
        std::string After;  // the file after two stored uploads; empty: not compared
        const char* ContentType;
    };
    const std::string utf8 = "\xEF\xBB\xBF" + std::string("A,1\r\n商品,2\r\nA,1\r\n商品,2\r\n");
    const Case cases[] = {
        {"text append", kSaveFormatText, 0, 0, "T01.txt", "old\r\n", "old\r\n" + kStored + kStored,
         "text/plain"},
        {"text overwrite", kSaveFormatText, 0, 1, "T01.txt", "old\r\n", kStored, "text/plain"},
        {"workbook new, then extended", kSaveFormatXls, 0, 1, "T01.xls", "", "", "application/vnd.ms-excel"},
        {"xlsx book new, then extended", kSaveFormatXls, kXlsTypeXlsx, 1, "T01.xlsx", "", "",
         "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"SQLite", kSaveFormatMdb, 0, 0, "Gathra.mdb", "", "", "application/vnd.sqlite3"},
        {"CSV(UTF-8) append", 3, 0, 0, "T01.csv", "", utf8, "text/csv"},
    };
    size_t mailed = 0;
    settings.XlsF1 = 1;  // field 1 is data, not the worksheet
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        settings.SaveFormat = c.Format;
        settings.XlsType = c.Type;
        settings.OverWrite = c.OverWrite;
        settings.DatabaseName = "Gathra";
        std::filesystem::remove(save / c.File);
        if (!c.Old.empty()) {
            WriteBytes(save / c.File, c.Old);
        }
        if (c.Format == kSaveFormatMdb) {
            sqlite("CREATE TABLE T01(F1 TEXT, F2 TEXT);");
        }
        const auto state = [&] {
            if (c.Format == kSaveFormatMdb) {
                return sqlite("SELECT count(*) FROM T01;");
            }
            return std::filesystem::exists(save / c.File) ? ReadBytes(save / c.File) : std::string("none");
        };
        for (const bool refused : {true, false, true, false}) {
            settings.MailAddress = refused ? "refused@example.jp" : "office@example.jp";
            const std::string before = state();
            FreshView();
            run.IsRunning = true;
            Upload();
            EXPECT_EQ(sim->FinalAnswers(), Lines{refused ? "CAN" : "ACK"}) << view.StatusText;
            if (refused) {
                EXPECT_EQ(state(), before);
                continue;
            }
            const auto messages = sink.WaitForMessages(++mailed);
            ASSERT_EQ(messages.size(), mailed);
            ASSERT_EQ(messages.back().Attachments.size(), 1u);
            EXPECT_EQ(messages.back().Attachments[0].FileName, c.File);
            EXPECT_EQ(messages.back().Attachments[0].ContentType, c.ContentType);
            if (c.Format != kSaveFormatMdb) {
                EXPECT_EQ(messages.back().Attachments[0].Bytes, ReadBytes(save / c.File));
            }
        }
        if (!c.After.empty()) {
            EXPECT_EQ(ReadBytes(save / c.File), c.After);
        }
        if (c.Format == kSaveFormatMdb) {
            EXPECT_EQ(sqlite("SELECT count(*) FROM T01;"), "4\n");
        }
    }
}

TEST_F(MailUploadE2E, StopDuringTheMailCancelsItAndEndsTheRun) {
    SilentSmtpServer silent;
    ASSERT_TRUE(silent.Listening());
    settings.MailServer = silent.Address();
    std::chrono::steady_clock::time_point stopped{};
    std::thread stopButton([&] {
        // The window's thread: pressed while the engine waits on the silent server.
        if (silent.WaitForConnection(std::chrono::seconds(30))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        stopped = std::chrono::steady_clock::now();
        run.StopRequested = true;
        run.IsRunning = false;
    });
    Upload();
    const auto ended = std::chrono::steady_clock::now();
    stopButton.join();

    EXPECT_LT(ended - stopped, std::chrono::seconds(2));
    EXPECT_EQ(sim->FinalAnswers(), Lines{"CAN"});
    const Lines report = Report();
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0], "office@example.jp宛 ﾒｰﾙ登録失敗:" + run.MailErrorText);
    EXPECT_EQ(run.MailErrorText.rfind("42 ", 0), 0u) << run.MailErrorText;
    EXPECT_EQ(run.MailErrorText.substr(run.MailErrorText.size() - 9), "[libcurl]");
    EXPECT_EQ(report[1], "異常終了");
    EXPECT_EQ(report[2], "通信ｽﾄｯﾌﾟﾎﾞﾀﾝが押されました");
    EXPECT_FALSE(std::filesystem::exists(save / "T01.txt"));
}

TEST_F(MailUploadE2E, SendMailOtherThanOneSendsNothing) {
    settings.SendMail = static_cast<Switch>(2);
    Upload();
    EXPECT_EQ(sim->FinalAnswers(), Lines{"ACK"});
    EXPECT_EQ(Report(), (Lines{"ﾚｺｰﾄﾞ受信<2> : 正常終了"}));
    EXPECT_EQ(sink.Connections(), 1) << "only the start-up probe may have connected";
}

}  // namespace
