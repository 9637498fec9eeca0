#include "codec/text_encoding.h"

#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "codec/cp932_chars.h"

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// The character set the converters open; changed only by the test seam. The generation tells each
// thread's cached converters that they must reopen.
std::mutex charsetMutex;
std::string charsetName = "CP932";
std::atomic<unsigned> charsetGeneration{0};

std::string CurrentCharset() {
    std::lock_guard<std::mutex> lock(charsetMutex);
    return charsetName;
}

// One iconv descriptor for one direction, opened on first use, kept for the thread's lifetime and closed
// with it. A failed open is retried at the next use.
class Converter {
public:
    explicit Converter(bool toUtf8) : toUtf8_(toUtf8) {}
    ~Converter() { Close(); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // The descriptor in its initial state, or kNoConverter when it cannot be opened.
    iconv_t Get() {
        const unsigned generation = charsetGeneration.load(std::memory_order_acquire);
        if (cd_ != kNoConverter && generation != generation_) {
            Close();
        }
        if (cd_ == kNoConverter) {
            const std::string charset = CurrentCharset();
            cd_ = toUtf8_ ? iconv_open("UTF-8", charset.c_str()) : iconv_open(charset.c_str(), "UTF-8");
            generation_ = generation;
        }
        if (cd_ != kNoConverter) {
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        return cd_;
    }

private:
    void Close() {
        if (cd_ != kNoConverter) {
            iconv_close(cd_);
            cd_ = kNoConverter;
        }
    }

    bool toUtf8_;
    iconv_t cd_ = kNoConverter;
    unsigned generation_ = 0;
};

Converter& Decoder() {
    thread_local Converter converter(true);
    return converter;
}

Converter& Encoder() {
    thread_local Converter converter(false);
    return converter;
}

// Converts `in` with `cd` into `out` (appending) until the end or an invalid or incomplete sequence;
// `in` is left at that sequence. True when all of `in` was converted. `out` grows when the estimate
// of the output size falls short.
bool Convert(iconv_t cd, std::string_view& in, std::string& out, size_t estimate) {
    while (!in.empty()) {
        const size_t used = out.size();
        out.resize(used + estimate + 16);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        const size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        out.resize(out.size() - dstLeft);
        in.remove_prefix(in.size() - srcLeft);
        if (rc != static_cast<size_t>(-1)) {
            return true;
        }
        if (errno != E2BIG) {
            return false;
        }
        estimate = in.size() * 2;
    }
    return true;
}

bool IsCp932TrailByte(unsigned char byte) {
    return byte >= 0x40 && byte <= 0xFC && byte != 0x7F;
}

// Bytes a decoder skips at an invalid or unassigned sequence at the start of `text`: a lead byte takes a
// trail byte with it only when that byte is a trail byte outside ASCII, so that no ASCII byte is hidden
// in a character that is not there.
size_t Cp932InvalidLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (!IsCp932LeadByte(lead) || text.size() < 2) {
        return 1;
    }
    const auto trail = static_cast<unsigned char>(text[1]);
    return IsCp932TrailByte(trail) && trail >= 0x80 ? 2 : 1;
}

size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t need = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    size_t length = 1;
    while (length < need && length < text.size() &&
           (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
        ++length;
    }
    return length;
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932, bool* converted) {
    std::string out;
    const iconv_t cd = Decoder().Get();
    if (converted != nullptr) {
        *converted = cd != kNoConverter;
    }
    if (cd == kNoConverter) {
        for (size_t at = 0; at < cp932.size(); at = NextCp932Char(cp932, at)) {
            const auto byte = static_cast<unsigned char>(cp932[at]);
            if (byte < 0x80) {
                out += static_cast<char>(byte);
            } else {
                out += kReplacement;
            }
        }
        return out;
    }
    out.reserve(cp932.size() * 3);
    // One character of CP932 is at most three bytes of UTF-8.
    while (!Convert(cd, cp932, out, cp932.size() * 3) && !cp932.empty()) {
        out += kReplacement;
        cp932.remove_prefix(Cp932InvalidLength(cp932));
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return out;
}

std::string Utf8ToCp932(std::string_view utf8, bool* lossless) {
    std::string out;
    bool clean = true;
    const iconv_t cd = Encoder().Get();
    if (cd == kNoConverter) {
        for (size_t at = 0; at < utf8.size(); at += Utf8SequenceLength(utf8.substr(at))) {
            const auto byte = static_cast<unsigned char>(utf8[at]);
            clean = clean && byte < 0x80;
            out += byte < 0x80 ? static_cast<char>(byte) : '?';
        }
    } else {
        out.reserve(utf8.size());
        // CP932 is never longer than the UTF-8 it comes from.
        while (!Convert(cd, utf8, out, utf8.size()) && !utf8.empty()) {
            clean = false;
            out += '?';
            utf8.remove_prefix(Utf8SequenceLength(utf8));
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    if (lossless != nullptr) {
        *lossless = clean;
    }
    return out;
}

bool Cp932ConvertersAvailable() {
    return Decoder().Get() != kNoConverter && Encoder().Get() != kNoConverter;
}

size_t Cp932Length(std::string_view utf8) {
    return Utf8ToCp932(utf8).size();
}

void SetCp932CharsetForTesting(std::string_view name) {
    {
        std::lock_guard<std::mutex> lock(charsetMutex);
        charsetName = name.empty() ? "CP932" : std::string(name);
    }
    charsetGeneration.fetch_add(1, std::memory_order_release);
}

bool IsValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size()) {
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (t & 0x3F);
        }
        const uint32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}
