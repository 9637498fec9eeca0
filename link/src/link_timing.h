#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

// The fixed numbers of the link and the little arithmetic on them. Nothing here touches a device, so
// all of it is unit-tested on its own.
namespace quorlin {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

inline constexpr int32_t kFirstPort = 1;
inline constexpr int32_t kLastPort = 256;

// A line read gives up this long after the call began.
inline constexpr Millis kReadTimeout{500};
// The terminal gets at least this gap between the start of a write call and the first byte on the wire.
inline constexpr Millis kWriteSpacing{2};
// Every step of the line and adapter set-up is followed by this wait so the hardware can settle.
inline constexpr Millis kSettleDelay{100};
// A probe read that fails outright (not one that finds nothing) is retried for this long.
inline constexpr Millis kProbeRetryWindow{100};
// Pause between two failed probe reads, so a dead device is not hammered.
inline constexpr Millis kProbeRetryPause{10};
// Write time-out: this much per byte plus a constant.
inline constexpr Millis kWriteTimeoutPerByte{5};
inline constexpr Millis kWriteTimeoutConstant{50};

// Closing waits for pending output no longer than its time on the wire plus this margin, and for the
// close call itself no longer than kCloseGrace.
inline constexpr Millis kDrainMargin{100};
inline constexpr Millis kCloseGrace{50};
// A sleep towards a deadline that needs to be kept closely (the write spacing) spins at most this long
// at its end, so a late wake-up from the timer cannot stretch it.
inline constexpr std::chrono::microseconds kSpinBeforeDeadline{100};

// A network port: resolving its host name and connecting end within kConnectTimeout; the server gets
// kServerReplyTimeout for each answer it owes (the option negotiation, a line setting). A connection
// whose data stays unacknowledged for kUnacknowledgedLimit is dead (TCP_USER_TIMEOUT); a quiet one is
// probed by keep-alive after kKeepAliveIdle, kKeepAliveProbes times kKeepAliveInterval apart, so a dead
// server is found within about the same time either way.
inline constexpr Millis kConnectTimeout{5000};
inline constexpr Millis kServerReplyTimeout{2000};
inline constexpr Millis kUnacknowledgedLimit{25000};
inline constexpr std::chrono::seconds kKeepAliveIdle{10};
inline constexpr std::chrono::seconds kKeepAliveInterval{5};
inline constexpr int kKeepAliveProbes = 3;
// The margin a network port's drain adds to the wire time of what it wrote last.
inline constexpr Millis kNetworkDrainMargin{20};

// A read call asks the device for at most this many bytes.
inline constexpr std::size_t kReadChunk = 100;

// Adapter command bytes.
inline constexpr char kProbeByte = 0x0F;
inline constexpr char kSpeedCommandStart = 0x07;
inline constexpr char kSpeedCommandEnd = 'Q';

// Adapter probing tries these speeds, in this order, and keeps the first that answers.
inline constexpr std::array<int32_t, 5> kProbeOrder{9600, 38400, 115200, 57600, 19200};

// A supported line speed and the adapter's code byte for it.
struct SpeedChoice {
    int32_t bits_per_second = 9600;
    char code = '2';
};

// The speed a requested value really opens at: the five supported speeds stand, anything else is 9600.
SpeedChoice ChooseSpeed(int32_t requested);

bool IsValidPortNumber(int32_t port);

// How long writing `byte_count` bytes may take once the write has begun (saturates instead of
// overflowing for absurd sizes).
Clock::duration WriteTimeout(std::size_t byte_count);

// How long closing may wait for `pending_bytes` still to go out at `bits_per_second` (10 bits a byte,
// start and stop bits included) before it discards them.
Clock::duration DrainBound(std::size_t pending_bytes, int32_t bits_per_second);

// Time left until `deadline`, never negative.
Clock::duration Remaining(Clock::time_point now, Clock::time_point deadline);

}  // namespace quorlin
