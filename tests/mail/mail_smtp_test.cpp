// The mail dispatch against a real SMTP server on loopback (smtp_sink.py): what arrives, and how each
// failure is reported.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include <curl/curl.h>

#include "mail/mail_transport.h"
#include "mail/send_by_mail.h"
#include "smtp_sink_process.h"
#include "support/child_process.h"
#include "support/recording_operator_view.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Every byte value, several times over, so that a base64 or line-ending slip shows.
std::string BinaryBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    return bytes;
}

// The failure text as the operator sees it: number, one blank, description, bracketed source.
const std::regex kFailurePattern(R"(^\d+ [^\r\n]+\[[A-Za-z.]+\]$)");

class MailSmtpTest : public ::testing::Test {
protected:
    void StartSink(const SmtpSinkProcess::Options& options = {}) {
        const std::string error = sink_.Start(folder_.Path(), options);
        ASSERT_TRUE(error.empty()) << error;
    }

    MailRequest Request(const fs::path& attachment, const std::string& subject = "Upload") const {
        MailRequest request;
        request.To = "office@example.jp";
        request.From = "gathra@example.jp";
        request.Subject = subject;
        request.AttachmentPath = attachment.string();
        request.Server = sink_.Address();
        return request;
    }

    TempFolder folder_;
    SmtpSinkProcess sink_;
};

TEST_F(MailSmtpTest, StoredFilesArriveByteIdenticalWithTheirTypesAndNames) {
    StartSink();
    // A text output in CP932 with CR LF lines, a binary workbook and a binary database file, and a
    // Japanese file name that needs the RFC 2231 form.
    const std::string cp932Text =
        "T01,\x8F\xA4\x95\x69,3\r\nT01,\xB1\xB2\xB3,12\r\n.\r\n.line starting with a dot\r\n";
    // The type each store gives its attachment goes out as it is; without one the file is octet-stream.
    struct Case {
        std::string FileName;
        std::string Bytes;
        std::string SentType;
        std::string ContentType;
    };
    const std::string xlsx = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    const std::vector<Case> cases{
        {"T01_20261207.txt", cp932Text, "text/plain; charset=Shift_JIS", "text/plain"},
        {"upload.xls", BinaryBytes(70000), "application/vnd.ms-excel", "application/vnd.ms-excel"},
        {"upload.xlsx", BinaryBytes(5000), xlsx, xlsx},
        {"stock.MDB", BinaryBytes(4096) + std::string(1000, '\0'), "application/vnd.sqlite3",
         "application/vnd.sqlite3"},
        {"棚卸データ_端末01_2026年12月07日_午前の部.txt", cp932Text + "no final line break", "",
         "application/octet-stream"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].FileName);
        const fs::path file = folder_ / cases[i].FileName;
        WriteBytes(file, cases[i].Bytes);
        MailRequest request = Request(file);
        request.AttachmentType = cases[i].SentType;
        const auto failure = SendMailOverSmtp(request);
        ASSERT_FALSE(failure.has_value()) << FormatMailError(*failure);

        const auto messages = sink_.WaitForMessages(i + 1);
        ASSERT_EQ(messages.size(), i + 1);
        const auto& message = messages.back();
        ASSERT_EQ(message.Attachments.size(), 1u);
        EXPECT_EQ(message.Attachments[0].FileName, cases[i].FileName);
        EXPECT_EQ(message.Attachments[0].ContentType, cases[i].ContentType);
        EXPECT_EQ(message.Attachments[0].TransferEncoding, "base64");
        EXPECT_TRUE(message.Attachments[0].Bytes == cases[i].Bytes)
            << "attachment differs from the stored file";
        // The body is the empty text.
        ASSERT_EQ(message.Bodies.size(), 1u);
        EXPECT_EQ(message.Bodies[0], "text/plain\t0");
        // The stored file is left as it was.
        EXPECT_EQ(ReadBytes(file), cases[i].Bytes);
    }
}

