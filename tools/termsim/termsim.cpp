#include "termsim.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "codec/text_encoding.h"

namespace termsim {

namespace {

constexpr char kCr = '\r';
constexpr unsigned char kProbe = 0x0F;
constexpr unsigned char kSpeedCommand = 0x07;
// The pseudo-terminal's line speed before a PC sets its own (what the PC restores when it closes).
constexpr int kOpeningSpeed = 9600;

// How long one wait for input or output lasts before the thread looks at the stop flag again.
constexpr int kPollSliceMs = 50;

void SleepUntilMicros(int64_t deadline) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(deadline / 1000000);
    ts.tv_nsec = static_cast<long>((deadline % 1000000) * 1000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

int SpeedFromTermios(speed_t speed) {
    switch (speed) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
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
        case B230400:
            return 230400;
        default:
            return 0;
    }
}

// The adapter's speed codes "2".."6".
int SpeedFromCode(unsigned char code) {
    switch (code) {
        case '2':
            return 9600;
        case '3':
            return 19200;
        case '4':
            return 38400;
        case '5':
            return 57600;
        case '6':
            return 115200;
        default:
            return 0;
    }
}

bool IsClockCommand(const std::string& line) {
    if (line.size() != 16 || line.compare(0, 2, "TW") != 0) {
        return false;
    }
    for (size_t i = 2; i < line.size(); ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return false;
        }
    }
    return true;
}

std::string LowerHex(std::string digits) {
    for (char& c : digits) {
        if (c >= 'A' && c <= 'F') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return digits;
}

// The terminal's checksum of `covered`: the byte sum modulo 256 as two upper-case hexadecimal digits.
// Written here rather than taken from the PC's frame codec, so that a fault in the codec's rule shows up
// as frames the PC refuses instead of being mirrored by its own peer.
std::string TerminalChecksum(const std::string& covered) {
    unsigned sum = 0;
    for (const char c : covered) {
        sum += static_cast<unsigned char>(c);
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum % 256);
    return digits;
}

// Adds one to the checksum so that it is surely wrong, keeping its form (two upper-case digits).
std::string WrongChecksum(const std::string& digits) {
    const unsigned value = static_cast<unsigned>(std::stoul(digits, nullptr, 16));
    char out[3];
    std::snprintf(out, sizeof out, "%02X", (value + 1) & 0xFFu);
    return out;
}

// Empties the wake-up pipe so that one wake-up does not keep poll returning.
void DrainWake(int fd) {
    char drain[16];
    while (read(fd, drain, sizeof drain) > 0) {
    }
}

}  // namespace

int64_t MonotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string TranscriptJson(const TranscriptEntry& entry) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (const char c : entry.bytes) {
        const auto b = static_cast<unsigned char>(c);
        hex += kHex[b >> 4];
        hex += kHex[b & 0x0F];
    }
    // The readable text is the CP932 bytes decoded to UTF-8; the hex field is the exact record.
    std::string text;
    for (const char c : Cp932ToUtf8(entry.bytes)) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            text += '\\';
            text += c;
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (b < 0x20 || b == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04X", b);
            text += escaped;
        } else {
            text += c;
        }
    }
    return "{\"t\":" + std::to_string(entry.micros) + ",\"dir\":\"" + std::string(1, entry.direction) +
           "\",\"speed\":" + std::to_string(entry.speed) + ",\"hex\":\"" + hex + "\",\"text\":\"" + text +
           "\"}";
}

// ---------------------------------------------------------------------------------------------------------

struct Simulator::State {
    Options options;
    std::string linkPath;
    std::string devicePath;  // guarded by `mutex`: a replug changes it while others ask
    std::string linkTarget;  // what the link points at: the device, or a dangling name once unplugged
    int masterFd = -1;
    int slaveFd = -1;  // held open so that the master never sees a hang-up between the PC's opens
    int wakeFds[2] = {-1, -1};
    int64_t origin = 0;
    std::FILE* transcriptFile = nullptr;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> hangUpRequested{false};

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    std::vector<TranscriptEntry> transcript;
    std::vector<std::string> linesFromPc;
    std::vector<std::string> finalAnswers;
    int adapterSpeed = 9600;
    int hangUps = 0;
    int replugs = 0;

