#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "link_timing.h"

// What the link needs from the operating system: one serial device, opened exclusively, and a clock
// to sleep on. The POSIX form lives in port_posix.cpp, and the serial port behind a device server on the
// network (RFC 2217 or raw TCP) in port_net.cpp; another platform would add its own file beside them and
// leave the link logic (serial_link.cpp) untouched, which never knows which form it talks to.
namespace quorlin {

// The line parameters the link applies as a whole: always 8 data bits, no parity, one stop bit, DTR on,
// no flow control of any kind, reads that return at once with whatever has arrived.
struct LineSettings {
    int32_t bits_per_second = 0;
    bool rts = false;
};

struct ReadResult {
    enum class Status {
        kData,     // `count` bytes were read
        kNothing,  // nothing has arrived
        kGone,     // the device is gone (EIO, ENXIO, ENODEV: hung up or unplugged)
        kFailed,   // any other failure of the read call
    };
    Status status = Status::kNothing;
    std::size_t count = 0;
};

struct WaitResult {
    bool readable = false;  // input has arrived (or the device wants to report something)
    bool gone = false;      // the device is gone: POLLHUP/POLLERR, or EIO, ENXIO, ENODEV from poll
    bool failed = false;    // the wait itself failed for another reason
    bool timed_out = false;
};

enum class WriteOutcome {
    kWritten,  // every byte went out
    kFailed,   // the write failed or timed out
    kGone,     // the device is gone (hung up or unplugged)
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Applies the settings; false when the device refuses them. A device without modem lines is not a
    // refusal: RTS and DTR are then simply not there.
    virtual bool Apply(const LineSettings& settings) = 0;

    // Reads what has arrived, up to `capacity` bytes, without waiting.
    virtual ReadResult ReadNow(char* buffer, std::size_t capacity) = 0;

    // Waits until input arrives, the device hangs up, or `deadline` passes.
    virtual WaitResult WaitForInput(Clock::time_point deadline) = 0;

    // Writes all bytes, retrying short writes, giving up at `deadline`.
    virtual WriteOutcome WriteAll(const char* data, std::size_t size, Clock::time_point deadline) = 0;

    // Throws away input that has arrived and not been read.
    virtual void DiscardInput() = 0;

    // Looks at the device without waiting: true when it reports that it is gone.
    virtual bool Gone() = 0;

    // Whether Apply really sets the line speed. A network port without speed control takes any speed and
    // runs at the one its server's line is set to, so it cannot follow an adapter to another speed.
    virtual bool CanSetSpeed() const { return true; }
};

// The platform as the link logic sees it: the device behind a port number, and time. PosixPlatform
// (port_posix.h) is the real one; tests put a recording fake with a clock of their own in its place.
class Platform {
public:
    // Opens port `number` (1..256) exclusively. Null when the device is absent, cannot be opened, or is
    // in use by another open.
    virtual std::unique_ptr<SerialPort> OpenPort(int32_t number) = 0;

    virtual Clock::time_point Now() = 0;

    // Returns once `when` has passed, and not much later.
    virtual void SleepUntil(Clock::time_point when) = 0;

protected:
    ~Platform() = default;
};

}  // namespace quorlin
