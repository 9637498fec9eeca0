// The POSIX serial device: termios for the line, TIOCMBIS/TIOCMBIC for the modem lines, flock and
// TIOCEXCL for exclusive use, TIOCSSERIAL for low latency, poll for waiting, CLOCK_MONOTONIC for sleeping.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "port_net.h"
#include "port_posix.h"
#include "quorlin_ports.h"

namespace quorlin {

namespace {

// The program folder a program named in GATHRA_PROGRAM_FOLDER when it loaded this library; empty when
// none. Read once, at load: the program removes the variable again so that no child process inherits it.
const std::string kNamedProgramFolder = [] {
    const char* folder = std::getenv("GATHRA_PROGRAM_FOLDER");
    return std::string(folder != nullptr ? folder : "");
}();

// The program folder, which holds the ports/ mapping: the named one, or the folder this library was
// loaded from.
std::string LibraryFolder() {
    if (!kNamedProgramFolder.empty()) {
        return kNamedProgramFolder;
    }
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&LibraryFolder), &info) == 0 || info.dli_fname == nullptr) {
        return ".";
    }
    const std::string path = info.dli_fname;
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool SpeedConstant(int32_t bits_per_second, speed_t* out) {
    switch (bits_per_second) {
        case 9600:
            *out = B9600;
            return true;
        case 19200:
            *out = B19200;
            return true;
        case 38400:
            *out = B38400;
            return true;
        case 57600:
            *out = B57600;
            return true;
        case 115200:
            *out = B115200;
            return true;
        default:
            return false;
    }
}

// The errors a device that has been unplugged, or whose other end has hung up, answers with.
bool IsGoneError(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

constexpr short kGoneEvents = POLLHUP | POLLERR;

timespec ToTimespec(Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

class PosixPort final : public SerialPort {
public:
    PosixPort(int fd, DeviceCalls& calls) : fd_(fd), calls_(calls) {
        have_saved_ = tcgetattr(fd_, &saved_) == 0;
        // The lock keeps out only programs that lock too; TIOCEXCL keeps out the others as well, unless
        // they run as root (the udev rule keeps ModemManager away).
        calls_.SetExclusive(fd_, true);
        low_latency_ = calls_.RequestLowLatency(fd_);
    }

    // Hands the device back as it was found, after the last line (the final "ACK" or "CAN") has had its
    // time on the wire, and never waits longer. The lock goes with the descriptor.
    ~PosixPort() override {
        CloseDevice(fd_,
                    {.saved = have_saved_ ? &saved_ : nullptr,
                     .bits_per_second = bits_per_second_,
                     .end_low_latency = low_latency_},
                    calls_);
    }

    PosixPort(const PosixPort&) = delete;
    PosixPort& operator=(const PosixPort&) = delete;

    bool Apply(const LineSettings& settings) override {
        speed_t speed{};
        if (!SpeedConstant(settings.bits_per_second, &speed)) {
            return false;
        }
        // Built from zero, not from the device's current state: every option not named here is off.
        termios tio{};
        tio.c_cflag = CS8 | CREAD | CLOCAL;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
            return false;
        }
        if (!Retry([&] { return tcsetattr(fd_, TCSANOW, &tio); })) {
            return false;
        }
        // tcsetattr succeeds when any part of the request was taken; the speed must really be set.
        termios check{};
        if (tcgetattr(fd_, &check) != 0 || cfgetospeed(&check) != speed) {
            return false;
        }
        bits_per_second_ = settings.bits_per_second;
        return SetModemLine(TIOCM_DTR, true) && SetModemLine(TIOCM_RTS, settings.rts);
    }

    ReadResult ReadNow(char* buffer, std::size_t capacity) override {
        for (;;) {
            const ssize_t n = calls_.Read(fd_, buffer, capacity);
            if (n > 0) {
                return {ReadResult::Status::kData, static_cast<std::size_t>(n)};
            }
            // With VMIN=0 and VTIME=0 a terminal answers 0 when nothing has arrived; a hang-up that
            // also reads as 0 is told apart by WaitForInput and Gone.
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
                return {ReadResult::Status::kNothing, 0};
            }
            if (errno == EINTR) {
                continue;
            }
            return {IsGoneError(errno) ? ReadResult::Status::kGone : ReadResult::Status::kFailed, 0};
        }
    }

    WaitResult WaitForInput(Clock::time_point deadline) override {
        for (;;) {
            const Clock::duration left = Remaining(Clock::now(), deadline);
            if (left == Clock::duration::zero()) {
                return {.timed_out = true};
            }
            pollfd pfd{fd_, POLLIN, 0};
            const timespec ts = ToTimespec(left);
            const int r = calls_.Poll(&pfd, 1, &ts);
            if (r < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return IsGoneError(errno) ? WaitResult{.gone = true} : WaitResult{.failed = true};
            }
            if (r == 0) {
                return {.timed_out = true};
            }
            return {.readable = (pfd.revents & POLLIN) != 0,
                    .gone = (pfd.revents & kGoneEvents) != 0,
                    .failed = (pfd.revents & POLLNVAL) != 0};
        }
    }

    WriteOutcome WriteAll(const char* data, std::size_t size, Clock::time_point deadline) override {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t n = write(fd_, data + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return IsGoneError(errno) ? WriteOutcome::kGone : WriteOutcome::kFailed;
            }
            // The output queue is full: wait for room, but not beyond the write time-out.
            const Clock::duration left = Remaining(Clock::now(), deadline);
            if (left == Clock::duration::zero()) {
                return WriteOutcome::kFailed;
            }
            pollfd pfd{fd_, POLLOUT, 0};
            const timespec ts = ToTimespec(left);
            const int r = calls_.Poll(&pfd, 1, &ts);
            if (r < 0 && errno != EINTR) {
                return IsGoneError(errno) ? WriteOutcome::kGone : WriteOutcome::kFailed;
            }
            if (r > 0 && (pfd.revents & kGoneEvents) != 0) {
                return WriteOutcome::kGone;
            }
            if (r > 0 && (pfd.revents & POLLNVAL) != 0) {
                return WriteOutcome::kFailed;
            }
        }
        return WriteOutcome::kWritten;
    }

    void DiscardInput() override { tcflush(fd_, TCIFLUSH); }

    bool Gone() override {
        pollfd pfd{fd_, POLLIN, 0};
        constexpr timespec kNoWait{};
        int r = 0;
        do {
            r = calls_.Poll(&pfd, 1, &kNoWait);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            return IsGoneError(errno);
        }
        return r > 0 && (pfd.revents & kGoneEvents) != 0;
    }

