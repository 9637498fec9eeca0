#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Building blocks of the mail that carries a stored upload: the header texts, the encodings a
// Japanese subject and file name need, and the checks that keep settings texts from reaching the
// SMTP dialogue unescaped. Everything here is pure, so the wire format is tested without a server.

// A failure of the mail dispatch: what the operator sees after "宛 ﾒｰﾙ登録失敗:".
struct MailFailure {
    long Number = 0;
    std::string Description;
    std::string Source;  // the failing component
};

// Own failure numbers. libcurl's codes (below 1000) are passed on unchanged for transfer failures.
enum : long {
    kMailErrorLineBreak = 1001,  // CR or LF in the recipient, the sender or the subject
    kMailErrorBadAddress =
        1002,                    // an empty address, control characters, or "<", ">" or blanks in the address
    kMailErrorBadServer = 1003,  // MailServer empty or not "host" / "host:port"
    kMailErrorAttachment = 1004,  // the stored file cannot be read
    kMailErrorSetup = 1005,       // libcurl could not be set up
    kMailErrorOption = 1006,      // libcurl refused an option (one this build of the library lacks)
};

// Source names: our own checks and the SMTP library.
inline constexpr const char* kMailSourceGathra = "[Gathra.Mail]";
inline constexpr const char* kMailSourceCurl = "[libcurl]";

// "<number> <description><source>": the number in decimal, one blank, the description and the source
// directly after it. The source names are bracketed so the join stays readable.
std::string FormatMailError(const MailFailure& failure);

// The SMTP server of MailServer: "host" or "host:port" (port 25 when none is given); an IPv6 address
// is written in brackets ("[::1]:2525"). Blanks around the text are ignored. Host names are limited to
// letters, digits, '-', '.' and '_' so that nothing else can reach the URL.
struct SmtpServer {
    std::string Host;  // without brackets
    uint16_t Port = 25;
    bool IsIpv6 = false;
};
// `defaultPort` is the port when the text names none: 25, or 465 for implicit TLS.
std::optional<SmtpServer> ParseMailServer(std::string_view text, uint16_t defaultPort = 25);

// Why MailServer names no server: empty, or not "host" / "host:port"; empty when it names one.
std::string MailServerSettingProblem(std::string_view text);

// "smtp://host:port/" (with `implicitTls` "smtps://") plus the greeting domain, brackets around an
// IPv6 host.
std::string SmtpUrl(const SmtpServer& server, std::string_view greetingDomain, bool implicitTls = false);

// Refuses settings texts that could add header lines or SMTP commands: a CR or LF anywhere in the
// recipient, sender or subject, an empty address, other control characters in an address, and an
// address that ParseMailAddress does not accept (it would carry more than one address into the envelope).
std::optional<MailFailure> CheckMailTexts(std::string_view to, std::string_view from,
                                          std::string_view subject);

// RFC 2047 form of an unstructured header value (the subject): printable ASCII that cannot be
// mistaken for an encoded word stays as it is; anything else becomes UTF-8 "B" encoded words of at
// most 75 characters each, split between characters, joined by CRLF and a blank (a folded header line).
// An empty value stays empty. Text that is not valid UTF-8 is taken as CP932 and converted.
std::string EncodeHeaderText(std::string_view utf8);

// The file-name parameter (RFC 2231) of a Content-Disposition or Content-Type header, including the
// leading "; ": `filename="report.txt"` for plain ASCII, otherwise the UTF-8 percent-encoded
// `filename*=UTF-8''...`, split into numbered continuations (`filename*0*=`, `filename*1*=`, ...) on
// folded lines when it is long.
std::string FileNameParameter(std::string_view parameter, std::string_view utf8Name);

// The last path component ("/" separated).
std::string BaseName(std::string_view path);

// RFC 5322 date: "Mon, 07 Dec 2026 14:42:53 +0900" for a broken-down local time and its offset
// from UTC in seconds.
std::string FormatMailDate(const std::tm& local, long utcOffsetSeconds);

// "<unique@domain>" for the Message-ID header. `domain` falls back to "localhost" when it is empty
// or holds characters a message id cannot carry.
std::string MakeMessageId(std::string_view unique, std::string_view domain);

// A recipient or sender setting taken apart: "user@example.jp", or "Name <user@example.jp>" with the name
// optionally in double quotes. Refused (nullopt): an empty address; "<", ">", blanks or control characters
// in the address; a "<" without its ">"; anything but blanks after the ">"; ">" in the name.
struct MailAddress {
    std::string DisplayName;  // without quotes; may be empty
    std::string Address;
};
std::optional<MailAddress> ParseMailAddress(std::string_view setting);

// The From or To header value of a setting: the bare address, or the display name and the address in
// angle brackets. A name that is not printable ASCII becomes RFC 2047 encoded words (CP932 text is
// converted); an ASCII name with characters that would end or split the phrase is quoted. A setting
// that ParseMailAddress refuses is returned as it is (CheckMailTexts refuses it before sending).
std::string MailboxHeader(std::string_view setting);

// The bare address for the SMTP envelope: the text between "<" and ">" when the setting has the form
// "Name <user@example.jp>", otherwise the setting without surrounding blanks.
std::string EnvelopeAddress(std::string_view address);

// The domain part of an address ("user@example.jp" → "example.jp"), empty when there is none.
std::string AddressDomain(std::string_view address);

// The top-level header lines of the message (no trailing CRLF each): Date, Message-ID, From, To,
// Subject. The Subject line is present with an empty value when the subject is empty.
struct MailHeaderInput {
    std::string To;
    std::string From;
    std::string Subject;  // UTF-8
    std::string Date;     // already formatted
    std::string MessageId;
};
std::vector<std::string> BuildMailHeaders(const MailHeaderInput& input);
