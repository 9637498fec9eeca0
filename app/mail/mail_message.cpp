#include "mail/mail_message.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

#include "codec/text_encoding.h"
#include "common/blanks.h"

namespace {

constexpr std::string_view kToLabel = "宛先ﾒｰﾙｱﾄﾞﾚｽ(To)";
constexpr std::string_view kFromLabel = "差出人ﾒｰﾙｱﾄﾞﾚｽ(From)";
constexpr std::string_view kSubjectLabel = "件名";

// Bytes of UTF-8 text per encoded word: 42 bytes are 56 base64 characters, so "Subject: " and one
// word stay within the recommended 78 columns.
constexpr size_t kEncodedWordBytes = 42;
// Longest plain-ASCII subject left unencoded ("Subject: " + text within 78 columns).
constexpr size_t kPlainSubjectMax = 68;
// Percent-encoded characters per file-name continuation line.
constexpr size_t kParameterChunk = 60;

bool IsAsciiAlnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool IsHostChar(char c) {
    return IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_';
}

bool IsPrintableAscii(char c) {
    return c >= 0x20 && c <= 0x7E;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasControl(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::string Base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// Length of the UTF-8 character starting at text[0]; a stray byte counts as one.
size_t CharLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const size_t need = lead < 0xC0 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    return std::min(need, text.size());
}

// RFC 2231 attribute-char: everything else in a parameter value is percent-encoded.
bool IsAttributeChar(char c) {
    return IsAsciiAlnum(c) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
}

}  // namespace

std::string FormatMailError(const MailFailure& failure) {
    return std::to_string(failure.Number) + " " + failure.Description + failure.Source;
}

std::optional<SmtpServer> ParseMailServer(std::string_view text, uint16_t defaultPort) {
    text = TrimBlanks(text);
    if (text.empty()) {
        return std::nullopt;
    }
    SmtpServer server;
    server.Port = defaultPort;
    std::string_view host;
    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return std::nullopt;
            }
            const auto port = ParsePort(rest.substr(1));
            if (!port) {
                return std::nullopt;
            }
            server.Port = *port;
        }
        server.IsIpv6 = true;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        // A bare IPv6 address: no room for a port without brackets.
        host = text;
        server.IsIpv6 = true;
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string_view::npos) {
            const auto port = ParsePort(text.substr(colon + 1));
            if (!port) {
                return std::nullopt;
            }
            server.Port = *port;
        }
    }
    if (host.empty()) {
        return std::nullopt;
    }
    const bool hostOk = server.IsIpv6 ? std::all_of(host.begin(), host.end(),
                                                    [](char c) {
                                                        return std::isxdigit(static_cast<unsigned char>(c)) ||
                                                               c == ':' || c == '.';
                                                    })
                                      : std::all_of(host.begin(), host.end(), IsHostChar);
    if (!hostOk) {
        return std::nullopt;
    }
    server.Host = std::string(host);
    return server;
}

std::string MailServerSettingProblem(std::string_view text) {
    if (ParseMailServer(text)) {
        return {};
    }
    return text.find_first_not_of(" \t") == std::string_view::npos
               ? "ﾒｰﾙｻｰﾊﾞｰが指定されていません"
               : "ﾒｰﾙｻｰﾊﾞｰの指定が正しくありません (ﾎｽﾄ名 または ﾎｽﾄ名:ﾎﾟｰﾄ番号)";
}

std::string SmtpUrl(const SmtpServer& server, std::string_view greetingDomain, bool implicitTls) {
    std::string url = implicitTls ? "smtps://" : "smtp://";
    url += server.IsIpv6 ? "[" + server.Host + "]" : server.Host;
    url += ":" + std::to_string(server.Port) + "/";
    if (!greetingDomain.empty() && std::all_of(greetingDomain.begin(), greetingDomain.end(), IsHostChar)) {
        url += greetingDomain;
    }
    return url;
}

std::optional<MailFailure> CheckMailTexts(std::string_view to, std::string_view from,
                                          std::string_view subject) {
    const std::array<std::pair<std::string_view, std::string_view>, 3> fields{
        {{kToLabel, to}, {kFromLabel, from}, {kSubjectLabel, subject}}};
    for (const auto& [label, value] : fields) {
        if (HasLineBreak(value)) {
            return MailFailure{kMailErrorLineBreak,
                               std::string(label) + "に改行が含まれているため送信しません",
                               kMailSourceGathra};
        }
    }
    for (const auto& [label, value] : {fields[0], fields[1]}) {
        if (TrimBlanks(value).empty()) {
            return MailFailure{kMailErrorBadAddress, std::string(label) + "が空です", kMailSourceGathra};
        }
        if (HasControl(value)) {
            return MailFailure{kMailErrorBadAddress,
                               std::string(label) + "に制御文字が含まれているため送信しません",
                               kMailSourceGathra};
        }
        if (!ParseMailAddress(value)) {
            return MailFailure{
                kMailErrorBadAddress,
                std::string(label) + "のｱﾄﾞﾚｽに使えない文字(< > 空白)が含まれているため送信しません",
                kMailSourceGathra};
        }
    }
    return std::nullopt;
}

std::string EncodeHeaderText(std::string_view text) {
    const bool plain = text.size() <= kPlainSubjectMax &&
                       std::all_of(text.begin(), text.end(), IsPrintableAscii) &&
                       text.find("=?") == std::string_view::npos;
    if (plain) {
        return std::string(text);
    }
    const std::string utf8 = IsValidUtf8(text) ? std::string(text) : Cp932ToUtf8(text);
    std::string out;
    std::string_view rest = utf8;
    while (!rest.empty()) {
        size_t take = 0;
        while (take < rest.size()) {
            const size_t next = CharLength(rest.substr(take));
            if (take + next > kEncodedWordBytes && take > 0) {
                break;
            }
            take += next;
        }
        if (!out.empty()) {
            out += "\r\n ";
        }
        out += "=?UTF-8?B?" + Base64(rest.substr(0, take)) + "?=";
        rest.remove_prefix(take);
    }
    return out;
}

