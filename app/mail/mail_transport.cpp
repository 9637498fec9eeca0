#include "mail/mail_transport.h"
#include "common/file_ops.h"
#include "common/system_error.h"
#include "common/visible_text.h"

#include <curl/curl.h>
#include <fcntl.h>
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
#include <vector>

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
using EasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;
using MimeHandle = std::unique_ptr<curl_mime, CurlMimeDeleter>;

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

// The attachment, read through FileOps() as every file of an upload is, in pieces of 64 KiB whatever
// libcurl asks for at a time.
struct AttachmentFile {
    FileHandle File;
    std::vector<char> Piece = std::vector<char>(65536);
    size_t At = 0;    // the next byte of Piece to hand over
    size_t Held = 0;  // the bytes of Piece read
};

size_t ReadAttachment(char* buffer, size_t size, size_t items, void* user) {
    auto& file = *static_cast<AttachmentFile*>(user);
    if (file.At == file.Held) {
        ssize_t got = -1;
        while ((got = FileOps().Read(file.File.Get(), file.Piece.data(), file.Piece.size())) < 0 &&
               errno == EINTR) {
        }
        if (got < 0) {
            return CURL_READFUNC_ABORT;
        }
        file.At = 0;
        file.Held = static_cast<size_t>(got);
    }
    const size_t count = std::min(size * items, file.Held - file.At);
    std::memcpy(buffer, file.Piece.data() + file.At, count);
    file.At += count;
    return count;
}

