#include "serial_link.h"

#include <cstring>
#include <string_view>

namespace quorlin {

namespace {
constexpr int32_t kAdapterMode = 1;
}  // namespace

void SerialLink::Settle() {
    platform_->SleepUntil(platform_->Now() + kSettleDelay);
}

void SerialLink::SendCommandByte(char byte) {
    // Results of the single command bytes are not examined: a lost byte shows up as a failed probe or as
    // a line that never answers.
    active_->WriteAll(&byte, 1, platform_->Now() + WriteTimeout(1));
}

bool SerialLink::Apply(int32_t bits_per_second, bool rts) {
    line_ = {bits_per_second, rts};
    return active_->Apply(line_);
}

// Sends the probe byte at `speed` and reports whether the adapter echoed it within the settle delay.
bool SerialLink::ProbeAdapter(int32_t speed) {
    Apply(speed, false);
    Settle();
    // A late echo from an earlier probe must not be taken for this speed's answer.
    active_->DiscardInput();
    SendCommandByte(kProbeByte);
    Settle();

    // One look, no waiting. Only a failing read call is tried again, for a short while.
    const Clock::time_point retry_until = platform_->Now() + kProbeRetryWindow;
    char echo = 0;
    ReadResult read = active_->ReadNow(&echo, 1);
    while ((read.status == ReadResult::Status::kFailed || read.status == ReadResult::Status::kGone) &&
           platform_->Now() < retry_until) {
        platform_->SleepUntil(platform_->Now() + kProbeRetryPause);
        read = active_->ReadNow(&echo, 1);
    }
    const bool found = read.status == ReadResult::Status::kData && echo == kProbeByte;

    Apply(speed, true);
    Settle();
    return found;
}

// Finds the adapter's speed and switches it to the requested one. RTS is off while command bytes go
// out, since the adapter takes bytes as commands only then.
bool SerialLink::SetUpAdapter(int32_t requested_speed) {
    Apply(38400, true);
    Settle();

    int32_t found = 0;
    for (int32_t speed : kProbeOrder) {
        if (ProbeAdapter(speed)) {
            found = speed;
            break;
        }
    }
    if (found == 0) {
        return false;
    }

    if (!Apply(found, false)) {
        return false;
    }
    Settle();
    SendCommandByte(kSpeedCommandStart);
    Settle();
    const SpeedChoice target = ChooseSpeed(requested_speed);
    SendCommandByte(target.code);
    Settle();
    SendCommandByte(kSpeedCommandEnd);
    Settle();

    if (!Apply(target.bits_per_second, true)) {
        return false;
    }
    Settle();
    return true;
}

bool SerialLink::SetUpDirect(int32_t requested_speed) {
    if (!Apply(ChooseSpeed(requested_speed).bits_per_second, true)) {
        return false;
    }
    Settle();
    return true;
}

bool SerialLink::Close() {
    const bool was_open = port_ != nullptr;
    port_.reset();
    active_ = nullptr;
    assembler_.Reset();
    gone_ = false;
    return was_open;
}

int32_t SerialLink::Open(int32_t number, int32_t speed, int32_t mode) {
    // Any open replaces the port: the old one is closed first so that neither its descriptor nor its
    // lock outlives it (reopening the same port would otherwise find it "in use").
    Close();
    if (!IsValidPortNumber(number)) {
        return kNotOpened;
    }
    std::unique_ptr<SerialPort> port = platform_->OpenPort(number);
    if (!port) {
        return kNotOpened;
    }
    active_ = port.get();
    // An adapter must be followed to another speed, which a port without speed control cannot do.
    const bool set_up =
        mode == kAdapterMode ? port->CanSetSpeed() && SetUpAdapter(speed) : SetUpDirect(speed);
    const bool applied = set_up && active_->Apply(line_);
    // A device gone before its set-up ended was never there to use: a server that hangs up at once (its
    // own port is busy) is a port that cannot be opened, not a refused setting, nor one to read until it
    // is found gone.
    if (!applied || port->Gone()) {
        active_ = nullptr;
        return port->Gone() ? kNotOpened : kSetUpFailed;  // `port` closes the device on the way out
    }
    port_ = std::move(port);
    return kOpened;
}

int32_t SerialLink::ReadLine() {
    const Clock::time_point deadline = platform_->Now() + kReadTimeout;
    auto deliver = [this](std::string_view line) {
        std::memcpy(line_buffer_, line.data(), line.size());
        line_buffer_[line.size()] = '\0';
        return static_cast<int32_t>(line.size());
    };
    // A dead line ends the read at its deadline, as a time-out, without spinning.
    auto sleep_out = [&] {
        platform_->SleepUntil(deadline);
        assembler_.DropPartial();
        return -1;
    };

    if (!port_) {
        return sleep_out();
    }
    if (assembler_.TakeCarriedLine()) {
        return deliver(assembler_.line());
    }
    SerialPort& port = *port_;
    bool hang_up_reported = false;
    char chunk[256];
    for (;;) {
        const ReadResult read = port.ReadNow(chunk, kReadChunk);
        if (read.status == ReadResult::Status::kData) {
            const LineAssembler::Outcome outcome = assembler_.Append(std::string_view(chunk, read.count));
            if (outcome == LineAssembler::Outcome::kDiscarded) {
                return -1;
            }
            if (platform_->Now() > deadline) {
                assembler_.DropPartial();  // too late, even if the line has just completed
                return -1;
            }
            if (outcome == LineAssembler::Outcome::kLine) {
                return deliver(assembler_.line());
            }
            if (read.count == kReadChunk) {
                continue;  // there may be more already
            }
            // The device had no more: wait for the rest rather than ask again at once (a terminal that
            // sends byte by byte would otherwise cost an empty read per byte).
        } else {
            NoteGone(read.status == ReadResult::Status::kGone);
            if (read.status != ReadResult::Status::kNothing || hang_up_reported) {
                return sleep_out();
            }
        }
        const WaitResult wait = port.WaitForInput(deadline);
        if (wait.timed_out) {
            assembler_.DropPartial();  // bytes still on their way stay queued for the next read
            return -1;
        }
        if (wait.failed && !wait.gone) {
            return sleep_out();
        }
        // Read once more even after a hang-up: whatever arrived before it is still delivered.
        hang_up_reported = wait.gone;
        NoteGone(wait.gone);
    }
}

bool SerialLink::Write(const char* text, std::size_t size, Clock::time_point call_began) {
    // The terminal needs a gap between lines: nothing leaves before the spacing has passed since the call.
    platform_->SleepUntil(call_began + kWriteSpacing);
    if (!port_) {
        return false;
    }
    const WriteOutcome outcome = port_->WriteAll(text, size, platform_->Now() + WriteTimeout(size));
    NoteGone(outcome == WriteOutcome::kGone);
    return outcome == WriteOutcome::kWritten;
}

void SerialLink::Clear() {
    assembler_.Reset();
    if (!port_) {
        return;
    }
    char chunk[256];
    ReadResult read;
    do {
        read = port_->ReadNow(chunk, kReadChunk);
    } while (read.status == ReadResult::Status::kData);
    NoteGone(read.status == ReadResult::Status::kGone);
}

int32_t SerialLink::State() {
    if (!port_) {
        return 0;
    }
    // What the reads and writes have seen, or what the device says now: a caller may ask before any
    // read has run into the hang-up.
    NoteGone(!gone_ && port_->Gone());
    return gone_ ? -1 : 1;
}

}  // namespace quorlin
