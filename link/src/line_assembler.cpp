#include "line_assembler.h"

#include <algorithm>

namespace quorlin {

namespace {
constexpr char kCr = '\r';
}

LineAssembler::Outcome LineAssembler::Append(std::string_view chunk) {
    if (complete_) {
        size_ = 0;
        complete_ = false;
        carried_line_ = false;
    }
    if (chunk.empty()) {
        return Outcome::kPending;
    }
    if (!discarding_ && size_ + chunk.size() <= kMaxLine) {
        std::copy(chunk.begin(), chunk.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(size_));
        size_ += chunk.size();
        if (chunk.back() == kCr) {
            complete_ = true;
            return Outcome::kLine;
        }
        return Outcome::kPending;
    }
    // Over-long, now or since an earlier chunk: everything up to the next CR goes.
    size_ = 0;
    const std::size_t cr = chunk.find(kCr);
    if (cr == std::string_view::npos) {
        discarding_ = true;
        return Outcome::kPending;
    }
    discarding_ = false;
    Carry(chunk.substr(cr + 1));
    return Outcome::kDiscarded;
}

void LineAssembler::Carry(std::string_view rest) {
    // A chunk is at most one read's worth (100 bytes), far below kMaxLine; the cap only guards the copy.
    rest = rest.substr(0, kMaxLine);
    std::copy(rest.begin(), rest.end(), bytes_.begin());
    size_ = rest.size();
    if (!rest.empty() && rest.back() == kCr) {
        complete_ = true;
        carried_line_ = true;
    }
}

bool LineAssembler::TakeCarriedLine() {
    if (!carried_line_) {
        return false;
    }
    carried_line_ = false;
    return true;
}

void LineAssembler::DropPartial() {
    size_ = 0;
    complete_ = false;
    carried_line_ = false;
}

void LineAssembler::Reset() {
    DropPartial();
    discarding_ = false;
}

}  // namespace quorlin
