#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>
#include <time.h>

#include <memory>

#include "serial_port.h"

// The POSIX platform of the link, and the system calls its ports make, which tests replace to play a
// device that stalls, fails or refuses.
namespace quorlin {

class PosixPlatform final : public Platform {
public:
    constexpr PosixPlatform() = default;

    // Port n is <library folder>/ports/COM<n> when that entry exists (even a dangling link), else
    // /dev/ttyS<n-1>; opened non-blocking, locked with flock(LOCK_EX|LOCK_NB), then adopted (AdoptDevice).
    std::unique_ptr<SerialPort> OpenPort(int32_t number) override;
    Clock::time_point Now() override;
    // Sleeps on CLOCK_MONOTONIC (resuming after signals) and spins only for the last
    // kSpinBeforeDeadline, so the wake-up lands on time whatever the thread's timer slack.
    void SleepUntil(Clock::time_point when) override;
};

// What a port takes from the system beside its line settings, so that tests can play a device that
// stalls, fails or refuses:
// - reading and waiting;
// - what the port changes on the device while it holds it: exclusive use, so that a program that does
//   not lock (a terminal program run by an ordinary user) cannot open it either, and low latency, so that
//   a USB serial converter passes each received byte on at once instead of holding it for its latency
//   timer (up to 16 ms a line);
// - closing. A driver may hold close() until its output has gone out (a stalled USB converter for up to
//   30 s, its closing delay), and tcdrain() has no time-out at all, so closing waits for pending output
//   only as long as that output needs at the line speed (DrainBound), discards what is left then,
//   restores the device's own settings at once, and leaves the close itself to a helper thread that the
//   caller waits for only briefly (kCloseGrace).
class DeviceCalls {
public:
    virtual ssize_t Read(int fd, char* buffer, std::size_t capacity) = 0;
    virtual int Poll(pollfd* fds, nfds_t count, const timespec* timeout) = 0;  // ppoll, no signal mask

    // TIOCEXCL (on) or TIOCNXCL (off): while set, every further open of the device fails with EBUSY,
    // except root's.
    virtual void SetExclusive(int fd, bool on) = 0;
    // Asks the driver for low latency (ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL). True when
    // this call turned the flag on; false when it was on already or the driver does not take it (a
    // pseudo-terminal, a driver without serial settings), which changes nothing.
    virtual bool RequestLowLatency(int fd) = 0;
    // Turns the flag off again.
    virtual void EndLowLatency(int fd) = 0;

    // Bytes written and not yet sent (TIOCOUTQ, and the transmitter where the driver tells); -1 when
    // the device cannot tell.
    virtual int PendingOutput(int fd) = 0;
    virtual void DiscardOutput(int fd) = 0;                                     // tcflush(TCOFLUSH)
    virtual void SetAttributes(int fd, int when, const termios& settings) = 0;  // tcsetattr
    virtual void Close(int fd) = 0;
    virtual Clock::time_point Now() = 0;
    virtual void SleepUntil(Clock::time_point when) = 0;

protected:
    ~DeviceCalls() = default;
};

// The real calls.
DeviceCalls& SystemDeviceCalls();

// What a port hands back when it closes its device.
struct Handback {
    const termios* saved = nullptr;  // the device's own settings, restored when not null
    int32_t bits_per_second = 0;     // the line speed the port ran at; 0 when none was set (no wait)
    bool end_low_latency = false;    // the port turned low latency on
};

// Closes `fd` as described at DeviceCalls: waits for pending output as long as it needs, restores the
// settings, ends low latency when the port turned it on, gives up exclusive use, then closes.
void CloseDevice(int fd, const Handback& handback, DeviceCalls& calls);

// Wraps an open device (a terminal the caller opened and locked) as a port that works through `calls`.
// The port takes the device for itself at once (exclusive use, low latency where the driver has it), so
// before anything is read from it, and hands it back at close.
std::unique_ptr<SerialPort> AdoptDevice(int fd, DeviceCalls& calls = SystemDeviceCalls());

}  // namespace quorlin
