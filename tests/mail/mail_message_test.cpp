// The pure parts of the mail: server setting, refusal of injected line breaks, header encodings.
#include "mail/mail_message.h"

#include <gtest/gtest.h>

#include "codec/text_encoding.h"
#include "mail/mail_settings_check.h"

namespace {

std::string DecodeBase64(std::string_view text) {
    static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=') {
            break;
        }
        bits = (bits << 6) | static_cast<uint32_t>(kAlphabet.find(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// Base64 written apart from the production encoder.
std::string EncodeBase64ForTest(std::string_view bytes) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = 0;
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        for (size_t k = 0; k < 3; ++k) {
            group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        for (size_t k = 0; k < 4; ++k) {
            out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

// Decodes a folded run of "=?UTF-8?B?...?=" words, checking each word's form on the way.
std::string DecodeEncodedWords(const std::string& value) {
    std::string out;
    size_t position = 0;
    while (position < value.size()) {
        const size_t start = value.find("=?UTF-8?B?", position);
        EXPECT_EQ(start, position) << "unexpected text between encoded words";
        const size_t end = value.find("?=", start + 10);
        EXPECT_NE(end, std::string::npos);
        const std::string word = value.substr(start, end + 2 - start);
        EXPECT_LE(word.size(), 75u) << word;
        const std::string decoded = DecodeBase64(word.substr(10, word.size() - 12));
        EXPECT_TRUE(IsValidUtf8(decoded)) << "a character was split between words";
        out += decoded;
        position = end + 2;
        if (value.compare(position, 3, "\r\n ") == 0) {
            position += 3;
        }
    }
    return out;
}

TEST(MailServerSetting, HostAndPortOrRefusal) {
    struct Row {
        const char* Text;
        bool Ok;
        const char* Host;
        int Port;
        bool Ipv6;
    };
    const Row rows[] = {
        {"mail.example.jp", true, "mail.example.jp", 25, false},
        {"smtp_relay:2525", true, "smtp_relay", 2525, false},
        {"  10.0.0.5:587 ", true, "10.0.0.5", 587, false},
        {"[::1]:2525", true, "::1", 2525, true},
        {"::1", true, "::1", 25, true},
        {"host:65535", true, "host", 65535, false},
        {"", false, "", 0, false},
        {":25", false, "", 0, false},
        {"host:", false, "", 0, false},
        {"host:0", false, "", 0, false},
        {"host:65536", false, "", 0, false},
        {"mail server", false, "", 0, false},
        {"host/path", false, "", 0, false},
        {"user@host", false, "", 0, false},
        {"host\r\nQUIT", false, "", 0, false},
        {"[::1", false, "", 0, false},
        {"[::1]25", false, "", 0, false},
        {"[host]:25", false, "", 0, false},
        {"ﾒｰﾙ.example.jp", false, "", 0, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Text);
        const auto server = ParseMailServer(row.Text);
        // The settings check before the port is opened refuses the same servers, naming the key.
        SettingsRecord settings;
        settings.SendMail = Switch::On;
        settings.MailAddress = settings.FromMailAddress = "a@example.jp";
        settings.MailServer = row.Text;
        EXPECT_EQ(MailSettingsProblem(settings).rfind("MailServer=" + settings.MailServer + " : ", 0),
                  row.Ok ? std::string::npos : 0u);
        ASSERT_EQ(server.has_value(), row.Ok);
        if (row.Ok) {
            EXPECT_EQ(server->Host, row.Host);
            EXPECT_EQ(server->Port, row.Port);
            EXPECT_EQ(server->IsIpv6, row.Ipv6);
        }
    }
}

TEST(MailServerSetting, UrlBracketsIpv6AndDropsAnUnsafeGreetingDomain) {
    EXPECT_EQ(SmtpUrl({"mail.example.jp", 25, false}, "pc01.local"), "smtp://mail.example.jp:25/pc01.local");
    EXPECT_EQ(SmtpUrl({"::1", 2525, true}, "pc01"), "smtp://[::1]:2525/pc01");
    EXPECT_EQ(SmtpUrl({"h", 25, false}, "bad/host?x"), "smtp://h:25/");
    EXPECT_EQ(SmtpUrl(*ParseMailServer("h", 465), "pc01", true), "smtps://h:465/pc01");
    EXPECT_EQ(ParseMailServer("h:587", 465)->Port, 587);
}

TEST(MailTexts, LineBreaksAndControlsAreRefusedNamingTheField) {
    struct Row {
        const char* Name;
        std::string To, From, Subject;
        long Number;  // 0: accepted
        const char* Field;
    };
    const Row rows[] = {
        {"plain", "a@example.jp", "b@example.jp", "件名", 0, ""},
        {"empty subject", "a@example.jp", "b@example.jp", "", 0, ""},
        {"tab in subject", "a@example.jp", "b@example.jp", "a\tb", 0, ""},
        {"CR LF subject", "a@example.jp", "b@example.jp", "x\r\nBcc: c@example.com", kMailErrorLineBreak,
         "件名"},
        {"LF subject", "a@example.jp", "b@example.jp", "x\n", kMailErrorLineBreak, "件名"},
        {"CR recipient", "a@example.jp\r", "b@example.jp", "", kMailErrorLineBreak, "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"LF sender", "a@example.jp", "b@example.jp\nRSET", "", kMailErrorLineBreak, "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)"},
        {"empty recipient", "", "b@example.jp", "", kMailErrorBadAddress, "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"blank sender", "a@example.jp", "  ", "", kMailErrorBadAddress, "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)"},
        {"NUL in recipient", std::string("a@example.jp\0x", 14), "b@example.jp", "", kMailErrorBadAddress,
         "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"tab in sender", "a@example.jp", "b@exa\tmple.jp", "", kMailErrorBadAddress, "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)"},
        {"named addresses", "事務所 <a@example.jp>", "\"Gathra, PC1\" <b@example.jp>", "", 0, ""},
        // Each of these would carry a second address or an SMTP parameter into the envelope.
        {"parameter after the address", "a@b> NOTIFY=NEVER", "b@example.jp", "", kMailErrorBadAddress,
         "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"text after the angle brackets", "A <a@b> NOTIFY=NEVER", "b@example.jp", "", kMailErrorBadAddress,
         "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"blank inside the address", "a@example.jp", "b @example.jp", "", kMailErrorBadAddress,
         "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)"},
        {"bracket inside the brackets", "A <<a@b>>", "b@example.jp", "", kMailErrorBadAddress,
         "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"unclosed bracket", "A <a@b", "b@example.jp", "", kMailErrorBadAddress, "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)"},
        {"empty brackets", "a@example.jp", "Gathra <>", "", kMailErrorBadAddress, "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const auto failure = CheckMailTexts(row.To, row.From, row.Subject);
        // The settings check before the port is opened: the same refusal, naming the key; nothing without
        // SendMail 1.
        SettingsRecord settings;
        settings.MailAddress = row.To;
        settings.FromMailAddress = row.From;
        settings.MailSub = row.Subject;
        settings.MailServer = "smtp.example.jp";
        EXPECT_EQ(MailSettingsProblem(settings), "");
        settings.SendMail = Switch::On;
        const std::string problem = MailSettingsProblem(settings);
        if (row.Number == 0) {
            EXPECT_FALSE(failure.has_value());
            EXPECT_EQ(problem, "");
            continue;
        }
        const std::string field = row.Field;
        const std::string key = field == "件名"                           ? "MailSub="
                                : field.find("(To)") != std::string::npos ? "MailAddress="
                                                                          : "FromMailAddress=";
        EXPECT_EQ(problem.rfind(key, 0), 0u) << problem;
        ASSERT_TRUE(failure.has_value());
        EXPECT_EQ(failure->Number, row.Number);
        EXPECT_EQ(failure->Source, kMailSourceGathra);
        EXPECT_EQ(failure->Description.rfind(row.Field, 0), 0u) << failure->Description;
        EXPECT_EQ(failure->Description.find_first_of("\r\n"), std::string::npos);
    }
}

TEST(MailAddresses, DisplayNamesAreEncodedOrQuotedAndTheAddressStaysBare) {
    const struct {
        const char* name;
        std::string setting;
        std::string header;
    } cases[] = {
        {"bare_address", "  office@example.jp ", "office@example.jp"},
        {"plain_name", "Gathra <gathra@example.jp>", "Gathra <gathra@example.jp>"},
        {"blanks_inside_brackets", "Gathra < gathra@example.jp >", "Gathra <gathra@example.jp>"},
        {"name_with_a_comma_is_quoted", "Sato, Taro <t@example.jp>", "\"Sato, Taro\" <t@example.jp>"},
        {"quoted_name_keeps_its_escapes", "\"A \\\"B\\\" C.\" <t@example.jp>",
         "\"A \\\"B\\\" C.\" <t@example.jp>"},
        {"name_that_looks_encoded_is_quoted", "=?x?= <t@example.jp>", "\"=?x?=\" <t@example.jp>"},
        {"brackets_without_a_name", "<t@example.jp>", "t@example.jp"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MailboxHeader(c.setting), c.header) << c.name;
    }

    // Japanese names (UTF-8, or CP932 from an old settings file) become encoded words before the address.
    for (const std::string& name : {std::string("棚卸 担当"), Utf8ToCp932("棚卸 担当")}) {
        const std::string header = MailboxHeader(name + " <tana@example.jp>");
        const size_t open = header.rfind(" <");
        ASSERT_NE(open, std::string::npos) << header;
        EXPECT_EQ(header.substr(open), " <tana@example.jp>");
        EXPECT_EQ(DecodeEncodedWords(header.substr(0, open)), "棚卸 担当");
    }

    const auto headers = BuildMailHeaders({"事務所 <office@example.jp>", "ｹﾞｻﾗ <gathra@example.jp>", "",
                                           "Mon, 07 Dec 2026 14:42:53 +0900", "<1@example.jp>"});
    ASSERT_EQ(headers.size(), 5u);
    EXPECT_EQ(headers[2], "From: =?UTF-8?B?" + EncodeBase64ForTest("ｹﾞｻﾗ") + "?= <gathra@example.jp>");
    EXPECT_EQ(headers[3], "To: =?UTF-8?B?" + EncodeBase64ForTest("事務所") + "?= <office@example.jp>");
    for (const std::string& line : headers) {
        for (const char c : line) {
            EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << line;
        }
    }
}

TEST(MailSubject, PlainAsciiStaysEverythingElseBecomesEncodedWords) {
    EXPECT_EQ(EncodeHeaderText(""), "");
    EXPECT_EQ(EncodeHeaderText("Daily upload T01"), "Daily upload T01");

    const std::vector<std::string> encoded{
        "棚卸",
        "ｱｯﾌﾟﾛｰﾄﾞ完了",
        "=?UTF-8?B?YQ==?=",  // looks encoded: must not be decoded by the reader
        "tab\there",
        std::string(69, 'x'),  // too long for one line unencoded
        // Long mixed text: several words, none splitting a character.
        "棚卸ﾃﾞｰﾀ 12月分 (端末T01) 本日の受信結果をお送りします。😀 ご確認ください。よろしくお願いします。",
    };
    for (const auto& text : encoded) {
        SCOPED_TRACE(text);
        const std::string value = EncodeHeaderText(text);
        EXPECT_EQ(value.rfind("=?UTF-8?B?", 0), 0u);
        EXPECT_EQ(DecodeEncodedWords(value), text);
        for (char c : value) {
            EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
        }
    }
    EXPECT_GE(std::count(encoded.back().begin(), encoded.back().end(), ' '), 1);
    EXPECT_NE(EncodeHeaderText(encoded.back()).find("\r\n "), std::string::npos) << "long subject not folded";
}

TEST(MailSubject, Cp932TextIsConvertedNotSentAsBrokenUtf8) {
    const std::string cp932 = "\x92\x49\x89\xB5";  // 棚卸 in CP932
    EXPECT_EQ(DecodeEncodedWords(EncodeHeaderText(cp932)), "棚卸");
}

TEST(MailAttachmentName, QuotedAsciiOrRfc2231PercentEncoded) {
    EXPECT_EQ(FileNameParameter("filename", "T01_20261207.txt"), "; filename=\"T01_20261207.txt\"");
    EXPECT_EQ(FileNameParameter("filename", "a b.xls"), "; filename=\"a b.xls\"");
    EXPECT_EQ(FileNameParameter("filename", "棚.txt"), "; filename*=UTF-8''%E6%A3%9A.txt");
    EXPECT_EQ(FileNameParameter("name", "say\"hi\".txt"), "; name*=UTF-8''say%22hi%22.txt");
    EXPECT_EQ(FileNameParameter("filename", "100%.txt"), "; filename=\"100%.txt\"");
    EXPECT_EQ(FileNameParameter("filename", "棚%.txt"), "; filename*=UTF-8''%E6%A3%9A%25.txt");
}

TEST(MailHeaders, DateAndMessageId) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_wday = 1;
    t.tm_hour = 14;
    t.tm_min = 2;
    t.tm_sec = 3;
    EXPECT_EQ(FormatMailDate(t, 9 * 3600), "Mon, 07 Dec 2026 14:02:03 +0900");
    EXPECT_EQ(FormatMailDate(t, -(3 * 3600 + 30 * 60)), "Mon, 07 Dec 2026 14:02:03 -0330");
    EXPECT_EQ(FormatMailDate(t, 0), "Mon, 07 Dec 2026 14:02:03 +0000");

    // A domain that could break the id falls back.
    EXPECT_EQ(MakeMessageId("1.2.3", "ex>ample"), "<1.2.3@localhost>");
}

}  // namespace
