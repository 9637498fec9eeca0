#include "telnet_codec.h"

namespace quorlin {

namespace {

constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

constexpr uint8_t kBinary = 0;
constexpr uint8_t kSuppressGoAhead = 3;
constexpr uint8_t kComPortOption = 44;

// Longer subnegotiations (a server's signature text) are cut: nothing the client reads is that long.
constexpr std::size_t kSubLimit = 64;

bool Accepted(uint8_t option) {
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

void Put(std::string& out, uint8_t a, uint8_t b, uint8_t c) {
    out.push_back(static_cast<char>(a));
    out.push_back(static_cast<char>(b));
    out.push_back(static_cast<char>(c));
}

}  // namespace

void TelnetClient::Start(std::string& out) {
    us_[kBinary] = Side::kWantYes;
    them_[kBinary] = Side::kWantYes;
    us_[kComPortOption] = Side::kWantYes;
    Put(out, kIac, kWill, kBinary);
    Put(out, kIac, kDo, kBinary);
    Put(out, kIac, kWill, kComPortOption);
}

bool TelnetClient::Settled() const {
    return us_[kBinary] != Side::kWantYes && them_[kBinary] != Side::kWantYes &&
           us_[kComPortOption] != Side::kWantYes;
}

bool TelnetClient::Binary() const {
    return us_[kBinary] == Side::kYes && them_[kBinary] == Side::kYes;
}

bool TelnetClient::ComPort() const {
    return us_[kComPortOption] == Side::kYes;
}

// RFC 1143's rule, without the queue (the client never takes back what it asked for): answer a request
// only when it changes the option's state, and take a reply to our own request as that reply.
void TelnetClient::Negotiate(uint8_t verb, uint8_t option, std::string& out) {
    const bool aboutUs = verb == kDo || verb == kDont;
    const bool yes = verb == kWill || verb == kDo;
    Side& side = aboutUs ? us_[option] : them_[option];
    const uint8_t agree = aboutUs ? kWill : kDo;
    const uint8_t refuse = aboutUs ? kWont : kDont;
    switch (side) {
        case Side::kNo:
            if (yes) {
                if (Accepted(option)) {
                    side = Side::kYes;
                    Put(out, kIac, agree, option);
                } else {
                    Put(out, kIac, refuse, option);
                }
            }
            break;
        case Side::kYes:
            if (!yes) {
                side = Side::kNo;
                Put(out, kIac, refuse, option);
            }
            break;
        case Side::kWantYes:
            side = yes ? Side::kYes : Side::kNo;
            break;
    }
}

void TelnetClient::EndSubnegotiation() {
    // A Com Port Control answer: the command plus 100, then its value.
    if (sub_.size() < 3 || static_cast<uint8_t>(sub_[0]) != kComPortOption) {
        return;
    }
    const auto command = static_cast<uint8_t>(sub_[1]);
    if (command < 100 + 1 || command > 100 + 12) {
        return;  // line-state and modem-state notices (106, 107) and anything else: read, not kept
    }
    uint32_t value = 0;
    for (std::size_t i = 2; i < sub_.size() && i < 6; ++i) {
        value = value << 8 | static_cast<uint8_t>(sub_[i]);
    }
    const std::size_t index = (command - 100) & 0x0F;
    values_[index] = value;
    ++answers_[index];
}

void TelnetClient::Receive(std::string_view bytes, std::string& data, std::string& out) {
    for (const char c : bytes) {
        const auto byte = static_cast<uint8_t>(c);
        switch (state_) {
            case State::kData:
                if (byte == kIac) {
                    state_ = State::kIac;
                } else {
                    data.push_back(c);
                }
                break;
            case State::kIac:
                if (byte == kIac) {
                    data.push_back(c);
                    state_ = State::kData;
                } else if (byte >= kWill) {
                    verb_ = byte;
                    state_ = State::kOption;
                } else if (byte == kSb) {
                    sub_.clear();
                    state_ = State::kSub;
                } else {
                    state_ = State::kData;  // NOP, GA, DM and the other two-byte commands
                }
                break;
            case State::kOption:
                Negotiate(verb_, byte, out);
                state_ = State::kData;
                break;
            case State::kSub:
                if (byte == kIac) {
                    state_ = State::kSubIac;
                } else if (sub_.size() < kSubLimit) {
                    sub_.push_back(c);
                }
                break;
            case State::kSubIac:
                if (byte == kSe) {
                    EndSubnegotiation();
                    state_ = State::kData;
                } else {
                    if (byte == kIac && sub_.size() < kSubLimit) {
                        sub_.push_back(c);
                    }
                    state_ = State::kSub;
                }
                break;
        }
    }
}

void TelnetClient::EncodeData(std::string_view data, std::string& out) {
    for (const char c : data) {
        out.push_back(c);
        if (static_cast<uint8_t>(c) == kIac) {
            out.push_back(c);
        }
    }
}

void TelnetClient::EncodeCommand(ComPortCommand command, uint32_t value, std::string& out) {
    Put(out, kIac, kSb, kComPortOption);
    out.push_back(static_cast<char>(command));
    std::string body;
    if (command == ComPortCommand::kSetBaudRate) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            body.push_back(static_cast<char>(value >> shift & 0xFF));
        }
    } else {
        body.push_back(static_cast<char>(value & 0xFF));
    }
    EncodeData(body, out);
    out.push_back(static_cast<char>(kIac));
    out.push_back(static_cast<char>(kSe));
}

}  // namespace quorlin