    // Terminal play; touched by the simulator thread only.
    enum class Phase { Idle, EnquirySent, Records, EndSent, HungUp };
    Phase phase = Phase::Idle;
    size_t recordIndex = 0;
    bool lastWasDuplicate = false;
    int uploadsServed = 0;
    int enquiryBadLeft = 0;
    int enquirySilenceLeft = 0;
    int enquiriesSeen = 0;
    int64_t hangUpAt = 0;  // CLOCK_MONOTONIC microseconds of the timed hang-up; 0 none
    int64_t replugAt = 0;  // of the coming replug; 0 none
    std::vector<int> faultsLeft;
    // Adapter command decoding.
    enum class Adapter { Ready, AwaitCode, AwaitQ };
    Adapter adapterState = Adapter::Ready;
    int pendingSpeed = 0;
    // The PC line being assembled.
    std::string pending;
    int64_t pendingMicros = 0;
    bool pendingGarbled = false;
    bool adapterAsked = false;  // adapterOnProbe: the PC has probed for the adapter on this line

    int CurrentSpeed() const {
        termios tio{};
        if (slaveFd < 0 || tcgetattr(slaveFd, &tio) != 0) {
            return 0;
        }
        return SpeedFromTermios(cfgetospeed(&tio));
    }

    void Record(char direction, std::string bytes, int64_t micros, int speed) {
        TranscriptEntry entry{micros - origin, direction, std::move(bytes), speed};
        std::lock_guard<std::mutex> lock(mutex);
        if (transcriptFile != nullptr) {
            std::fputs((TranscriptJson(entry) + "\n").c_str(), transcriptFile);
            std::fflush(transcriptFile);
        }
        transcript.push_back(std::move(entry));
        changed.notify_all();
    }

