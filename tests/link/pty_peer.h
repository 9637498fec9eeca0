#pragma once

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

using Millis = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

// A pseudo-terminal whose slave side the library opens as a port; the test plays the other end on the
// master side. The line settings the library applies to the slave are visible here through tcgetattr.
class PtyPeer {
public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    int master() const { return master_; }

    // The slave's current settings and speed in bits per second (0 when unknown).
    termios Settings() const;
    int32_t Speed() const;

    void Send(std::string_view bytes) const;
    // Collects what the library wrote until `count` bytes have come or `wait` has passed.
    std::string Receive(std::size_t count, Millis wait) const;

    // Closes the master: the library's side sees a hang-up.
    void HangUp();

private:
    int master_ = -1;
    int slave_ = -1;  // kept open so the master never sees "no slave" before the library opens it
    std::string slave_path_;
};

// Writes scripted pieces to the master at fixed times after its creation.
class TimedSender {
public:
    TimedSender(const PtyPeer& pty, std::vector<std::pair<Millis, std::string>> script);
    ~TimedSender();

private:
    std::jthread thread_;
};

// Plays the infrared adapter: echoes the probe byte only when the port's current speed equals its own,
// follows the speed command (0x07, code, "Q") given at its own speed, and then answers every line it
// receives at its speed with "OK\r", as the terminal behind it would.
class AdapterPeer {
public:
    AdapterPeer(PtyPeer& pty, int32_t own_speed, Millis echo_delay = Millis(0));
    ~AdapterPeer();

    std::string Received() const;
    int32_t own_speed() const { return own_speed_.load(); }

private:
    void Run(std::stop_token stop);
    void Handle(char byte);

    PtyPeer& pty_;
    std::atomic<int32_t> own_speed_;
    Millis echo_delay_;
    mutable std::mutex mutex_;
    std::string received_;
    enum class State { kIdle, kCode, kEnd } state_ = State::kIdle;
    int32_t pending_speed_ = 0;
    std::string line_;
    std::jthread thread_;
};

// Bits per second of a termios speed constant (0 for others).
int32_t BitsPerSecond(speed_t speed);
