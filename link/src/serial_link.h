#pragma once

#include <cstdint>
#include <memory>

#include "line_assembler.h"
#include "link_timing.h"
#include "serial_port.h"

namespace quorlin {

// The link's behaviour on its one port: opening (directly, or through an infrared adapter found by
// probing and switched to the requested speed), line reads, writes, purge, and whether the device is
// gone. The exported C operations are thin calls into one SerialLink; everything it needs from outside
// (the device, the clock, sleeping) comes through a Platform, so tests run it on a recording fake with a
// clock they control.
class SerialLink {
public:
    // Open results as vbOpenIrCom reports them.
    static constexpr int32_t kOpened = 1;
    static constexpr int32_t kNotOpened = 0;
    static constexpr int32_t kSetUpFailed = -1;

    // The line buffer: a line of at most 255 bytes, CR included, then a NUL.
    static constexpr std::size_t kLineBufferSize = 260;

    // Keeps `platform` for its lifetime. Constant-initialisable, so a global link costs nothing at load.
    constexpr explicit SerialLink(Platform& platform) : platform_(&platform) {}

    // Closes any port first, then opens port `number` at `speed` in `mode` (1 adapter, else direct).
    int32_t Open(int32_t number, int32_t speed, int32_t mode);
    // True when a port was open.
    bool Close();
    bool IsOpen() const { return port_ != nullptr; }
    // The open port, or null; only its identity is of use outside.
    SerialPort* port() const { return port_.get(); }

    // Reads one line into line_buffer(). Its length (CR included), or -1 on time-out.
    int32_t ReadLine();
    const char* line_buffer() const { return line_buffer_; }
    char* line_buffer() { return line_buffer_; }

    // Writes `size` bytes, no earlier than the write spacing after the call began. True when all went out.
    bool Write(const char* text, std::size_t size, Clock::time_point call_began);

    // Discards pending input and what a read kept over.
    void Clear();

    // 1 open and usable, 0 none open, -1 the device is gone.
    int32_t State();

    Clock::time_point Now() { return platform_->Now(); }

private:
    void Settle();
    void SendCommandByte(char byte);
    bool Apply(int32_t bits_per_second, bool rts);
    bool ProbeAdapter(int32_t speed);
    bool SetUpAdapter(int32_t requested_speed);
    bool SetUpDirect(int32_t requested_speed);
    void NoteGone(bool gone) { gone_ = gone_ || gone; }

    Platform* platform_;
    std::unique_ptr<SerialPort> port_;
    // The port being set up (before it becomes port_) or the open one.
    SerialPort* active_ = nullptr;
    LineSettings line_;
    LineAssembler assembler_;
    // Set once the device has been seen gone (hung up, unplugged). A gone device never comes back on the
    // same descriptor, so this stays until the port is closed.
    bool gone_ = false;
    // The last line read, CR included, then a NUL; ReadIrCom hands out its address.
    char line_buffer_[kLineBufferSize] = {};
};

}  // namespace quorlin
