// The mail header encoders over arbitrary setting texts. The first byte picks the texts' roles; the rest
// is cut at the first 0x00 into a recipient (or subject) and a file name. Whatever passes the checks
// must come out as header text that cannot start a new header line or an SMTP command: 7-bit bytes,
// and a line break only as a fold (CR LF followed by a blank or a tab).
#include <cstdlib>

#include "fuzz_support.h"
#include "mail/mail_message.h"

namespace {

// `sevenBit`: the text is an encoder's output and must be plain ASCII. An address may carry 8-bit bytes
// (the server judges those), but never a NUL or a line break that is not a fold.
void RequireHeaderSafe(std::string_view text, bool sevenBit = true) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((sevenBit && byte >= 0x80) || byte == 0) {
            std::abort();
        }
        if (byte == '\r') {
            const bool fold = text.substr(i).starts_with("\r\n ") || text.substr(i).starts_with("\r\n\t");
            if (!fold) {
                std::abort();
            }
            ++i;  // the LF of the fold
        } else if (byte == '\n') {
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest = AsText(data + 1, size - 1);
    const size_t cut = rest.find('\0');
    const std::string_view first = rest.substr(0, cut);
    const std::string_view second = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);

    RequireHeaderSafe(EncodeHeaderText(first));
    RequireHeaderSafe(FileNameParameter("filename", second));

    const bool asSender = (data[0] & 1) != 0;
    const std::string_view to = asSender ? "user@example.jp" : first;
    const std::string_view from = asSender ? first : "gathra@example.jp";
    if (!CheckMailTexts(to, from, second).has_value()) {
        RequireHeaderSafe(MailboxHeader(first), false);
        const std::string envelope = EnvelopeAddress(first);
        for (const char c : envelope) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= 0x20 || byte == 0x7F || c == '<' || c == '>') {
                std::abort();
            }
        }
    }
    (void)ParseMailServer(first);
    return 0;
}