TEST_F(MailSmtpTest, HeadersCarryAddressesDecodedSubjectDateAndMessageId) {
    StartSink();
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    const std::vector<std::string> subjects{
        "棚卸ﾃﾞｰﾀ 12月分 (端末T01) ― 本日の受信結果をお送りします。ご確認ください。よろしくお願いします。",
        "Daily upload",
        "=?UTF-8?B?not really encoded?=",
        "",
    };
    for (size_t i = 0; i < subjects.size(); ++i) {
        SCOPED_TRACE(subjects[i]);
        const auto failure = SendMailOverSmtp(Request(file, subjects[i]));
        ASSERT_FALSE(failure.has_value()) << FormatMailError(*failure);
        const auto messages = sink_.WaitForMessages(i + 1);
        ASSERT_EQ(messages.size(), i + 1);
        const auto& message = messages.back();
        EXPECT_EQ(message.Field("header:To"), "office@example.jp");
        EXPECT_EQ(message.Field("header:From"), "gathra@example.jp");
        EXPECT_EQ(message.Field("header:Subject"), subjects[i]);
        EXPECT_EQ(message.Field("mail_from"), "gathra@example.jp");
        EXPECT_EQ(message.Field("rcpt_to"), "office@example.jp");
        EXPECT_EQ(message.Field("header:MIME-Version"), "1.0");
        EXPECT_EQ(message.Field("content_type"), "multipart/mixed");
        ASSERT_TRUE(message.Field("header:Date").has_value());
        EXPECT_TRUE(std::regex_match(*message.Field("header:Date"),
                                     std::regex(R"(\w{3}, \d{2} \w{3} \d{4} \d{2}:\d{2}:\d{2} [+-]\d{4})")))
            << *message.Field("header:Date");
        ASSERT_TRUE(message.Field("header:Message-ID").has_value());
        EXPECT_TRUE(
            std::regex_match(*message.Field("header:Message-ID"), std::regex(R"(<[^<>@ ]+@example\.jp>)")))
            << *message.Field("header:Message-ID");
        // Only 7-bit text on the wire: the Japanese subject went out encoded.
        for (char c : message.Raw) {
            ASSERT_LT(static_cast<unsigned char>(c), 0x80u);
        }
    }
    // Each message has its own id.
    const auto messages = sink_.Messages();
    EXPECT_NE(messages[0].Field("header:Message-ID"), messages[1].Field("header:Message-ID"));
}

TEST_F(MailSmtpTest, NamedSenderUsesTheBareAddressOnTheEnvelope) {
    StartSink();
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    MailRequest request = Request(file);
    request.From = "Gathra <gathra@example.jp>";
    ASSERT_FALSE(SendMailOverSmtp(request).has_value());
    const auto messages = sink_.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Field("mail_from"), "gathra@example.jp");
    EXPECT_EQ(messages[0].Field("header:From"), "Gathra <gathra@example.jp>");
}

TEST_F(MailSmtpTest, RejectedRecipientIsAFailureWithTheServerReply) {
    StartSink({.Reject = {"office@example.jp"}});
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    const auto failure = SendMailOverSmtp(Request(file));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->Source, kMailSourceCurl);
    EXPECT_NE(failure->Description.find("550 5.1.1"), std::string::npos) << failure->Description;
    EXPECT_TRUE(std::regex_match(FormatMailError(*failure), kFailurePattern)) << FormatMailError(*failure);
    EXPECT_TRUE(sink_.Messages().empty());
}

TEST_F(MailSmtpTest, SettingsThatCouldInjectOrCannotWorkAreRefusedBeforeConnecting) {
    StartSink();
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    struct Case {
        const char* Name;
        void (*Change)(MailRequest&);
        long Number;
    };
    const Case cases[] = {
        {"CR LF in subject", [](MailRequest& r) { r.Subject = "Hi\r\nBcc: victim@example.com"; },
         kMailErrorLineBreak},
        {"LF in recipient", [](MailRequest& r) { r.To = "office@example.jp\nRCPT TO:<x@example.com>"; },
         kMailErrorLineBreak},
        {"CR in sender", [](MailRequest& r) { r.From = "gathra@example.jp\rDATA"; }, kMailErrorLineBreak},
        {"empty recipient", [](MailRequest& r) { r.To = " "; }, kMailErrorBadAddress},
        {"empty server", [](MailRequest& r) { r.Server = ""; }, kMailErrorBadServer},
        {"server with path", [](MailRequest& r) { r.Server = "127.0.0.1/evil"; }, kMailErrorBadServer},
        {"missing attachment", [](MailRequest& r) { r.AttachmentPath += ".gone"; }, kMailErrorAttachment},
        {"attachment is a folder",
         [](MailRequest& r) { r.AttachmentPath = fs::path(r.AttachmentPath).parent_path(); },
         kMailErrorAttachment},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        MailRequest request = Request(file);
        c.Change(request);
        const auto failure = SendMailOverSmtp(request);
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->Number, c.Number);
        EXPECT_EQ(failure->Source, kMailSourceGathra);
        EXPECT_TRUE(std::regex_match(FormatMailError(*failure), kFailurePattern))
            << FormatMailError(*failure);
    }
    EXPECT_EQ(sink_.Connections(), 1) << "only the start-up probe may have connected";
    EXPECT_TRUE(sink_.Messages().empty());
}

TEST_F(MailSmtpTest, UnreachableServerIsAFailureNamingTheLibrary) {
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    MailRequest request = Request(file);
    request.Server = "127.0.0.1:" + std::to_string(FreePort());
    const auto failure = SendMailOverSmtp(request);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->Number, 7);  // libcurl: could not connect
    EXPECT_EQ(failure->Source, kMailSourceCurl);
    EXPECT_TRUE(std::regex_match(FormatMailError(*failure), kFailurePattern)) << FormatMailError(*failure);
}

