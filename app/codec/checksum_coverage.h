#pragma once

#include <cstdint>

// Which bytes a frame's checksum adds up (setting key CrcType). A stored value other than these two is
// kept as read and counts as Payload.
enum class ChecksumCoverage : int16_t {
    WholeFrame = 0,  // "^" up to and including "*"
    Payload = 1,     // the payload and "*"
};