    // Writes all of `bytes`, paced when asked to. False when the simulator is stopping or the
    // pseudo-terminal is gone.
    // `lastWrite`, when given, receives the time just before the last write() call.
    bool WriteAll(const std::string& bytes, int64_t* lastWrite = nullptr) {
        const int pacing = options.pacingBitsPerSecond;
        const int64_t start = MonotonicMicros();
        size_t done = 0;
        while (done < bytes.size()) {
            if (stopRequested.load() || hangUpRequested.load()) {
                return false;
            }
            size_t chunk = bytes.size() - done;
            if (pacing > 0) {
                // Ten bits per byte: byte i leaves no earlier than i byte times after the start, and a
                // handful of bytes when its last one may.
                chunk = std::min(chunk, static_cast<size_t>(std::max(options.pacingChunk, 1)));
                const auto last = static_cast<int64_t>(done + chunk - 1);
                SleepUntilMicros(start + last * 10 * 1000000 / pacing);
            }
            if (lastWrite != nullptr) {
                *lastWrite = MonotonicMicros();
            }
            const ssize_t n = write(masterFd, bytes.data() + done, chunk);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                return false;
            }
            // The PC does not read: wait for room, a slice at a time.
            pollfd fds[2] = {{masterFd, POLLOUT, 0}, {wakeFds[0], POLLIN, 0}};
            poll(fds, 2, kPollSliceMs);
        }
        return true;
    }

    // A line of the terminal is stamped as its last bytes are handed to the line: a stamp taken after the
    // write could come late by however long this thread waited to run again, after the PC had already
    // read and answered the line.
    void SendTerminalLine(const std::string& text) { SendRaw(text + kCr); }

    void SendRaw(const std::string& bytes) {
        int64_t sent = 0;
        if (WriteAll(bytes, &sent)) {
            Record('T', bytes, sent, CurrentSpeed());
        }
    }

    std::string Frame(char type, const std::string& payload) const {
        const std::string covered = options.checksumCoverage == ChecksumCoverage::WholeFrame
                                        ? std::string("^") + type + payload + "*"
                                        : payload + "*";
        return std::string("^") + type + payload + "*" + TerminalChecksum(covered);
    }

    std::string EnquiryAnswer(bool badChecksum) const {
        std::string payload = options.terminalId;
        if (!options.enquiryWithoutAt) {
            const long long count = options.announcedCount >= 0
                                        ? options.announcedCount
                                        : static_cast<long long>(options.records.size());
            payload += "@" + std::to_string(count);
        }
        std::string frame = Frame('#', payload);
        if (badChecksum) {
            frame = frame.substr(0, frame.size() - 2) + WrongChecksum(frame.substr(frame.size() - 2));
        }
        return frame;
    }

    // The correct line for record i of the current upload.
    std::string RecordLine(size_t i) const {
        if (options.protocol != 0) {
            return options.records[i];
        }
        return Frame(static_cast<char>('0' + i % 10), options.records[i]);
    }

    // Sends record `recordIndex` (or the end marker), replaced by a pending fault when one applies.
    void SendCurrent() {
        lastWasDuplicate = false;
        if (recordIndex >= options.records.size()) {
            phase = Phase::EndSent;
            SendTerminalLine(options.endWord);
            return;
        }
        phase = Phase::Records;
        for (size_t f = 0; f < options.faults.size(); ++f) {
            const RecordFault& fault = options.faults[f];
            if (fault.record != static_cast<int>(recordIndex) || faultsLeft[f] <= 0) {
                continue;
            }
            const bool frameFault = fault.kind == FaultKind::BadChecksum ||
                                    fault.kind == FaultKind::LowerCaseHex ||
                                    fault.kind == FaultKind::WrongSequence;
            if (frameFault && options.protocol != 0) {
                continue;  // plain lines have no checksum and no sequence digit
            }
            if (fault.kind == FaultKind::RepeatPrevious && recordIndex == 0) {
                continue;
            }
            --faultsLeft[f];
            const std::string line = RecordLine(recordIndex);
            switch (fault.kind) {
                case FaultKind::BadChecksum:
                    SendTerminalLine(line.substr(0, line.size() - 2) +
                                     WrongChecksum(line.substr(line.size() - 2)));
                    return;
                case FaultKind::LowerCaseHex:
                    SendTerminalLine(line.substr(0, line.size() - 2) +
                                     LowerHex(line.substr(line.size() - 2)));
                    return;
                case FaultKind::WrongSequence:
                    SendTerminalLine(
                        Frame(static_cast<char>('0' + (recordIndex + 1) % 10), options.records[recordIndex]));
                    return;
                case FaultKind::RepeatPrevious:
                    lastWasDuplicate = true;
                    SendTerminalLine(RecordLine(recordIndex - 1));
                    return;
                case FaultKind::Silence:
                    return;
                case FaultKind::Garbage:
                    SendTerminalLine(std::string("\x15\x7F\xFF~garbage~\x1B\x81", 13));
                    return;
                case FaultKind::OverLong:
                    SendTerminalLine(std::string(300, 'X'));
                    return;
                case FaultKind::HangUp:
                    HangUp();
                    return;
            }
        }
        SendTerminalLine(RecordLine(recordIndex));
    }

    // A new pseudo-terminal, raw at its opening speed, its master non-blocking.
    bool OpenPty() {
        int master = -1;
        int slave = -1;
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        cfsetispeed(&raw, B9600);
        cfsetospeed(&raw, B9600);
        static_assert(kOpeningSpeed == 9600);
        if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
            return false;
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        masterFd = master;
        slaveFd = slave;
        std::lock_guard<std::mutex> lock(mutex);
        devicePath = name;
        return true;
    }

    // Points the link at `target`, replacing it in one step so that the PC never finds it missing
    // (a missing ports/COM<n> would send the library to /dev/ttyS<n-1>).
    bool PointLink(const std::string& target) {
        const std::string fresh = linkPath + ".new";
        unlink(fresh.c_str());
        if (symlink(target.c_str(), fresh.c_str()) != 0) {
            return false;
        }
        if (rename(fresh.c_str(), linkPath.c_str()) != 0) {
            unlink(fresh.c_str());
            return false;
        }
        linkTarget = target;
        return true;
    }

    void HangUp() {
        phase = Phase::HungUp;
        // The device goes with its name; counted first, so that whoever sees the hang-up sees it counted.
        std::string device;
        {
            std::lock_guard<std::mutex> lock(mutex);
            device = devicePath;
            ++hangUps;
            changed.notify_all();
        }
        PointLink(device + "-unplugged");
        if (masterFd >= 0) {
            close(masterFd);
            masterFd = -1;
        }
        if (slaveFd >= 0) {
            close(slaveFd);
            slaveFd = -1;
        }
        if (options.replugAfterMs >= 0) {
            replugAt = MonotonicMicros() + int64_t{options.replugAfterMs} * 1000;
        } else {
            SetFinished();
        }
    }

    // The terminal comes back on a new pseudo-terminal and starts afresh. False (to be tried again)
    // when the pseudo-terminal or the link cannot be made.
    bool Replug() {
        if (!OpenPty()) {
            return false;
        }
        std::string device;
        {
            std::lock_guard<std::mutex> lock(mutex);
            device = devicePath;
        }
        if (!PointLink(device)) {
            close(masterFd);
            close(slaveFd);
            masterFd = slaveFd = -1;
            return false;
        }
        replugAt = 0;
        phase = Phase::Idle;
        recordIndex = 0;
        lastWasDuplicate = false;
        adapterState = Adapter::Ready;
        adapterAsked = false;
        pending.clear();
        pendingGarbled = false;
        std::lock_guard<std::mutex> lock(mutex);
        adapterSpeed = options.adapterSpeed;
        ++replugs;
        changed.notify_all();
        return true;
    }

    void SetFinished() {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        changed.notify_all();
    }

    bool IsFinished() const {
        std::lock_guard<std::mutex> lock(mutex);
        return finished;
    }

    void EndUpload(const std::string& answer) {
        phase = Phase::Idle;
        recordIndex = 0;
        ++uploadsServed;
        {
            std::lock_guard<std::mutex> lock(mutex);
            finalAnswers.push_back(answer);
            changed.notify_all();
        }
        if (options.uploads > 0 && uploadsServed >= options.uploads) {
            SetFinished();
        }
    }

    // One complete line from the PC (without its CR).
    void OnPcLine(const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            linesFromPc.push_back(line);
            changed.notify_all();
        }
        if (IsFinished()) {
            return;  // every upload served: the terminal has left the cradle
        }
        if (IsClockCommand(line)) {
            phase = Phase::Idle;
            if (options.answerClock) {
                SendTerminalLine("OK");
            }
        } else if (line == "VOL") {
            phase = Phase::Idle;
            if (++enquiriesSeen == options.hangUpAtEnquiry) {
                HangUp();
                return;
            }
            if (!options.answerEnquiry) {
                return;
            }
            if (enquirySilenceLeft > 0) {
                --enquirySilenceLeft;
                return;
            }
            const bool bad = enquiryBadLeft > 0;
            if (bad) {
                --enquiryBadLeft;
            }
            phase = Phase::EnquirySent;
            SendTerminalLine(EnquiryAnswer(bad));
        } else if (line == "ACK") {
            switch (phase) {
                case Phase::EnquirySent:
                    recordIndex = 0;
                    SendCurrent();
                    break;
                case Phase::Records:
                    if (!lastWasDuplicate) {
                        ++recordIndex;
                    }
                    SendCurrent();
                    break;
                case Phase::EndSent:
                    EndUpload("ACK");
                    break;
                default:
                    break;
            }
        } else if (line == "NAK") {
            if (phase == Phase::EnquirySent) {
                phase = Phase::Idle;  // the PC enquires again
            } else if (phase == Phase::Records || phase == Phase::EndSent) {
                SendCurrent();
            }
        } else if (line == "CAN") {
            EndUpload("CAN");
        }
        // "BEL" and anything else: no answer ("BEL" is always followed by "CAN").
    }

    void FlushPending() {
        if (pending.empty()) {
            return;
        }
        std::string bytes;
        bytes.swap(pending);
        const bool garbled = pendingGarbled;
        pendingGarbled = false;
        Record('P', bytes, pendingMicros, CurrentSpeed());
        if (!garbled && !bytes.empty() && bytes.back() == kCr) {
            bytes.pop_back();
            OnPcLine(bytes);
        }
    }

    void OnByte(unsigned char byte, int64_t now) {
        adapterAsked = adapterAsked || (options.adapterOnProbe && byte == kProbe);
        if (options.adapterMode || adapterAsked) {
            const int speed = CurrentSpeed();
            // The PC's answer to the end marker may be read only after the PC closed the port and put
            // the line back at the speed it found (a real line sends the bytes before that restore), so
            // that answer is taken at the line's opening speed too; every other line is not.
            const bool understood =
                speed == adapterSpeed || (phase == Phase::EndSent && speed == kOpeningSpeed);
            if (adapterState == Adapter::AwaitCode) {
                Record('P', std::string(1, static_cast<char>(byte)), now, speed);
                pendingSpeed = understood ? SpeedFromCode(byte) : 0;
                adapterState = pendingSpeed != 0 ? Adapter::AwaitQ : Adapter::Ready;
                return;
            }
            if (adapterState == Adapter::AwaitQ) {
                Record('P', std::string(1, static_cast<char>(byte)), now, speed);
                if (understood && byte == 'Q') {
                    std::lock_guard<std::mutex> lock(mutex);
                    adapterSpeed = pendingSpeed;
                }
                adapterState = Adapter::Ready;
                return;
            }
            if (byte == kProbe || byte == kSpeedCommand) {
                Record('P', std::string(1, static_cast<char>(byte)), now, speed);
                if (understood && byte == kProbe) {
                    SendRaw(std::string(1, static_cast<char>(kProbe)));
                } else if (understood) {
                    adapterState = Adapter::AwaitCode;
                }
                return;
            }
            if (!understood) {
                pendingGarbled = true;  // the infrared link garbles bytes sent at the wrong speed
            }
        }
        if (pending.empty()) {
            pendingMicros = now;
        }
        pending += static_cast<char>(byte);
        // A CR ends a line; a flood without CR is cut so the buffer stays bounded.
        if (byte == static_cast<unsigned char>(kCr) || pending.size() >= 4096) {
            FlushPending();
        }
    }
};

