#include "codec/frame_codec.h"

#include <algorithm>
#include <array>
#include <vector>

namespace {

constexpr char kStart = '^';
constexpr char kSeparator = '*';
constexpr char kCarriageReturn = '\r';

// Byte offsets of the characters of `text`, plus one past the end.
std::vector<size_t> CharacterOffsets(std::string_view text) {
    std::vector<size_t> offsets;
    offsets.reserve(text.size() + 1);
    size_t at = 0;
    while (at < text.size()) {
        offsets.push_back(at);
        at = NextCp932Char(text, at);
    }
    offsets.push_back(text.size());
    return offsets;
}

}  // namespace

std::string FrameChecksum(std::string_view text) {
    // The sum of the CP932 bytes modulo 256; a two-byte character contributes both of its bytes.
    unsigned sum = 0;
    for (const char byte : text) {
        sum = (sum + static_cast<unsigned char>(byte)) & 0xFFu;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string{kHex[sum >> 4], kHex[sum & 0x0F]};
}

FrameCheck CheckFrame(std::string_view line, char type, ChecksumCoverage coverage) {
    const std::vector<size_t> offsets = CharacterOffsets(line);
    const size_t length = offsets.size() - 1;  // in characters
    if (length < 3) {
        return FrameCheck::FormatError;
    }
    // Position p (1-based) spans bytes offsets[p-1] .. offsets[p].
    auto character = [&](size_t position) {
        return line.substr(offsets[position - 1], offsets[position] - offsets[position - 1]);
    };
    if (character(1) != std::string_view(&kStart, 1) || character(2) != std::string_view(&type, 1) ||
        character(length - 2) != std::string_view(&kSeparator, 1)) {
        return FrameCheck::FormatError;
    }

    // WholeFrame covers "^" up to and including "*"; any other value starts at the payload. On a frame as
    // short as four characters (possible only when the type is "*" itself) the payload start lies past
    // the separator and the covered text is empty.
    const size_t coveredEnd = offsets[length - 2];
    const size_t coveredBegin =
        coverage == ChecksumCoverage::WholeFrame ? 0 : std::min(offsets[2], coveredEnd);
    const std::string expected = FrameChecksum(line.substr(coveredBegin, coveredEnd - coveredBegin));
    const std::string_view sent = line.substr(offsets[length - 2]);
    return sent == expected ? FrameCheck::Ok : FrameCheck::ChecksumError;
}

bool SendLine(const LinkApi& link, std::string_view text) {
    if (link.WriteIrCom == nullptr) {
        return false;
    }
    std::string bytes(text);
    bytes += kCarriageReturn;
    return link.WriteIrCom(bytes.c_str()) != 0;
}

std::string ReceiveLine(const LinkApi& link) {
    if (link.vbReadIrCom == nullptr) {
        return {};
    }
    // One spare byte past the receive buffer stays zero, so even a misbehaving library that fills the
    // whole buffer leaves a terminated text behind.
    std::array<char, kReceiveBufferSize + 1> buffer{};
    const int32_t count = link.vbReadIrCom(buffer.data());

    // A time-out, or a count that cannot describe a line inside the buffer (its CR and a NUL included),
    // is a failed read.
    if (count <= 1 || count > kReceiveBufferSize - 1) {
        return {};
    }
    // The text is the line without its CR. Walking characters up to the CR's byte position and keeping
    // only the bytes before it (a lead byte directly before the CR keeps itself, never the CR) comes to
    // exactly the first count - 1 bytes.
    return std::string(buffer.data(), static_cast<size_t>(count - 1));
}
