#include "output/mail_transport.h"

#include <curl/curl.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>

namespace {

struct CurlEasyDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct CurlMimeDeleter {
    void operator()(curl_mime* mime) const { curl_mime_free(mime); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using EasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;
using MimeHandle = std::unique_ptr<curl_mime, CurlMimeDeleter>;
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// A curl_slist owned in one piece; Append reports an allocation failure.
class StringList {
public:
    bool Append(const std::string& text) {
        curl_slist* grown = curl_slist_append(list_.get(), text.c_str());
        if (grown == nullptr) {
            return false;
        }
        list_.release();
        list_.reset(grown);
        return true;
    }
    curl_slist* get() const { return list_.get(); }

private:
    std::unique_ptr<curl_slist, SlistDeleter> list_;
};

void GlobalInitOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// The last refusal (a 4xx or 5xx reply line) the server sent, for the failure description. The
// session's final reply is the harmless "221" to QUIT, so it is not simply the last line.
struct ReplyTrace {
    std::string LastRefusal;
};

int TraceReplies(CURL*, curl_infotype type, char* data, size_t size, void* user) {
    if (type != CURLINFO_HEADER_IN) {
        return 0;
    }
    std::string line(data, size);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    for (char& c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            c = ' ';
        }
    }
    if (!line.empty() && (line[0] == '4' || line[0] == '5')) {
        static_cast<ReplyTrace*>(user)->LastRefusal = line;
    }
    return 0;
}

size_t ReadAttachment(char* buffer, size_t size, size_t items, void* user) {
    auto* file = static_cast<std::FILE*>(user);
    const size_t got = std::fread(buffer, 1, size * items, file);
    if (got == 0 && std::ferror(file)) {
        return CURL_READFUNC_ABORT;
    }
    return got;
}

int SeekAttachment(void* user, curl_off_t offset, int origin) {
    return std::fseek(static_cast<std::FILE*>(user), static_cast<long>(offset), origin) == 0
               ? CURL_SEEKFUNC_OK
               : CURL_SEEKFUNC_FAIL;
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

std::string NowAsMailDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return FormatMailDate(local, local.tm_gmtoff);
}

std::string UniquePart() {
    std::random_device device;
    const uint64_t random = (static_cast<uint64_t>(device()) << 32) | device();
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%lld.%016llx.%d", static_cast<long long>(std::time(nullptr)),
                  static_cast<unsigned long long>(random), static_cast<int>(getpid()));
    return buffer;
}

MailFailure Own(long number, std::string description) {
    return MailFailure{number, std::move(description), kMailSourceGathra};
}

}  // namespace