int SeekAttachment(void* user, curl_off_t offset, int origin) {
    auto& file = *static_cast<AttachmentFile*>(user);
    file.At = file.Held = 0;
    return ::lseek(file.File.Get(), static_cast<off_t>(offset), origin) >= 0 ? CURL_SEEKFUNC_OK
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

// libcurl's progress callback: a non-zero answer aborts the transfer with CURLE_ABORTED_BY_CALLBACK.
int AskKeepGoing(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto& keepGoing = *static_cast<const std::function<bool()>*>(user);
    return keepGoing() ? 0 : 1;
}

std::optional<MailFailure> OptionFailure(const char* name, CURLcode code) {
    if (code == CURLE_OK) {
        return std::nullopt;
    }
    return Own(kMailErrorOption, std::string("SMTP の設定 ") + name + " をﾗｲﾌﾞﾗﾘが受け付けません (" +
                                     curl_easy_strerror(code) + ")");
}

// Opens the attachment once; the mail streams it from this handle, so the file checked is the file sent.
std::optional<MailFailure> OpenAttachment(const std::string& path, AttachmentFile& file, curl_off_t& size) {
    if (path.empty()) {
        return Own(kMailErrorAttachment, "添付ﾌｧｲﾙが指定されていません");
    }
    // Only a regular file is attached, and a named pipe in its place does not hold the open.
    file.File.Reset(OpenRegularFile(path, O_RDONLY | O_CLOEXEC, 0));
    struct stat info {};
    const bool opened = file.File.IsOpen() && fstat(file.File.Get(), &info) == 0;
    if (!opened) {
        const int error = errno;
        return Own(kMailErrorAttachment,
                   "添付ﾌｧｲﾙを読めません: " + path + " (" + SystemErrorText(error) + ")");
    }
    size = info.st_size;
    return std::nullopt;
}

// One mail's libcurl handles and everything they point at while the mail is sent. Members are destroyed
// in reverse order, so the easy handle is cleaned up first: the MIME structure, the lists it was given
// and the buffers it writes to must outlive the easy handle that uses them.
struct SmtpTransfer {
    StringList Headers;
    StringList AttachmentHeaders;
    StringList Recipients;
    MimeHandle Mime;
    // Written by libcurl up to its cleanup (the QUIT at disconnect is traced too).
    char ErrorBuffer[CURL_ERROR_SIZE] = {};
    ReplyTrace Trace;
    std::function<bool()> KeepGoing;  // asked by the progress callback
    EasyHandle Easy;
};

// The message: the header lines, an empty text body and the attachment streamed from `file` in base64,
// and the envelope's recipient. False when libcurl cannot take a part of it.
bool BuildMessage(SmtpTransfer& transfer, const MailRequest& request, AttachmentFile* file, curl_off_t size) {
    const std::string fileName =
        request.AttachmentName.empty() ? BaseName(request.AttachmentPath) : request.AttachmentName;
    const std::string contentType =
        request.AttachmentType.empty() ? "application/octet-stream" : request.AttachmentType;
    MailHeaderInput headerInput{request.To, request.From, request.Subject, NowAsMailDate(),
                                MakeMessageId(UniquePart(), AddressDomain(request.From))};
    for (const std::string& line : BuildMailHeaders(headerInput)) {
        if (!transfer.Headers.Append(line)) {
            return false;
        }
    }
    transfer.Mime.reset(curl_mime_init(transfer.Easy.get()));
    curl_mimepart* body = transfer.Mime ? curl_mime_addpart(transfer.Mime.get()) : nullptr;
    curl_mimepart* attachment = transfer.Mime ? curl_mime_addpart(transfer.Mime.get()) : nullptr;
    return body != nullptr && attachment != nullptr &&
           // The message body is the empty text.
           curl_mime_data(body, "", 0) == CURLE_OK &&
           curl_mime_type(body, "text/plain; charset=UTF-8") == CURLE_OK &&
           curl_mime_encoder(body, "7bit") == CURLE_OK &&
           curl_mime_data_cb(attachment, size, ReadAttachment, SeekAttachment, nullptr, file) == CURLE_OK &&
           curl_mime_encoder(attachment, "base64") == CURLE_OK &&
           transfer.AttachmentHeaders.Append("Content-Type: " + contentType +
                                             FileNameParameter("name", fileName)) &&
           transfer.AttachmentHeaders.Append("Content-Disposition: attachment" +
                                             FileNameParameter("filename", fileName)) &&
           curl_mime_headers(attachment, transfer.AttachmentHeaders.get(), 0) == CURLE_OK &&
           transfer.Recipients.Append("<" + EnvelopeAddress(request.To) + ">");
}

// Sets every option of the transfer: the server, the envelope, the message, the time-outs for an
// attachment of `attachmentSize` bytes and the callbacks. The first option libcurl refuses is the failure.
std::optional<MailFailure> ApplyOptions(SmtpTransfer& transfer, const MailRequest& request,
                                        const MailLimits& limits, const SmtpServer& server,
                                        curl_off_t attachmentSize) {
    const long transferSeconds = TransferTimeoutFor(limits, attachmentSize);
    const bool implicitTls = request.Tls == MailTls::Implicit;
    const std::string url = SmtpUrl(server, LocalHostName(), implicitTls);
    const std::string envelopeFrom = "<" + EnvelopeAddress(request.From) + ">";
    transfer.KeepGoing = request.KeepGoing ? request.KeepGoing : [] { return true; };

    // Function pointers travel through the variadic curl_easy_setopt as they are; libcurl reads them back
    // with the same type.
    const auto function = [](auto* pointer) { return reinterpret_cast<const void*>(pointer); };
    struct Option {
        CURLoption Id;
        const char* Name;
        bool IsLong;
        long Long;
        const void* Pointer;
    };
    const auto number = [](CURLoption id, const char* name, long value) {
        return Option{id, name, true, value, nullptr};
    };
    const auto pointer = [](CURLoption id, const char* name, const void* value) {
        return Option{id, name, false, 0, value};
    };
    std::vector<Option> options{
        pointer(CURLOPT_URL, "CURLOPT_URL", url.c_str()),
        pointer(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", implicitTls ? "smtps" : "smtp"),
        // No proxy, whatever the environment says (all_proxy, smtp_proxy): the program's configuration is
        // the settings file alone.
        pointer(CURLOPT_PROXY, "CURLOPT_PROXY", ""),
        pointer(CURLOPT_NOPROXY, "CURLOPT_NOPROXY", "*"),
        // Signals stay allowed so that libcurl ignores SIGPIPE while it works: a write to a connection the
        // server has dropped must fail the send, not end the program. The resolver is threaded, so no
        // alarm signal is involved.
        number(CURLOPT_NOSIGNAL, "CURLOPT_NOSIGNAL", 0L),
        pointer(CURLOPT_ERRORBUFFER, "CURLOPT_ERRORBUFFER", transfer.ErrorBuffer),
        number(CURLOPT_CONNECTTIMEOUT, "CURLOPT_CONNECTTIMEOUT", limits.ConnectTimeoutSeconds),
        number(CURLOPT_TIMEOUT, "CURLOPT_TIMEOUT", transferSeconds),
        number(
            CURLOPT_USE_SSL, "CURLOPT_USE_SSL",
            static_cast<long>(request.Tls == MailTls::StartTlsWhenOffered ? CURLUSESSL_TRY : CURLUSESSL_ALL)),
        pointer(CURLOPT_MAIL_FROM, "CURLOPT_MAIL_FROM", envelopeFrom.c_str()),
        pointer(CURLOPT_MAIL_RCPT, "CURLOPT_MAIL_RCPT", transfer.Recipients.get()),
        pointer(CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", transfer.Headers.get()),
        pointer(CURLOPT_MIMEPOST, "CURLOPT_MIMEPOST", transfer.Mime.get()),
        pointer(CURLOPT_DEBUGFUNCTION, "CURLOPT_DEBUGFUNCTION", function(TraceReplies)),
        pointer(CURLOPT_DEBUGDATA, "CURLOPT_DEBUGDATA", &transfer.Trace),
        number(CURLOPT_VERBOSE, "CURLOPT_VERBOSE", 1L),  // feeds the reply trace; nothing is printed
        // The stop button, a close or SIGTERM cancel the mail through the progress callback.
        pointer(CURLOPT_XFERINFOFUNCTION, "CURLOPT_XFERINFOFUNCTION", function(AskKeepGoing)),
        pointer(CURLOPT_XFERINFODATA, "CURLOPT_XFERINFODATA", &transfer.KeepGoing),
        number(CURLOPT_NOPROGRESS, "CURLOPT_NOPROGRESS", 0L),
    };
    if (!limits.CaFile.empty()) {
        options.push_back(pointer(CURLOPT_CAINFO, "CURLOPT_CAINFO", limits.CaFile.c_str()));
    }
    CURL* easy = transfer.Easy.get();
    for (const Option& option : options) {
        auto refused = option.IsLong ? SetMailOption(easy, option.Id, option.Name, option.Long)
                                     : SetMailOption(easy, option.Id, option.Name, option.Pointer);
        if (refused) {
            return refused;
        }
    }
    return std::nullopt;
}

// A failed transfer in libcurl's words (its error buffer, else the text of its code), followed by the
// server's last refusal when there was one.
MailFailure DescribeFailure(CURLcode code, const SmtpTransfer& transfer) {
    std::string description =
        transfer.ErrorBuffer[0] != '\0' ? transfer.ErrorBuffer : curl_easy_strerror(code);
    if (code == CURLE_USE_SSL_FAILED) {
        description = "ｻｰﾊﾞｰが STARTTLS を提供しないため送信しません (" + description + ")";
    }
    while (!description.empty() && (description.back() == '\n' || description.back() == '\r')) {
        description.pop_back();
    }
    if (!transfer.Trace.LastRefusal.empty()) {
        description += " (ｻｰﾊﾞｰ応答: " + transfer.Trace.LastRefusal + ")";
    }
    // The server's words are outside text, shown on screens as they stand here.
    return MailFailure{static_cast<long>(code), VisibleText(description), kMailSourceCurl};
}

}  // namespace

long TransferTimeoutFor(const MailLimits& limits, long long attachmentBytes) {
    const long long grown =
        limits.TransferTimeoutSeconds + attachmentBytes / std::max<long>(1, limits.AttachmentBytesPerSecond);
    return static_cast<long>(std::min<long long>(grown, limits.MaxTransferTimeoutSeconds));
}

std::optional<MailFailure> SetMailOption(void* easy, int option, const char* name, long value) {
    return OptionFailure(name,
                         curl_easy_setopt(static_cast<CURL*>(easy), static_cast<CURLoption>(option), value));
}

std::optional<MailFailure> SetMailOption(void* easy, int option, const char* name, const void* value) {
    return OptionFailure(name,
                         curl_easy_setopt(static_cast<CURL*>(easy), static_cast<CURLoption>(option), value));
}

std::optional<MailFailure> SendMailOverSmtp(const MailRequest& request, const MailLimits& limits) {
    if (auto refused = CheckMailTexts(request.To, request.From, request.Subject)) {
        return refused;
    }
    const auto server = ParseMailServer(request.Server, request.Tls == MailTls::Implicit ? 465 : 25);
    if (!server) {
        return Own(kMailErrorBadServer, MailServerSettingProblem(request.Server));
    }
    AttachmentFile file;
    curl_off_t attachmentSize = 0;
    if (auto unreadable = OpenAttachment(request.AttachmentPath, file, attachmentSize)) {
        return unreadable;
    }

    SmtpTransfer transfer;
    GlobalInitOnce();
    transfer.Easy.reset(curl_easy_init());
    if (!transfer.Easy) {
        return Own(kMailErrorSetup, "SMTP の準備に失敗しました");
    }
    if (!BuildMessage(transfer, request, &file, attachmentSize)) {
        return Own(kMailErrorSetup, "ﾒｰﾙの組み立てに失敗しました");
    }
    if (auto refused = ApplyOptions(transfer, request, limits, *server, attachmentSize)) {
        return refused;
    }
    const CURLcode code = curl_easy_perform(transfer.Easy.get());
    if (code == CURLE_OK) {
        return std::nullopt;
    }
    return DescribeFailure(code, transfer);
}
