#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "termsim.h"

// The PC side of a simulator test without the link library: opens the linked device raw and moves
// CR-terminated lines with plain reads and writes, so the simulator's behaviour is checked on its own.
class RawPc {
public:
    explicit RawPc(const std::string& device, speed_t speed = B9600) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ >= 0) {
            SetSpeed(speed);
        }
    }
    ~RawPc() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RawPc(const RawPc&) = delete;
    RawPc& operator=(const RawPc&) = delete;

    bool ok() const { return fd_ >= 0; }

    void SetSpeed(speed_t speed) {
        termios tio{};
        tcgetattr(fd_, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tcsetattr(fd_, TCSANOW, &tio);
    }

    void SendBytes(const std::string& bytes) {
        [[maybe_unused]] ssize_t n = write(fd_, bytes.data(), bytes.size());
    }
    void Send(const std::string& line) { SendBytes(line + "\r"); }

    // One line without its CR, or nothing when no CR arrived in time. `hungUp` tells whether the peer
    // closed the pseudo-terminal.
    std::optional<std::string> Receive(int timeoutMs = 2000) {
        std::string line;
        const int64_t deadline = termsim::MonotonicMicros() + int64_t{timeoutMs} * 1000;
        while (true) {
            const int64_t left = (deadline - termsim::MonotonicMicros()) / 1000;
            if (left <= 0) {
                pending_ = line + pending_;
                return std::nullopt;
            }
            if (!pending_.empty()) {
                const char c = pending_.front();
                pending_.erase(0, 1);
                if (c == '\r') {
                    return line;
                }
                line += c;
                continue;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) {
                continue;
            }
            if ((p.revents & POLLIN) == 0) {
                hungUp = true;
                pending_ = line;
                return std::nullopt;
            }
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                hungUp = true;
                pending_ = line;
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<size_t>(n));
        }
    }

    // Whatever bytes arrive within `timeoutMs`, lines or not.
    std::string ReceiveBytes(int timeoutMs) {
        std::string bytes;
        bytes.swap(pending_);
        const int64_t deadline = termsim::MonotonicMicros() + int64_t{timeoutMs} * 1000;
        for (int64_t left = timeoutMs; left > 0; left = (deadline - termsim::MonotonicMicros()) / 1000) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0 || (p.revents & POLLIN) == 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<size_t>(n));
        }
        return bytes;
    }

    // Exchanges one line: sends `line`, returns the answer (or "<none>").
    std::string Ask(const std::string& line, int timeoutMs = 2000) {
        Send(line);
        return Receive(timeoutMs).value_or("<none>");
    }

    bool hungUp = false;

private:
    int fd_ = -1;
    std::string pending_;
};