TEST_F(MailSmtpTest, SilentServerIsCutOffByTheTimeOut) {
    SilentSmtpServer silent;
    ASSERT_TRUE(silent.Listening());
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    MailRequest request = Request(file);
    request.Server = silent.Address();
    MailLimits limits;
    limits.ConnectTimeoutSeconds = 2;
    limits.TransferTimeoutSeconds = 2;
    const auto started = std::chrono::steady_clock::now();
    const auto failure = SendMailOverSmtp(request, limits);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->Number, 28);  // libcurl: operation timed out
    EXPECT_LT(elapsed, std::chrono::seconds(60));
}

TEST(MailLimits, DefaultTimeOutsGrowWithTheAttachmentUpToTenMinutes) {
    const MailLimits defaults;
    EXPECT_EQ(defaults.ConnectTimeoutSeconds, 15);
    const struct {
        long long bytes;
        long seconds;
    } cases[] = {
        {0, 60},
        {64 * 1024 - 1, 60},
        {64 * 1024, 61},
        {10 * 1024 * 1024, 60 + 160},
        {(600 - 60) * 64LL * 1024, 600},
        {(600 - 60) * 64LL * 1024 + 64 * 1024, 600},
        {4LL * 1024 * 1024 * 1024, 600},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TransferTimeoutFor(defaults, c.bytes), c.seconds) << c.bytes;
    }
}

TEST(MailOptions, AnOptionTheLibraryLacksIsAFailureNamingIt) {
    std::unique_ptr<CURL, void (*)(CURL*)> easy(curl_easy_init(), curl_easy_cleanup);
    ASSERT_TRUE(easy);
    EXPECT_FALSE(SetMailOption(easy.get(), CURLOPT_TIMEOUT, "CURLOPT_TIMEOUT", 5L).has_value());
    // A number no libcurl knows, as an option missing from an older build would be.
    const auto failure = SetMailOption(easy.get(), 9999, "CURLOPT_FROM_THE_FUTURE", 1L);
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->Number, kMailErrorOption);
    EXPECT_EQ(failure->Source, kMailSourceGathra);
    EXPECT_EQ(failure->Description.rfind("SMTP の設定 CURLOPT_FROM_THE_FUTURE をﾗｲﾌﾞﾗﾘが受け付けません (", 0),
              0u)
        << failure->Description;
}

// Sets an environment variable for one test and restores it after.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        setenv(name, value, 1);
    }
    ~ScopedEnvironment() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(MailSmtpTest, ProxySettingsOfTheEnvironmentAreIgnored) {
    StartSink();
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    // Proxies on a port where nothing listens: a dispatch that used them could not connect.
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(FreePort());
    const ScopedEnvironment all("all_proxy", nowhere.c_str());
    const ScopedEnvironment allUpper("ALL_PROXY", nowhere.c_str());
    const ScopedEnvironment smtp("smtp_proxy", nowhere.c_str());
    const auto failure = SendMailOverSmtp(Request(file));
    ASSERT_FALSE(failure.has_value()) << FormatMailError(*failure);
    EXPECT_EQ(sink_.WaitForMessages(1).size(), 1u);
}

