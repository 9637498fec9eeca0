#pragma once

#include <termios.h>

#include <memory>

#include "serial_port.h"

// The POSIX platform of the link, and the calls it closes a device with, which tests replace to play a
// device that stalls.
namespace quorlin {

class PosixPlatform final : public Platform {
public:
    constexpr PosixPlatform() = default;

    // Port n is <library folder>/ports/COM<n> when that entry exists (even a dangling link), else
    // /dev/ttyS<n-1>; opened non-blocking and locked with flock(LOCK_EX|LOCK_NB).
    std::unique_ptr<SerialPort> OpenPort(int32_t number) override;
    Clock::time_point Now() override;
    // Sleeps on CLOCK_MONOTONIC (resuming after signals) and spins only for the last
    // kSpinBeforeDeadline, so the wake-up lands on time whatever the thread's timer slack.
    void SleepUntil(Clock::time_point when) override;
};

// What closing a device takes from the system. A driver may hold close() until its output has gone out
// (a stalled USB converter for up to 30 s, its closing delay), and tcdrain() has no time-out at all, so
// closing waits for pending output only as long as that output needs at the line speed (DrainBound),
// discards what is left then, restores the device's own settings at once, and leaves the close itself to a
// helper thread that the caller waits for only briefly (kCloseGrace).
class CloseCalls {
public:
    // Bytes written and not yet sent (TIOCOUTQ, and the transmitter where the driver tells); -1 when
    // the device cannot tell.
    virtual int PendingOutput(int fd) = 0;
    virtual void DiscardOutput(int fd) = 0;                                     // tcflush(TCOFLUSH)
    virtual void SetAttributes(int fd, int when, const termios& settings) = 0;  // tcsetattr
    virtual void Close(int fd) = 0;
    virtual Clock::time_point Now() = 0;
    virtual void SleepUntil(Clock::time_point when) = 0;

protected:
    ~CloseCalls() = default;
};

// The real calls.
CloseCalls& SystemCloseCalls();

// Closes `fd` as described at CloseCalls: `saved` (when not null) is restored, `bits_per_second` is the
// line speed the port ran at (0 when none was set: nothing is waited for).
void CloseDevice(int fd, const termios* saved, int32_t bits_per_second, CloseCalls& calls);

// Wraps an open device (a terminal the caller opened and locked) as a port that closes through `calls`.
std::unique_ptr<SerialPort> AdoptDevice(int fd, CloseCalls& calls = SystemCloseCalls());

}  // namespace quorlin