private:
    template <typename Call>
    static bool Retry(Call call) {
        for (;;) {
            if (call() == 0) {
                return true;
            }
            if (errno != EINTR) {
                return false;
            }
        }
    }

    bool SetModemLine(int line, bool on) {
        const int request = on ? TIOCMBIS : TIOCMBIC;
        if (Retry([&] { return ioctl(fd_, request, &line); })) {
            return true;
        }
        // Pseudo-terminals and some adapters have no modem lines; that is no refused setting.
        return errno == ENOTTY || errno == EINVAL;
    }

    int fd_;
    DeviceCalls& calls_;
    termios saved_{};
    bool have_saved_ = false;
    bool low_latency_ = false;     // turned on by this port, so turned off at close
    int32_t bits_per_second_ = 0;  // the speed last applied; 0 before any
};

class SystemCalls final : public DeviceCalls {
public:
    ssize_t Read(int fd, char* buffer, std::size_t capacity) override { return read(fd, buffer, capacity); }
    int Poll(pollfd* fds, nfds_t count, const timespec* timeout) override {
        return ppoll(fds, count, timeout, nullptr);
    }
    void SetExclusive(int fd, bool on) override { ioctl(fd, on ? TIOCEXCL : TIOCNXCL); }
    bool RequestLowLatency(int fd) override {
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) {
            return false;
        }
        // Everything else goes back as the driver reported it, so an ordinary user may set this too.
        serial.flags |= ASYNC_LOW_LATENCY;
        return ioctl(fd, TIOCSSERIAL, &serial) == 0;
    }
    void EndLowLatency(int fd) override {
        serial_struct serial{};
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags &= ~ASYNC_LOW_LATENCY;
            ioctl(fd, TIOCSSERIAL, &serial);
        }
    }
    int PendingOutput(int fd) override {
        int pending = 0;
        if (ioctl(fd, TIOCOUTQ, &pending) != 0) {
            return -1;
        }
        // The driver's queue may be empty while the UART still shifts out its last bytes; where the
        // driver can tell (serial core), count that as one byte still to go.
        unsigned int lsr = 0;
        if (pending == 0 && ioctl(fd, TIOCSERGETLSR, &lsr) == 0 && (lsr & TIOCSER_TEMT) == 0) {
            pending = 1;
        }
        return pending;
    }
    void DiscardOutput(int fd) override { tcflush(fd, TCOFLUSH); }
    void SetAttributes(int fd, int when, const termios& settings) override {
        while (tcsetattr(fd, when, &settings) != 0 && errno == EINTR) {
        }
    }
    void Close(int fd) override { close(fd); }
    Clock::time_point Now() override { return Clock::now(); }
    void SleepUntil(Clock::time_point when) override { PosixPlatform().SleepUntil(when); }
};

