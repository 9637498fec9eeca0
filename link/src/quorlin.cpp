// The operations of libquorlin.so: opening (directly or through an infrared adapter found by
// probing), line reads, writes and purge on the library's one port. Device access goes through
// SerialPort, so this file holds the link's behaviour and nothing platform-specific.
#include "quorlin.h"

#include <cstring>
#include <memory>
#include <string_view>

#include "line_assembler.h"
#include "link_timing.h"
#include "serial_port.h"

namespace quorlin {
namespace {

// Open results as vbOpenIrCom reports them.
constexpr int32_t kOpened = 1;
constexpr int32_t kNotOpened = 0;
constexpr int32_t kSetUpFailed = -1;

constexpr int32_t kAdapterMode = 1;

// The library holds one port for the whole process. Constant-initialised: loading the library runs
// no code.
struct Link {
    std::unique_ptr<SerialPort> port;
    LineSettings line;
    LineAssembler assembler;
    // Set once the device has been seen gone (hung up, unplugged); a gone device never comes back on
    // the same descriptor, so this stays until the port is closed.
    bool gone = false;
    // The last line read, CR included, then a NUL; ReadIrCom hands out its address.
    char line_buffer[260] = {};
};
constinit Link g_link{};

void Settle() {
    SleepUntil(Clock::now() + kSettleDelay);
}

void SendCommandByte(SerialPort& port, char byte) {
    // Results of the single command bytes are not examined: a lost byte shows up as a failed probe
    // or as a line that never answers.
    port.WriteAll(&byte, 1, Clock::now() + WriteTimeout(1));
}

// Sends the probe byte at `speed` and reports whether the adapter echoed it within the settle delay.
bool ProbeAdapter(SerialPort& port, int32_t speed) {
    g_link.line = {speed, false};
    port.Apply(g_link.line);
    Settle();
    // A late echo from an earlier probe must not be taken for this speed's answer.
    port.DiscardInput();
    SendCommandByte(port, kProbeByte);
    Settle();

    // One look, no waiting. Only a failing read call is tried again, for a short while.
    const Clock::time_point retry_until = Clock::now() + kProbeRetryWindow;
    char echo = 0;
    ReadResult read = port.ReadNow(&echo, 1);
    while ((read.status == ReadResult::Status::kFailed || read.status == ReadResult::Status::kGone) &&
           Clock::now() < retry_until) {
        SleepUntil(Clock::now() + kProbeRetryPause);
        read = port.ReadNow(&echo, 1);
    }
    const bool found = read.status == ReadResult::Status::kData && echo == kProbeByte;

    g_link.line.rts = true;
    port.Apply(g_link.line);
    Settle();
    return found;
}

// Finds the adapter's speed and switches it to the requested one. RTS is off while command bytes go
// out, since the adapter takes bytes as commands only then.
bool SetUpAdapter(SerialPort& port, int32_t requested_speed) {
    g_link.line = {38400, true};
    port.Apply(g_link.line);
    Settle();

    int32_t found = 0;
    for (int32_t speed : kProbeOrder) {
        if (ProbeAdapter(port, speed)) {
            found = speed;
            break;
        }
    }
    if (found == 0) {
        return false;
    }

    g_link.line = {found, false};
    if (!port.Apply(g_link.line)) {
        return false;
    }
    Settle();
    SendCommandByte(port, kSpeedCommandStart);
    Settle();
    const SpeedChoice target = ChooseSpeed(requested_speed);
    SendCommandByte(port, target.code);
    Settle();
    SendCommandByte(port, kSpeedCommandEnd);
    Settle();

    g_link.line = {target.bits_per_second, true};
    if (!port.Apply(g_link.line)) {
        return false;
    }
    Settle();
    return true;
}

bool SetUpDirect(SerialPort& port, int32_t requested_speed) {
    g_link.line = {ChooseSpeed(requested_speed).bits_per_second, true};
    if (!port.Apply(g_link.line)) {
        return false;
    }
    Settle();
    return true;
}

void Close() {
    g_link.port.reset();
    g_link.assembler.Reset();
    g_link.gone = false;
}

int32_t Open(int32_t number, int32_t speed, int32_t mode) {
    // Any open replaces the port: the old one is closed first so that neither its descriptor nor its
    // lock outlives it (reopening the same port would otherwise find it "in use").
    Close();
    if (!IsValidPortNumber(number)) {
        return kNotOpened;
    }
    std::unique_ptr<SerialPort> port = OpenSerialPort(number);
    if (!port) {
        return kNotOpened;
    }
    const bool set_up = mode == kAdapterMode ? SetUpAdapter(*port, speed) : SetUpDirect(*port, speed);
    if (!set_up || !port->Apply(g_link.line)) {
        return kSetUpFailed;  // `port` closes the device on the way out
    }
    g_link.port = std::move(port);
    return kOpened;
}

// Reads one line into g_link.line_buffer. Returns its length (CR included) or -1 on time-out.
int32_t ReadLine() {
    const Clock::time_point deadline = Clock::now() + kReadTimeout;
    LineAssembler& assembler = g_link.assembler;
    auto deliver = [](std::string_view line) {
        std::memcpy(g_link.line_buffer, line.data(), line.size());
        g_link.line_buffer[line.size()] = '\0';
        return static_cast<int32_t>(line.size());
    };
    // A dead line ends the read at its deadline, as a time-out, without spinning.
    auto sleep_out = [&] {
        SleepUntil(deadline);
        assembler.DropPartial();
        return -1;
    };

    if (!g_link.port) {
        return sleep_out();
    }
    if (assembler.TakeCarriedLine()) {
        return deliver(assembler.line());
    }
    SerialPort& port = *g_link.port;
    bool hang_up_reported = false;
    char chunk[256];
    for (;;) {
        const ReadResult read = port.ReadNow(chunk, kReadChunk);
        if (read.status == ReadResult::Status::kData) {
            const LineAssembler::Outcome outcome = assembler.Append(std::string_view(chunk, read.count));
            if (outcome == LineAssembler::Outcome::kDiscarded) {
                return -1;
            }
            if (Clock::now() > deadline) {
                assembler.DropPartial();  // too late, even if the line has just completed
                return -1;
            }
            if (outcome == LineAssembler::Outcome::kLine) {
                return deliver(assembler.line());
            }
            continue;
        }
        if (read.status == ReadResult::Status::kGone) {
            g_link.gone = true;
        }
        if (read.status != ReadResult::Status::kNothing || hang_up_reported) {
            return sleep_out();
        }
        const WaitResult wait = port.WaitForInput(deadline);
        if (wait.timed_out) {
            assembler.DropPartial();  // bytes still on their way stay queued for the next read
            return -1;
        }
        if (wait.failed && !wait.gone) {
            return sleep_out();
        }
        // Read once more even after a hang-up: whatever arrived before it is still delivered.
        hang_up_reported = wait.gone;
        g_link.gone = g_link.gone || wait.gone;
    }
}

}  // namespace
}  // namespace quorlin