std::string FileNameParameter(std::string_view parameter, std::string_view utf8Name) {
    const bool plain = std::all_of(utf8Name.begin(), utf8Name.end(),
                                   [](char c) { return IsPrintableAscii(c) && c != '"' && c != '\\'; }) &&
                       utf8Name.size() <= kParameterChunk;
    if (plain) {
        return "; " + std::string(parameter) + "=\"" + std::string(utf8Name) + "\"";
    }
    std::vector<std::string> chunks(1);
    for (char c : utf8Name) {
        std::string piece;
        if (IsAttributeChar(c)) {
            piece = c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            piece = hex;
        }
        if (chunks.back().size() + piece.size() > kParameterChunk) {
            chunks.emplace_back();
        }
        chunks.back() += piece;
    }
    const std::string name(parameter);
    if (chunks.size() == 1) {
        return "; " + name + "*=UTF-8''" + chunks[0];
    }
    std::string out;
    for (size_t i = 0; i < chunks.size(); ++i) {
        out += ";\r\n\t" + name + "*" + std::to_string(i) + "*=" + (i == 0 ? "UTF-8''" : "") + chunks[i];
    }
    return out;
}

std::string BaseName(std::string_view path) {
    const size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string FormatMailDate(const std::tm& local, long utcOffsetSeconds) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char sign = utcOffsetSeconds < 0 ? '-' : '+';
    const long offsetMinutes = (utcOffsetSeconds < 0 ? -utcOffsetSeconds : utcOffsetSeconds) / 60;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[((local.tm_wday % 7) + 7) % 7], local.tm_mday,
                  kMonths[((local.tm_mon % 12) + 12) % 12], local.tm_year + 1900, local.tm_hour, local.tm_min,
                  local.tm_sec, sign, offsetMinutes / 60, offsetMinutes % 60);
    return buffer;
}

std::string MakeMessageId(std::string_view unique, std::string_view domain) {
    const bool domainOk = !domain.empty() && std::all_of(domain.begin(), domain.end(), IsHostChar);
    return "<" + std::string(unique) + "@" + (domainOk ? std::string(domain) : std::string("localhost")) +
           ">";
}

std::optional<MailAddress> ParseMailAddress(std::string_view setting) {
    setting = TrimBlanks(setting);
    MailAddress parts;
    std::string_view address = setting;
    const size_t open = setting.find('<');
    if (open != std::string_view::npos) {
        const size_t close = setting.find('>', open);
        if (close == std::string_view::npos || !TrimBlanks(setting.substr(close + 1)).empty()) {
            return std::nullopt;
        }
        address = TrimBlanks(setting.substr(open + 1, close - open - 1));
        std::string_view name = TrimBlanks(setting.substr(0, open));
        if (name.find('>') != std::string_view::npos) {
            return std::nullopt;
        }
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            name = name.substr(1, name.size() - 2);
            for (size_t i = 0; i < name.size(); ++i) {
                if (name[i] == '\\' && i + 1 < name.size()) {
                    ++i;
                }
                parts.DisplayName += name[i];
            }
        } else {
            parts.DisplayName = std::string(name);
        }
    }
    const bool usable =
        !address.empty() && !HasControl(address) && address.find_first_of("<> \t") == std::string_view::npos;
    if (!usable) {
        return std::nullopt;
    }
    parts.Address = std::string(address);
    return parts;
}

std::string MailboxHeader(std::string_view setting) {
    const auto parts = ParseMailAddress(setting);
    if (!parts) {
        return std::string(setting);
    }
    const std::string& name = parts->DisplayName;
    if (name.empty()) {
        return parts->Address;
    }
    std::string phrase;
    if (!std::all_of(name.begin(), name.end(), IsPrintableAscii)) {
        // Encoded words are always produced here, even for a short name.
        phrase = EncodeHeaderText(name);
    } else if (name.find_first_of("()<>[]:;@\\,.\"") != std::string::npos ||
               name.find("=?") != std::string::npos) {
        phrase = "\"";
        for (const char c : name) {
            if (c == '"' || c == '\\') {
                phrase += '\\';
            }
            phrase += c;
        }
        phrase += '"';
    } else {
        phrase = name;
    }
    return phrase + " <" + parts->Address + ">";
}

std::string EnvelopeAddress(std::string_view address) {
    const size_t open = address.rfind('<');
    if (open != std::string_view::npos) {
        const size_t close = address.find('>', open);
        if (close != std::string_view::npos) {
            return std::string(TrimBlanks(address.substr(open + 1, close - open - 1)));
        }
    }
    return std::string(TrimBlanks(address));
}

std::string AddressDomain(std::string_view address) {
    const std::string bare = EnvelopeAddress(address);
    const size_t at = bare.rfind('@');
    return at == std::string::npos ? std::string() : bare.substr(at + 1);
}

std::vector<std::string> BuildMailHeaders(const MailHeaderInput& input) {
    const std::string subject = EncodeHeaderText(input.Subject);
    return {
        "Date: " + input.Date,
        "Message-ID: " + input.MessageId,
        "From: " + MailboxHeader(input.From),
        "To: " + MailboxHeader(input.To),
        subject.empty() ? std::string("Subject:") : "Subject: " + subject,
    };
}
