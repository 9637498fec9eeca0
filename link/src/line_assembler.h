#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace quorlin {

// Builds one CR-terminated line from the chunks a read call returns.
//
// A line is complete only when a chunk ends with CR; a CR inside a chunk does not end it (two lines
// that arrive together come out as one, and the frame check above rejects them). A line, its CR
// included, holds at most kMaxLine bytes so that it always fits the caller's 256-byte buffer with its
// NUL. Input that grows beyond that before a chunk ends with CR is discarded up to and including the
// first CR that follows, even when that CR only arrives in a later chunk or a later read; bytes after
// that CR start the next line.
class LineAssembler {
public:
    static constexpr std::size_t kMaxLine = 255;

    enum class Outcome {
        kPending,    // no complete line yet: keep reading
        kLine,       // line() holds a complete line
        kDiscarded,  // an over-long line has just been thrown away up to its CR
    };

    // Feeds one chunk as it came from the device.
    Outcome Append(std::string_view chunk);

    // True when bytes left over after a discarded line already form a complete line; line() is then
    // valid. Called at the start of a read, before the device is asked.
    bool TakeCarriedLine();

    // The complete line (CR included), valid after kLine or a true TakeCarriedLine until the next call.
    std::string_view line() const { return {bytes_.data(), size_}; }

    // The read timed out: the bytes assembled so far are lost. A discard in progress goes on, so the
    // rest of an over-long line is still thrown away by the next reads.
    void DropPartial();

    // Forgets everything, the discard state included (purge, close, open).
    void Reset();

    bool discarding() const { return discarding_; }

private:
    void Carry(std::string_view rest);

    std::array<char, kMaxLine> bytes_{};
    std::size_t size_ = 0;
    bool complete_ = false;      // bytes_ holds a finished line; the next Append starts afresh
    bool carried_line_ = false;  // ...and it came from a carry that no read has returned yet
    bool discarding_ = false;
};

}  // namespace quorlin
