#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <stdexcept>

int32_t BitsPerSecond(speed_t speed) {
    switch (speed) {
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
    }
}

PtyPeer::PtyPeer() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slave_path_ = name;
}

PtyPeer::~PtyPeer() {
    if (master_ >= 0) {
        close(master_);
    }
    close(slave_);
}

termios PtyPeer::Settings() const {
    termios tio{};
    tcgetattr(master_, &tio);  // on a pty master this reports the slave's settings
    return tio;
}

int32_t PtyPeer::Speed() const {
    const termios tio = Settings();
    return BitsPerSecond(cfgetospeed(&tio));
}

void PtyPeer::Send(std::string_view bytes) const {
    while (!bytes.empty()) {
        const ssize_t n = write(master_, bytes.data(), bytes.size());
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string PtyPeer::Receive(std::size_t count, Millis wait) const {
    std::string got;
    const auto until = SteadyClock::now() + wait;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<Millis>(until - SteadyClock::now()).count();
        if (left <= 0) {
            break;
        }
        pollfd pfd{master_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0 || (pfd.revents & POLLIN) == 0) {
            break;
        }
        char buffer[512];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void PtyPeer::HangUp() {
    close(master_);
    master_ = -1;
}

TimedSender::TimedSender(const PtyPeer& pty, std::vector<std::pair<Millis, std::string>> script) {
    const auto start = SteadyClock::now();
    thread_ = std::jthread([&pty, start, script = std::move(script)](std::stop_token stop) {
        for (const auto& [at, bytes] : script) {
            while (SteadyClock::now() < start + at) {
                if (stop.stop_requested()) {
                    return;
                }
                std::this_thread::sleep_for(Millis(1));
            }
            pty.Send(bytes);
        }
    });
}

TimedSender::~TimedSender() = default;

AdapterPeer::AdapterPeer(PtyPeer& pty, int32_t own_speed, Millis echo_delay)
    : pty_(pty), own_speed_(own_speed), echo_delay_(echo_delay) {
    thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

AdapterPeer::~AdapterPeer() {
    thread_.request_stop();
    thread_.join();
}

std::string AdapterPeer::Received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void AdapterPeer::Run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd pfd{pty_.master(), POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0 || (pfd.revents & POLLIN) == 0) {
            if (pfd.revents & (POLLHUP | POLLERR)) {
                // No slave open (between opens): nothing to read, do not spin on the hang-up.
                std::this_thread::sleep_for(Millis(5));
            }
            continue;
        }
        char buffer[256];
        const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
        for (ssize_t i = 0; i < n; ++i) {
            Handle(buffer[i]);
        }
    }
}

void AdapterPeer::Handle(char byte) {
    {
        std::lock_guard lock(mutex_);
        received_.push_back(byte);
    }
    // Bytes sent at another speed than the adapter's arrive garbled on a real line: ignore them.
    const bool in_step = pty_.Speed() == own_speed_.load();
    switch (state_) {
        case State::kIdle:
            if (byte == 0x0F) {
                if (in_step) {
                    std::this_thread::sleep_for(echo_delay_);
                    pty_.Send(std::string(1, 0x0F));
                }
            } else if (byte == 0x07) {
                if (in_step) {
                    state_ = State::kCode;
                }
            } else if (byte == '\r') {
                if (in_step && !line_.empty()) {
                    pty_.Send("OK\r");
                }
                line_.clear();
            } else {
                line_.push_back(byte);
            }
            break;
        case State::kCode: {
            static constexpr int32_t kSpeeds[] = {9600, 19200, 38400, 57600, 115200};
            state_ = State::kIdle;
            if (in_step && byte >= '2' && byte <= '6') {
                pending_speed_ = kSpeeds[byte - '2'];
                state_ = State::kEnd;
            }
            break;
        }
        case State::kEnd:
            state_ = State::kIdle;
            if (in_step && byte == 'Q') {
                own_speed_ = pending_speed_;
            }
            break;
    }
}