TEST_F(MailSmtpTest, StopDuringTheMailCancelsItWithinASecond) {
    SilentSmtpServer silent;
    ASSERT_TRUE(silent.Listening());
    const fs::path file = folder_ / "stock.txt";
    WriteBytes(file, "A,1\r\n");
    SettingsRecord settings;
    settings.SendMail = Switch::On;
    settings.MailAddress = "office@example.jp";
    settings.FromMailAddress = "gathra@example.jp";
    settings.MailServer = silent.Address();
    RunState run;
    run.IsRunning = true;
    run.OutputPath = file.string();
    RecordingOperatorView view;

    std::chrono::steady_clock::time_point stopped{};
    std::thread stopButton([&] {
        // Pressed once the mail is waiting on the server's greeting.
        silent.WaitForConnection(std::chrono::seconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stopped = std::chrono::steady_clock::now();
        run.StopRequested = true;
        run.IsRunning = false;
    });
    const bool sent = SendByMail(settings, run, run.OutputPath);
    const auto ended = std::chrono::steady_clock::now();
    stopButton.join();

    EXPECT_FALSE(sent);
    EXPECT_LT(ended - stopped, std::chrono::seconds(2));
    EXPECT_EQ(run.MailErrorText.rfind("42 ", 0), 0u) << run.MailErrorText;
    EXPECT_TRUE(std::regex_match(run.MailErrorText, kFailurePattern)) << run.MailErrorText;
    EXPECT_EQ(run.MailErrorText.substr(run.MailErrorText.size() - 9), "[libcurl]");
    EXPECT_EQ(ReadBytes(file), "A,1\r\n");
}

bool HaveOpenssl() {
    return std::system("openssl version >/dev/null 2>&1") == 0;
}

TEST_F(MailSmtpTest, StartTlsIsUsedWhenOfferedAndTheCertificateIsChecked) {
    if (!HaveOpenssl()) {
        GTEST_SKIP() << "openssl is needed to make the server's certificate";
    }
    StartSink({.Reject = {}, .Tls = true});
    const fs::path file = folder_ / "a.xls";
    WriteBytes(file, BinaryBytes(5000));

    // A certificate nobody vouches for: refused, and the mail is not sent in plain text instead.
    const auto untrusted = SendMailOverSmtp(Request(file));
    ASSERT_TRUE(untrusted.has_value());
    EXPECT_EQ(untrusted->Source, kMailSourceCurl);
    EXPECT_TRUE(sink_.Messages().empty());

    MailLimits limits;
    limits.CaFile = (sink_.Folder() / "cert.pem").string();
    const auto trusted = SendMailOverSmtp(Request(file), limits);
    ASSERT_FALSE(trusted.has_value()) << FormatMailError(*trusted);
    const auto messages = sink_.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Field("tls"), "1");
    ASSERT_EQ(messages[0].Attachments.size(), 1u);
    EXPECT_TRUE(messages[0].Attachments[0].Bytes == BinaryBytes(5000));

    // TLS from the first byte, with the certificate checked as well.
    MailRequest implicit = Request(file);
    implicit.Tls = MailTls::Implicit;
    implicit.Server = sink_.ImplicitTlsAddress();
    ASSERT_TRUE(SendMailOverSmtp(implicit).has_value());
    const auto failure = SendMailOverSmtp(implicit, limits);
    ASSERT_FALSE(failure.has_value()) << FormatMailError(*failure);
    ASSERT_EQ(sink_.WaitForMessages(2).size(), 2u);
    EXPECT_EQ(sink_.Messages()[1].Field("tls"), "1");
}

// A server that does not offer STARTTLS, as when someone on the way removed the offer: with STARTTLS
// required it gets nothing, and the failure says why.
TEST_F(MailSmtpTest, RequiredStartTlsSendsNothingWithoutIt) {
    StartSink({});
    const fs::path file = folder_ / "a.txt";
    WriteBytes(file, "A,1\r\n");
    MailRequest request = Request(file);
    request.Tls = MailTls::StartTlsRequired;
    const auto refused = SendMailOverSmtp(request);
    ASSERT_TRUE(refused.has_value());
    EXPECT_EQ(refused->Number, 64);
    EXPECT_EQ(refused->Description.rfind("ｻｰﾊﾞｰが STARTTLS を提供しないため送信しません", 0), 0u)
        << refused->Description;
    EXPECT_TRUE(sink_.Messages().empty());
    EXPECT_EQ(ReadBytes(file), "A,1\r\n");
}

TEST_F(MailSmtpTest, SendByMailTakesTheSettingsAndSetsMailErrorTextOnlyOnFailure) {
    StartSink({.Reject = {"nobody@example.jp"}});
    const fs::path file = folder_ / "stock.mdb";
    WriteBytes(file, BinaryBytes(3000));
    SettingsRecord settings;
    settings.SendMail = Switch::On;
    settings.MailAddress = "office@example.jp";
    settings.FromMailAddress = "gathra@example.jp";
    settings.MailSub = "在庫";
    settings.MailServer = sink_.Address();
    RunState run;
    run.IsRunning = true;
    run.OutputPath = file.string();
    run.MailErrorText = "earlier failure";
    RecordingOperatorView view;

    EXPECT_TRUE(SendByMail(settings, run, run.OutputPath));
    EXPECT_EQ(run.MailErrorText, "earlier failure");
    const auto messages = sink_.WaitForMessages(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].Field("header:Subject"), "在庫");
    ASSERT_EQ(messages[0].Attachments.size(), 1u);
    EXPECT_EQ(messages[0].Attachments[0].FileName, "stock.mdb");

    settings.MailAddress = "nobody@example.jp";
    EXPECT_FALSE(SendByMail(settings, run, run.OutputPath));
    EXPECT_TRUE(std::regex_match(run.MailErrorText, kFailurePattern)) << run.MailErrorText;
    EXPECT_NE(run.MailErrorText.find("550"), std::string::npos);
    // The engine reports; the dispatch itself shows nothing.
    EXPECT_TRUE(view.StatusCalls.empty());
    EXPECT_TRUE(view.Messages.empty());
    EXPECT_EQ(view.Beeps, 0);
}

}  // namespace