std::optional<MailFailure> SendMailOverSmtp(const MailRequest& request, const MailLimits& limits) {
    if (auto refused = CheckMailTexts(request.To, request.From, request.Subject)) {
        return refused;
    }
    const auto server = ParseMailServer(request.Server);
    if (!server) {
        return Own(kMailErrorBadServer,
                   request.Server.find_first_not_of(" \t") == std::string::npos
                       ? "ﾒｰﾙｻｰﾊﾞｰが指定されていません"
                       : "ﾒｰﾙｻｰﾊﾞｰの指定が正しくありません (ﾎｽﾄ名 または ﾎｽﾄ名:ﾎﾟｰﾄ番号)");
    }

    // The attachment is opened once here and streamed from this handle, so the file checked is the
    // file sent.
    if (request.AttachmentPath.empty()) {
        return Own(kMailErrorAttachment, "添付ﾌｧｲﾙが指定されていません");
    }
    FileHandle file(std::fopen(request.AttachmentPath.c_str(), "rb"));
    struct stat info {};
    const bool opened = file && fstat(fileno(file.get()), &info) == 0;
    if (!opened || !S_ISREG(info.st_mode)) {
        const int error = opened ? EISDIR : errno;
        return Own(kMailErrorAttachment,
                   "添付ﾌｧｲﾙを読めません: " + request.AttachmentPath + " (" + std::strerror(error) + ")");
    }
    const curl_off_t attachmentSize = info.st_size;

    // Declared before the easy handle, so that it is cleaned up first: a MIME structure, the lists it was
    // given and the buffers it writes to must outlive the easy handle that uses them.
    StringList headers;
    StringList attachmentHeaders;
    StringList recipients;
    MimeHandle mime;
    // Written by libcurl up to its cleanup (the QUIT at disconnect is traced too).
    char errorBuffer[CURL_ERROR_SIZE] = {};
    ReplyTrace trace;

    GlobalInitOnce();
    EasyHandle curl(curl_easy_init());
    if (!curl) {
        return Own(kMailErrorSetup, "SMTP の準備に失敗しました");
    }
    CURL* easy = curl.get();

    const std::string fileName = BaseName(request.AttachmentPath);
    MailHeaderInput headerInput{request.To, request.From, request.Subject, NowAsMailDate(),
                                MakeMessageId(UniquePart(), AddressDomain(request.From))};
    bool built = true;
    for (const std::string& line : BuildMailHeaders(headerInput)) {
        built = built && headers.Append(line);
    }

    mime.reset(curl_mime_init(easy));
    curl_mimepart* body = mime ? curl_mime_addpart(mime.get()) : nullptr;
    curl_mimepart* attachment = mime ? curl_mime_addpart(mime.get()) : nullptr;
    built = built && body != nullptr && attachment != nullptr;
    if (built) {
        // The message body is the empty text.
        built = curl_mime_data(body, "", 0) == CURLE_OK &&
                curl_mime_type(body, "text/plain; charset=UTF-8") == CURLE_OK &&
                curl_mime_encoder(body, "7bit") == CURLE_OK &&
                curl_mime_data_cb(attachment, attachmentSize, ReadAttachment, SeekAttachment, nullptr,
                                  file.get()) == CURLE_OK &&
                curl_mime_encoder(attachment, "base64") == CURLE_OK &&
                attachmentHeaders.Append("Content-Type: " + ContentTypeForPath(fileName) +
                                         FileNameParameter("name", fileName)) &&
                attachmentHeaders.Append("Content-Disposition: attachment" +
                                         FileNameParameter("filename", fileName)) &&
                curl_mime_headers(attachment, attachmentHeaders.get(), 0) == CURLE_OK;
    }
    built = built && recipients.Append("<" + EnvelopeAddress(request.To) + ">");
    if (!built) {
        return Own(kMailErrorSetup, "ﾒｰﾙの組み立てに失敗しました");
    }

    const long transferSeconds =
        limits.TransferTimeoutSeconds +
        static_cast<long>(attachmentSize / std::max<long>(1, limits.AttachmentBytesPerSecond));
    const std::string url = SmtpUrl(*server, LocalHostName());
    const std::string envelopeFrom = "<" + EnvelopeAddress(request.From) + ">";

    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "smtp");
    // Signals stay allowed so that libcurl ignores SIGPIPE while it works: a write to a connection the
    // server has dropped must fail the send, not end the program. The resolver is threaded, so no
    // alarm signal is involved.
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 0L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, limits.ConnectTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, transferSeconds);
    curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY));
    if (!limits.CaFile.empty()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, limits.CaFile.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_MAIL_FROM, envelopeFrom.c_str());
    curl_easy_setopt(easy, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(easy, CURLOPT_MIMEPOST, mime.get());
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, TraceReplies);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, &trace);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);  // feeds the reply trace; nothing is printed

    const CURLcode code = curl_easy_perform(easy);
    if (code == CURLE_OK) {
        return std::nullopt;
    }
    std::string description = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) {
        description.pop_back();
    }
    if (!trace.LastRefusal.empty()) {
        description += " (ｻｰﾊﾞｰ応答: " + trace.LastRefusal + ")";
    }
    return MailFailure{static_cast<long>(code), description, kMailSourceCurl};
}
