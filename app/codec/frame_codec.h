#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "codec/checksum_coverage.h"
#include "codec/cp932_chars.h"
#include "codec/link_api.h"

// Results of CheckFrame.
enum class FrameCheck { Ok, FormatError, ChecksumError };

// Size of the codec's receive buffer: a line, its CR included, must fit in it with its NUL.
inline constexpr int kReceiveBufferSize = 256;

// Lines and frames are CP932 byte strings; positions count CP932 characters.

// Two upper-case hexadecimal digits: the sum of the bytes of `text` modulo 256.
std::string FrameChecksum(std::string_view text);

// Validates `line` as a frame of type `type` whose checksum adds up the bytes that `coverage` names.
// Returns one of the three FrameChecks.
FrameCheck CheckFrame(std::string_view line, char type, ChecksumCoverage coverage);

// Sends `text` + CR through WriteIrCom. Returns false when the write failed (WriteIrCom returned 0), so
// the caller can ask whether the device is gone.
bool SendLine(const LinkApi& link, std::string_view text);

// Receives one line: its text without the CR, or the empty text on a time-out or a line that does not
// fit the receive buffer.
std::string ReceiveLine(const LinkApi& link);