constinit SystemCalls g_system_calls;

// What the closing thread and its caller share; whoever finishes last frees it.
struct Closing {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
};

}  // namespace

DeviceCalls& SystemDeviceCalls() {
    return g_system_calls;
}

void CloseDevice(int fd, const Handback& handback, DeviceCalls& calls) {
    const int32_t bits_per_second = handback.bits_per_second;
    // Let what is queued go out for as long as it needs at the line speed, and no longer: a stalled
    // device never empties its queue, and tcdrain would wait for ever.
    int pending = bits_per_second > 0 ? calls.PendingOutput(fd) : -1;
    if (pending > 0) {
        const Clock::time_point until =
            calls.Now() + DrainBound(static_cast<std::size_t>(pending), bits_per_second);
        for (; pending > 0; pending = calls.PendingOutput(fd)) {
            const Clock::time_point now = calls.Now();
            if (now >= until) {
                break;
            }
            const Clock::duration on_wire =
                DrainBound(static_cast<std::size_t>(pending), bits_per_second) - kDrainMargin;
            calls.SleepUntil(std::min(until, now + std::max<Clock::duration>(on_wire, Millis(1))));
        }
    }
    // What is still queued then is thrown away (only then: on a pseudo-terminal, discarding our output
    // would discard what the other end has not read yet), and the settings go back at once rather than
    // after a drain.
    if (pending > 0) {
        calls.DiscardOutput(fd);
    }
    if (handback.saved != nullptr) {
        calls.SetAttributes(fd, TCSANOW, *handback.saved);
    }
    if (handback.end_low_latency) {
        calls.EndLowLatency(fd);
    }
    // The exclusive mark would outlive our close while another descriptor holds the device (a
    // pseudo-terminal's other side), and keep even our own next open out.
    calls.SetExclusive(fd, false);
    // close() may still wait out the driver's closing delay (closing_wait, 30 s by default) for bytes a
    // stalled converter holds in flight. Switching that delay off (TIOCSSERIAL) needs CAP_SYS_ADMIN with
    // most drivers and would change the device for every later user, so the close runs on a helper
    // thread instead: normally it is over at once, and otherwise the caller goes on after kCloseGrace
    // while the close finishes (or is cut short at exit) in the background. The descriptor number and
    // the lock are released as soon as close() begins its release.
    auto closing = std::make_shared<Closing>();
    try {
        std::thread([fd, &calls, closing] {
            calls.Close(fd);
            std::lock_guard<std::mutex> lock(closing->mutex);
            closing->done = true;
            closing->done_changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        calls.Close(fd);  // no thread to be had: close here
        return;
    }
    std::unique_lock<std::mutex> lock(closing->mutex);
    closing->done_changed.wait_for(lock, kCloseGrace, [&] { return closing->done; });
}

std::unique_ptr<SerialPort> AdoptDevice(int fd, DeviceCalls& calls) {
    return std::make_unique<PosixPort>(fd, calls);
}

std::unique_ptr<SerialPort> PosixPlatform::OpenPort(int32_t number) {
    if (!IsValidPortNumber(number)) {
        return nullptr;
    }
    // The device of COM<n> by the shared rule: nothing to open when ports/ has no such entry, and a link to
    // a URL is a port on the network.
    const PortDevice device = ResolvePortDevice(LibraryFolder(), number);
    if (device.Missing) {
        return nullptr;
    }
    if (device.Kind != PortKind::kDevice) {
        return OpenNetworkPort(device);
    }
    const std::string& path = device.Path;
    // Non-blocking so that neither a missing carrier at open nor a full output queue can hang a call.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    // flock first: TIOCEXCL (set on adoption) does not stop root, and root may well run this.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return nullptr;
    }
    return AdoptDevice(fd);
}

Clock::time_point PosixPlatform::Now() {
    return Clock::now();
}

void PosixPlatform::SleepUntil(Clock::time_point when) {
    // Sleep on an absolute CLOCK_MONOTONIC target (the clock steady_clock reads), so that an interrupted
    // sleep resumes without drifting, up to a little before `when`; the timer may wake us later than
    // asked (timer slack, scheduling), and a short spin takes up whatever is left.
    const Clock::time_point wake = when - kSpinBeforeDeadline;
    if (Clock::now() < wake) {
        const timespec target = ToTimespec(wake.time_since_epoch());
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
        }
    }
    while (Clock::now() < when) {
    }
}

}  // namespace quorlin
