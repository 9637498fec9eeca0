// The serial port behind a device server: a TCP connection (getaddrinfo on a helper thread, a
// non-blocking connect, keep-alive and TCP_USER_TIMEOUT for a server that dies), raw or with Telnet's
// Com Port Control on top.
#include "port_net.h"

#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace quorlin {

namespace {

// Received data beyond this is left in the socket until it is read.
constexpr std::size_t kInputLimit = 4096;
constexpr int kAdapterMode = 1;
constexpr Millis kBusyRetryPause{100};

NetDiagnosis Diagnosis(NetProblem problem, int error = 0) {
    NetDiagnosis diagnosis;
    diagnosis.problem = problem;
    diagnosis.error = error;
    return diagnosis;
}

timespec ToTimespec(Clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Waits for `events` on `fd` until `deadline`: the poll result (0 on time-out, -1 on failure).
int PollUntil(int fd, short events, Clock::time_point deadline, short* revents) {
    for (;;) {
        pollfd pfd{fd, events, 0};
        const timespec ts = ToTimespec(Remaining(Clock::now(), deadline));
        const int r = ppoll(&pfd, 1, &ts, nullptr);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        *revents = pfd.revents;
        return r;
    }
}

struct AddressList {
    addrinfo* list = nullptr;
    ~AddressList() {
        if (list != nullptr) {
            freeaddrinfo(list);
        }
    }
};

// What the resolving thread and its caller share; whoever finishes last frees it.
struct Resolution {
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool abandoned = false;
    int result = 0;
    addrinfo* list = nullptr;
};

// getaddrinfo has no time-out of its own (a name server that does not answer holds it 5 s a try, twice by
// default, for each server in resolv.conf), so it runs on a helper thread that the caller leaves behind at
// `deadline`. Numeric addresses need no resolver and are taken at once.
bool Resolve(const PortDevice& device, Clock::time_point deadline, AddressList& out, NetDiagnosis& why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    if (getaddrinfo(device.Host.c_str(), device.Service.c_str(), &hints, &out.list) == 0) {
        return true;
    }
    out.list = nullptr;
    if (IsInvalidName(device.Host)) {
        why.problem = NetProblem::kNoName;
        return false;
    }
    auto resolution = std::make_shared<Resolution>();
    try {
        std::thread([resolution, host = device.Host, service = device.Service] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_flags = AI_NUMERICSERV;
            addrinfo* list = nullptr;
            const int result = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
            std::lock_guard<std::mutex> lock(resolution->mutex);
            if (resolution->abandoned) {
                if (result == 0) {
                    freeaddrinfo(list);
                }
                return;
            }
            resolution->result = result;
            resolution->list = result == 0 ? list : nullptr;
            resolution->done = true;
            resolution->done_changed.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        why = Diagnosis(NetProblem::kNoConnection, EAGAIN);
        return false;
    }
    std::unique_lock<std::mutex> lock(resolution->mutex);
    if (!resolution->done_changed.wait_until(lock, deadline, [&] { return resolution->done; })) {
        resolution->abandoned = true;
        why = Diagnosis(NetProblem::kNoConnection, ETIMEDOUT);
        return false;
    }
    if (resolution->result != 0) {
        why.problem = NetProblem::kNoName;
        return false;
    }
    out.list = resolution->list;
    return true;
}

// Keep-alive and TCP_USER_TIMEOUT find a dead server within about 25 s: keep-alive while the line is
// quiet, the user time-out while data waits for acknowledgement (the enquiry goes out twice a second
// while no terminal answers, so keep-alive alone would never probe). TCP_NODELAY: a line goes out at once.
void TuneSocket(int fd) {
    const int on = 1;
    const int idle = static_cast<int>(kKeepAliveIdle.count());
    const int interval = static_cast<int>(kKeepAliveInterval.count());
    const int probes = kKeepAliveProbes;
    const auto unacknowledged = static_cast<unsigned int>(kUnacknowledgedLimit.count());
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

// Connects to one address before `deadline`: the socket, or -1 with `error` set.
int ConnectTo(const addrinfo& address, Clock::time_point deadline, int& error) {
    const int fd = socket(address.ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    TuneSocket(fd);
    if (connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
        error = errno;
        close(fd);
        return -1;
    }
    short revents = 0;
    const int r = PollUntil(fd, POLLOUT, deadline, &revents);
    socklen_t size = sizeof error;
    if (r <= 0) {
        error = r == 0 ? ETIMEDOUT : errno;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The first address that takes the connection; the last one's failure otherwise.
int Connect(const PortDevice& device, NetDiagnosis& why) {
    const Clock::time_point deadline = Clock::now() + kConnectTimeout;
    AddressList addresses;
    if (!Resolve(device, deadline, addresses, why)) {
        return -1;
    }
    int error = ETIMEDOUT;
    for (const addrinfo* a = addresses.list; a != nullptr && Clock::now() < deadline; a = a->ai_next) {
        const int fd = ConnectTo(*a, deadline, error);
        if (fd >= 0) {
            return fd;
        }
    }
    why = Diagnosis(NetProblem::kNoConnection, error);
    return -1;
}

// A server that hangs up during the open says why first (ser2net: "Port already in use").
NetDiagnosis HungUp(std::string said) {
    NetDiagnosis diagnosis =
        Diagnosis(said.find("in use") != std::string::npos ? NetProblem::kBusy : NetProblem::kHungUp);
    diagnosis.said = std::move(said);
    return diagnosis;
}

}  // namespace

bool IsInvalidName(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    constexpr std::string_view kDomain = "invalid";
    return name == kDomain || (name.size() > kDomain.size() && name.ends_with(kDomain) &&
                               name[name.size() - kDomain.size() - 1] == '.');
}

NetworkPort::NetworkPort(int fd, PortKind kind) : fd_(fd), kind_(kind) {}

NetworkPort::~NetworkPort() {
    if (!ended_) {
        // What the last write handed over has left the server's line, within the drain margin.
        const Clock::time_point until = Clock::now() + kDrainMargin;
        if (!unsent_.empty()) {
            Send(std::string(), until);
        }
        AwaitAcknowledgement(until);
        if (kind_ == PortKind::kRfc2217 && wire_free_ > Clock::now()) {
            std::this_thread::sleep_until(std::min(wire_free_ + kNetworkDrainMargin, until));
        }
        // Nothing unread may be left: close() would end the connection with a reset instead of a
        // close, and the server might throw away what it has not passed on yet.
        input_.clear();
        Receive();
    }
    close(fd_);
}

bool NetworkPort::Receive() {
    char chunk[1024];
    while (input_.size() < kInputLimit) {
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            // Acknowledge at once, every time (the kernel drops back to delayed acknowledgements on its
            // own): a server that holds small writes back until the last one is acknowledged (Nagle's
            // algorithm) would otherwise send the rest of a line only after our 40 ms delayed ACK.
            const int on = 1;
            setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
            const std::string_view bytes(chunk, static_cast<std::size_t>(n));
            if (kind_ == PortKind::kRfc2217) {
                telnet_.Receive(bytes, input_, unsent_);
            } else {
                input_.append(bytes);
            }
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        ended_ = true;  // the server closed the connection, or it failed (reset, timed out)
        break;
    }
    // Telnet replies go out at once, without waiting for room: they are a few bytes.
    while (!unsent_.empty() && !ended_) {
        const ssize_t n = send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        unsent_.erase(0, static_cast<std::size_t>(n));
    }
    return !ended_;
}

WriteOutcome NetworkPort::Send(std::string bytes, Clock::time_point deadline) {
    unsent_ += bytes;
    while (!unsent_.empty()) {
        if (ended_) {
            return WriteOutcome::kGone;
        }
        const ssize_t n = send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            unsent_.erase(0, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            ended_ = true;
            return WriteOutcome::kGone;
        }
        // The socket is full: wait for room. What does not go out by the deadline stays queued, so that
        // the stream the server reads never breaks off inside a Telnet command.
        short revents = 0;
        const int r = PollUntil(fd_, POLLOUT, deadline, &revents);
        if (r == 0) {
            return WriteOutcome::kFailed;
        }
        if (r < 0 || (revents & (POLLERR | POLLHUP)) != 0) {
            ended_ = true;
            return WriteOutcome::kGone;
        }
    }
    return WriteOutcome::kWritten;
}

// There is no event for "every byte acknowledged": the queue is looked at in short sleeps, which a
// failing connection cuts short. A server's acknowledgement mostly rides on the next bytes it sends (the
// terminal's answer), so those wake the wait at once; they are taken in for the next read.
WriteOutcome NetworkPort::AwaitAcknowledgement(Clock::time_point deadline) {
    Clock::duration step = std::chrono::microseconds(100);
    for (;;) {
        int queued = 0;
        if (ioctl(fd_, SIOCOUTQ, &queued) != 0) {
            return WriteOutcome::kFailed;
        }
        if (queued == 0) {
            return WriteOutcome::kWritten;
        }
        if (ended_) {
            return WriteOutcome::kGone;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            return WriteOutcome::kFailed;
        }
        const short events = input_.size() < kInputLimit ? POLLIN : 0;
        short revents = 0;
        const int r = PollUntil(fd_, events, std::min(deadline, now + step), &revents);
        if (r > 0 && (revents & (POLLERR | POLLHUP)) != 0) {
            ended_ = true;
            return WriteOutcome::kGone;
        }
        if (r > 0 && (revents & POLLIN) != 0) {
            Receive();  // the server's bytes, or its end
            continue;
        }
        step = std::min<Clock::duration>(step * 2, Millis(2));
    }
}

template <typename Done>
bool NetworkPort::AwaitServer(Done done, Clock::time_point deadline) {
    while (!done()) {
        if (ended_ || Clock::now() >= deadline) {
            return false;
        }
        short revents = 0;
        const int r = PollUntil(fd_, POLLIN | POLLRDHUP, deadline, &revents);
        if (r < 0) {
            return false;
        }
        if (r > 0) {
            Receive();
        }
    }
    return true;
}

bool NetworkPort::Negotiate(Clock::time_point deadline) {
    if (kind_ != PortKind::kRfc2217) {
        return true;
    }
    std::string requests;
    telnet_.Start(requests);
    if (Send(std::move(requests), deadline) != WriteOutcome::kWritten) {
        return false;
    }
    // A server that leaves a request unanswered has refused it; only a closed connection is a failure.
    AwaitServer([this] { return telnet_.Settled(); }, deadline);
    return !ended_;
}

bool NetworkPort::CanSetSpeed() const {
    return kind_ == PortKind::kRfc2217 && telnet_.ComPort();
}

bool NetworkPort::Apply(const LineSettings& settings) {
    refusal_ = {};
    if (kind_ == PortKind::kSocket) {
        return true;
    }
    if (!telnet_.Binary()) {
        refusal_ = Diagnosis(NetProblem::kNoBinary);
        return false;
    }
    if (!telnet_.ComPort()) {
        return true;  // the server's own speed and format
    }
    using Command = ComPortCommand;
    std::string commands;
    const bool first = !configured_;
    const bool newSpeed = settings.bits_per_second != speed_;
    if (first) {
        TelnetClient::EncodeCommand(Command::kSetDataSize, 8, commands);
        TelnetClient::EncodeCommand(Command::kSetParity, kParityNone, commands);
        TelnetClient::EncodeCommand(Command::kSetStopSize, kStopBitsOne, commands);
        TelnetClient::EncodeCommand(Command::kSetControl, kControlNoFlowControl, commands);
        TelnetClient::EncodeCommand(Command::kSetControl, kControlDtrOn, commands);
    }
    if (newSpeed) {
        TelnetClient::EncodeCommand(Command::kSetBaudRate, static_cast<uint32_t>(settings.bits_per_second),
                                    commands);
    }
    // SET-CONTROL is not waited for: some servers never acknowledge it (ser2net on a pseudo-terminal),
    // and the adapter probe switches RTS ten times. An acknowledgement that comes later is dropped.
    if (first || settings.rts != (rts_ == 1)) {
        TelnetClient::EncodeCommand(Command::kSetControl, settings.rts ? kControlRtsOn : kControlRtsOff,
                                    commands);
    }
    const auto counted = [this](Command c) { return telnet_.AnswerCount(c); };
    const uint32_t speeds = counted(Command::kSetBaudRate);
    const uint32_t sizes = counted(Command::kSetDataSize);
    const uint32_t parities = counted(Command::kSetParity);
    const uint32_t stops = counted(Command::kSetStopSize);
    const Clock::time_point deadline = Clock::now() + kServerReplyTimeout;
    if (Send(std::move(commands), deadline) != WriteOutcome::kWritten) {
        return false;
    }
    rts_ = settings.rts ? 1 : 0;
    const bool answered = AwaitServer(
        [&] {
            return (!newSpeed || counted(Command::kSetBaudRate) > speeds) &&
                   (!first ||
                    (counted(Command::kSetDataSize) > sizes && counted(Command::kSetParity) > parities &&
                     counted(Command::kSetStopSize) > stops));
        },
        deadline);
    const auto asked = static_cast<uint32_t>(settings.bits_per_second);
    const uint32_t speed = telnet_.LastAnswer(Command::kSetBaudRate);
    const bool speedRefused = answered && newSpeed && speed != asked;
    if (!answered || speedRefused ||
        (first && (telnet_.LastAnswer(Command::kSetDataSize) != 8 ||
                   telnet_.LastAnswer(Command::kSetParity) != kParityNone ||
                   telnet_.LastAnswer(Command::kSetStopSize) != kStopBitsOne))) {
        refusal_ = Diagnosis(NetProblem::kSettingRefused);
        refusal_.asked = asked;
        refusal_.answer = speedRefused ? speed : 0;
        return false;
    }
    speed_ = settings.bits_per_second;
    configured_ = true;
    return true;
}

ReadResult NetworkPort::ReadNow(char* buffer, std::size_t capacity) {
    if (input_.empty() && !ended_) {
        Receive();
    }
    if (!input_.empty()) {
        const std::size_t count = std::min(capacity, input_.size());
        std::memcpy(buffer, input_.data(), count);
        input_.erase(0, count);
        return {ReadResult::Status::kData, count};
    }
    return {ended_ ? ReadResult::Status::kGone : ReadResult::Status::kNothing, 0};
}

WaitResult NetworkPort::WaitForInput(Clock::time_point deadline) {
    for (;;) {
        if (!input_.empty() || ended_) {
            return {.readable = !input_.empty(), .gone = ended_};
        }
        short revents = 0;
        const int r = PollUntil(fd_, POLLIN | POLLRDHUP, deadline, &revents);
        if (r == 0) {
            return {.timed_out = true};
        }
        if (r < 0 || (revents & POLLNVAL) != 0) {
            return {.failed = true};
        }
        Receive();  // data, Telnet commands only (then wait on), or the end
    }
}

WriteOutcome NetworkPort::WriteAll(const char* data, std::size_t size, Clock::time_point deadline) {
    std::string bytes;
    if (kind_ == PortKind::kRfc2217) {
        TelnetClient::EncodeData(std::string_view(data, size), bytes);
    } else {
        bytes.assign(data, size);
    }
    const WriteOutcome sent = Send(std::move(bytes), deadline);
    if (sent != WriteOutcome::kWritten) {
        return sent;
    }
    if (speed_ > 0) {
        wire_free_ = Clock::now() + DrainBound(size, speed_) - kDrainMargin;
    }
    return AwaitAcknowledgement(deadline);
}

void NetworkPort::DiscardInput() {
    if (CanSetSpeed()) {
        TelnetClient::EncodeCommand(ComPortCommand::kPurgeData, kPurgeReceived, unsent_);
    }
    for (int round = 0; round < 16 && Receive() && !input_.empty(); ++round) {
        input_.clear();
    }
    input_.clear();
}

bool NetworkPort::Gone() {
    if (ended_) {
        return true;
    }
    short revents = 0;
    return PollUntil(fd_, POLLRDHUP, Clock::now(), &revents) > 0 &&
           (revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string NetworkPort::UnreadText() {
    Receive();
    std::string text;
    std::size_t i = input_.find_first_not_of("\r\n");
    for (; i < input_.size() && text.size() < 80; ++i) {
        const char c = input_[i];
        if (c == '\r' || c == '\n') {
            break;
        }
        if (c >= 0x20 && c <= 0x7E) {
            text.push_back(c);
        }
    }
    return text;
}

std::unique_ptr<NetworkPort> OpenNetworkPort(const PortDevice& device, NetDiagnosis* why) {
    NetDiagnosis ignored;
    NetDiagnosis& reason = why != nullptr ? *why : ignored;
    const int fd = Connect(device, reason);
    if (fd < 0) {
        return nullptr;
    }
    auto port = std::make_unique<NetworkPort>(fd, device.Kind);
    if (!port->Negotiate(Clock::now() + kServerReplyTimeout)) {
        reason = HungUp(port->UnreadText());
        return nullptr;
    }
    return port;
}

namespace {

NetDiagnosis LookAtNetworkPort(const PortDevice& device, int32_t speed, int32_t mode) {
    NetDiagnosis why;
    std::unique_ptr<NetworkPort> port = OpenNetworkPort(device, &why);
    if (!port) {
        return why;
    }
    if (mode == kAdapterMode && !port->CanSetSpeed()) {
        return Diagnosis(NetProblem::kNoSpeedControl);
    }
    const bool applied = port->Apply({ChooseSpeed(speed).bits_per_second, true});
    if (!port->Gone()) {
        std::this_thread::sleep_for(kSettleDelay);  // the link's settle delay, in which a server may hang up
    }
    if (port->Gone()) {
        return HungUp(port->UnreadText());
    }
    return applied ? NetDiagnosis{} : port->refusal();
}

}  // namespace

NetDiagnosis DiagnoseNetworkPort(const PortDevice& device, int32_t speed, int32_t mode) {
    NetDiagnosis why = LookAtNetworkPort(device, speed, mode);
    // A server may still be letting go of its serial port after the connection that just failed: only a
    // port that stays busy is busy.
    for (int retry = 0; why.problem == NetProblem::kBusy && retry < 4; ++retry) {
        std::this_thread::sleep_for(kBusyRetryPause);
        why = LookAtNetworkPort(device, speed, mode);
    }
    return why;
}

}  // namespace quorlin