Simulator::Simulator() : state_(std::make_unique<State>()) {}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start(const std::string& programFolder, int port, const Options& options) {
    if (thread_.joinable()) {
        return false;  // already running: Stop() first
    }
    // A stopped simulator starts afresh: nothing of its last run (uploads served, lines, transcript,
    // adapter speed, terminal phase) may leak into the new one.
    Stop();
    startProblem_.clear();
    state_ = std::make_unique<State>();
    State& s = *state_;
    s.options = options;
    s.adapterSpeed = options.adapterSpeed;
    s.enquiryBadLeft = options.enquiryBadChecksum;
    s.enquirySilenceLeft = options.enquirySilence;
    s.faultsLeft.clear();
    for (const RecordFault& fault : options.faults) {
        s.faultsLeft.push_back(fault.times);
    }

    // Each failed step says what it could not do, naming the file, before Stop() may change errno.
    const auto fail = [this](const std::string& what) {
        startProblem_ = what + ": " + std::strerror(errno);
        Stop();
        return false;
    };
    const std::string link =
        (std::filesystem::path(programFolder) / "ports" / ("COM" + std::to_string(port))).string();
    if (!s.OpenPty() || pipe2(s.wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return fail("cannot make a pseudo-terminal for " + link);
    }

    // The link the library looks for: <folder>/ports/COM<n> -> /dev/pts/<m>.
    std::error_code error;
    const std::filesystem::path ports = std::filesystem::path(programFolder) / "ports";
    std::filesystem::create_directories(ports, error);
    s.linkPath = (ports / ("COM" + std::to_string(port))).string();
    if (!s.PointLink(s.devicePath)) {
        s.linkPath.clear();
        return fail("cannot link the pseudo-terminal as " + link);
    }

    if (!options.transcriptPath.empty()) {
        s.transcriptFile = std::fopen(options.transcriptPath.c_str(), "w");
        if (s.transcriptFile == nullptr) {
            return fail("cannot write the transcript " + options.transcriptPath);
        }
    }
    s.origin = MonotonicMicros();
    s.hangUpAt = options.hangUpAfterMs > 0 ? s.origin + int64_t{options.hangUpAfterMs} * 1000 : 0;
    s.stopRequested = false;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Simulator::Run() {
    State& s = *state_;
    // Paced bytes leave at their byte times: without this the kernel may round each sleep up by its
    // default 50 µs of timer slack, a good part of a byte time at 115200 bit/s (87 µs).
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    char buffer[4096];
    // How long to wait for input before looking at the timed events again.
    auto slice = [&s](int64_t now) {
        int64_t ms = kPollSliceMs;
        for (const int64_t at : {s.hangUpAt, s.replugAt}) {
            if (at != 0) {
                ms = std::min<int64_t>(ms, std::max<int64_t>(0, (at - now + 999) / 1000));
            }
        }
        return static_cast<int>(ms);
    };
    while (!s.stopRequested.load()) {
        const int64_t now = MonotonicMicros();
        const bool hangUpDue = s.hangUpAt != 0 && now >= s.hangUpAt;
        if ((hangUpDue || s.hangUpRequested.exchange(false)) && s.masterFd >= 0) {
            if (hangUpDue) {
                s.hangUpAt = 0;
            }
            s.HangUp();
            continue;
        }
        if (s.masterFd < 0) {
            if (s.replugAt != 0 && now >= s.replugAt && !s.Replug()) {
                s.replugAt = now + kPollSliceMs * 1000;
            }
            if (s.masterFd < 0) {
                // Unplugged: wait for the replug, or for Stop() when none is coming.
                pollfd wake{s.wakeFds[0], POLLIN, 0};
                poll(&wake, 1, slice(now));
                DrainWake(s.wakeFds[0]);
            }
            continue;
        }
        pollfd fds[2] = {{s.masterFd, POLLIN, 0}, {s.wakeFds[0], POLLIN, 0}};
        const int ready = poll(fds, 2, slice(now));
        if ((fds[1].revents & POLLIN) != 0) {
            DrainWake(s.wakeFds[0]);
        }
        if (ready <= 0) {
            continue;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(s.masterFd, buffer, sizeof buffer);
            const int64_t now = MonotonicMicros();
            for (ssize_t i = 0; i < n; ++i) {
                s.OnByte(static_cast<unsigned char>(buffer[i]), now);
                if (s.masterFd < 0) {
                    break;
                }
            }
        } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            // Cannot happen while the slave is held open; never spin if it does.
            usleep(kPollSliceMs * 1000);
        }
    }
}

bool Simulator::WaitFinished(int timeoutMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [this] { return state_->finished; });
}

