#include "link_timing.h"

#include <algorithm>

namespace quorlin {

SpeedChoice ChooseSpeed(int32_t requested) {
    switch (requested) {
        case 115200:
            return {115200, '6'};
        case 57600:
            return {57600, '5'};
        case 38400:
            return {38400, '4'};
        case 19200:
            return {19200, '3'};
        default:
            return {9600, '2'};
    }
}

bool IsValidPortNumber(int32_t port) {
    return port >= kFirstPort && port <= kLastPort;
}

Clock::duration WriteTimeout(std::size_t byte_count) {
    // A day is far beyond anything a serial line could need; it keeps the sum away from overflow.
    constexpr std::size_t kMaxBytes = 24 * 60 * 60 * 1000 / kWriteTimeoutPerByte.count();
    const auto bytes = static_cast<Millis::rep>(std::min(byte_count, kMaxBytes));
    return kWriteTimeoutPerByte * bytes + kWriteTimeoutConstant;
}

Clock::duration DrainBound(std::size_t pending_bytes, int32_t bits_per_second) {
    if (bits_per_second <= 0) {
        return kDrainMargin;
    }
    // Capped far above any output queue, so the product below cannot overflow.
    const auto bytes = static_cast<int64_t>(std::min<std::size_t>(pending_bytes, 1u << 30));
    const auto wire = std::chrono::microseconds(bytes * 10 * 1000000 / bits_per_second);
    return kDrainMargin + wire;
}

Clock::duration Remaining(Clock::time_point now, Clock::time_point deadline) {
    return deadline > now ? deadline - now : Clock::duration::zero();
}

}  // namespace quorlin