using namespace quorlin;

extern "C" {

void* OpenIrCom(int32_t port, int32_t speed, int32_t mode) {
    return Open(port, speed, mode) == kOpened ? g_link.port.get() : nullptr;
}

int32_t vbOpenIrCom(int32_t port, int32_t speed, int32_t mode) {
    return Open(port, speed, mode);
}

int32_t CloseIrCom(void) {
    const bool was_open = g_link.port != nullptr;
    Close();
    return was_open ? 1 : 0;
}

char* ReadIrCom(void) {
    return ReadLine() < 0 ? nullptr : g_link.line_buffer;
}

int32_t vbReadIrCom(char* buffer) {
    if (buffer == nullptr) {
        return -1;
    }
    const int32_t length = ReadLine();
    if (length >= 0) {
        std::memcpy(buffer, g_link.line_buffer, static_cast<std::size_t>(length) + 1);
    }
    return length;
}

int32_t WriteIrCom(const char* text) {
    const Clock::time_point start = Clock::now();
    if (text == nullptr) {
        return 0;
    }
    const std::size_t size = std::strlen(text);
    // The terminal needs a gap between lines: nothing leaves before 2 ms have passed since the call.
    const Clock::time_point earliest = start + kWriteSpacing;
    SleepUntil(earliest);
    if (!g_link.port) {
        return 0;
    }
    const WriteOutcome outcome = g_link.port->WriteAll(text, size, Clock::now() + WriteTimeout(size));
    if (outcome == WriteOutcome::kGone) {
        g_link.gone = true;
    }
    return outcome == WriteOutcome::kWritten ? 1 : 0;
}

int32_t ClearIrCom(void) {
    g_link.assembler.Reset();
    if (!g_link.port) {
        return 0;
    }
    char chunk[256];
    ReadResult read;
    do {
        read = g_link.port->ReadNow(chunk, kReadChunk);
    } while (read.status == ReadResult::Status::kData);
    if (read.status == ReadResult::Status::kGone) {
        g_link.gone = true;
    }
    return 0;
}

int32_t IrComState(void) {
    if (!g_link.port) {
        return 0;
    }
    // What the reads and writes have seen, or what the device says now: a caller may ask before
    // any read has run into the hang-up.
    if (!g_link.gone && g_link.port->Gone()) {
        g_link.gone = true;
    }
    return g_link.gone ? -1 : 1;
}

}  // extern "C"