void Simulator::HangUpNow() {
    state_->hangUpRequested = true;
    if (state_->wakeFds[1] >= 0) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = write(state_->wakeFds[1], &wake, 1);
    }
}

bool Simulator::WaitReplugged(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->replugs >= count; });
}

bool Simulator::WaitLinesFromPc(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state_->linesFromPc.size() >= count; });
}

void Simulator::Stop() {
    State& s = *state_;
    s.stopRequested = true;
    if (s.wakeFds[1] >= 0) {
        const char wake = 1;
        [[maybe_unused]] const ssize_t n = write(s.wakeFds[1], &wake, 1);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    for (int* fd : {&s.masterFd, &s.slaveFd, &s.wakeFds[0], &s.wakeFds[1]}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (!s.linkPath.empty()) {
        // Remove the link only while it is still ours.
        char target[256] = {};
        const ssize_t n = readlink(s.linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && s.linkTarget == std::string(target, static_cast<size_t>(n))) {
            unlink(s.linkPath.c_str());
        }
        s.linkPath.clear();
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.transcriptFile != nullptr) {
        std::fclose(s.transcriptFile);
        s.transcriptFile = nullptr;
    }
}

bool Simulator::Finished() const {
    return state_->IsFinished();
}

std::vector<std::string> Simulator::FinalAnswers() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finalAnswers;
}

std::vector<std::string> Simulator::LinesFromPc() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->linesFromPc;
}

std::vector<TranscriptEntry> Simulator::Transcript() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->transcript;
}

int Simulator::AdapterSpeed() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->adapterSpeed;
}

int Simulator::HangUps() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->hangUps;
}

int Simulator::Replugs() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->replugs;
}

std::string Simulator::LinkPath() const {
    return state_->linkPath;
}
std::string Simulator::DevicePath() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->devicePath;
}
int64_t Simulator::OriginMicros() const {
    return state_->origin;
}

}  // namespace termsim
