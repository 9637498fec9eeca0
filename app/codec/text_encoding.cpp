#include "codec/text_encoding.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

namespace {

// One iconv conversion descriptor, closed on scope exit.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts as much of `in` as possible into `out`; returns false at an invalid or incomplete
    // sequence, leaving `in` at that sequence.
    bool Convert(std::string_view& in, std::string& out) {
        char buffer[1024];
        while (!in.empty()) {
            char* src = const_cast<char*>(in.data());
            size_t srcLeft = in.size();
            char* dst = buffer;
            size_t dstLeft = sizeof buffer;
            const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
            out.append(buffer, static_cast<size_t>(dst - buffer));
            in.remove_prefix(in.size() - srcLeft);
            if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
                return false;
            }
        }
        return true;
    }

private:
    iconv_t cd_;
};

size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t need = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return need <= text.size() ? need : text.size();
}

}  // namespace

std::string Cp932ToUtf8(std::string_view cp932) {
    std::string out;
    Converter conv("UTF-8", "CP932");
    if (!conv.ok()) {
        return std::string(cp932);
    }
    while (!conv.Convert(cp932, out)) {
        // Skip one invalid character: a lead byte with its (bad) trail byte counts as one.
        const auto lead = static_cast<unsigned char>(cp932[0]);
        const bool isLead = (lead >= 0x81 && lead <= 0x9F) || (lead >= 0xE0 && lead <= 0xFC);
        const size_t skip = (isLead && cp932.size() >= 2) ? 2 : 1;
        out += "\xEF\xBF\xBD";
        cp932.remove_prefix(skip);
    }
    return out;
}

std::string Utf8ToCp932(std::string_view utf8, bool* lossless) {
    std::string out;
    bool clean = true;
    Converter conv("CP932", "UTF-8");
    if (!conv.ok()) {
        if (lossless != nullptr) {
            *lossless = false;
        }
        return std::string(utf8);
    }
    while (!conv.Convert(utf8, out)) {
        clean = false;
        out += '?';
        utf8.remove_prefix(Utf8SequenceLength(utf8));
    }
    if (lossless != nullptr) {
        *lossless = clean;
    }
    return out;
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
