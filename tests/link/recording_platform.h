#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "serial_port.h"

// A platform for the link logic without a device or real time. Time passes only when the link sleeps or
// waits, so settle delays and time-outs cost nothing. Its one device plays an infrared adapter the way
// the hardware behaves: bytes sent while RTS is off at the adapter's own speed are commands (the probe
// byte is echoed after `echo_delay`, 0x07 code "Q" switches the speed); everything else goes to the
// terminal. Every line setting, modem-line change, write, purge and sleep is logged in order.
class RecordingPlatform final : public quorlin::Platform {
public:
    using Clock = quorlin::Clock;
    using Millis = std::chrono::milliseconds;

    // The adapter's speed; 0 when there is no adapter (a plain line that never echoes).
    int32_t adapter_speed = 0;
    Millis echo_delay{0};
    bool device_present = true;

    std::vector<std::string> log;
    Clock::time_point now = Clock::time_point() + std::chrono::hours(1);

    std::unique_ptr<quorlin::SerialPort> OpenPort(int32_t number) override;
    Clock::time_point Now() override { return now; }
    void SleepUntil(Clock::time_point when) override;

    // Bytes that reach the PC at `at` (from the adapter or the terminal behind it).
    void Arrive(Clock::time_point at, const std::string& bytes) { input.push_back({at, bytes}); }

    // How the device fails from now on (the link's view of an unplugged or faulty device).
    quorlin::ReadResult::Status read_status = quorlin::ReadResult::Status::kNothing;
    quorlin::WaitResult wait_result{};  // used when set to anything but a plain time-out
    quorlin::WriteOutcome write_outcome = quorlin::WriteOutcome::kWritten;
    bool gone_when_asked = false;

    struct Pending {
        Clock::time_point at;
        std::string bytes;
    };
    std::deque<Pending> input;

    // The device's state as the fake adapter sees it.
    int32_t line_speed = 0;
    bool rts = false;
    bool dtr = false;
    enum class Command { kNone, kCode, kEnd } command = Command::kNone;
    int32_t pending_speed = 0;

    static int64_t Ms(Clock::duration d) { return std::chrono::duration_cast<Millis>(d).count(); }
};
