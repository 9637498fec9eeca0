#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The client side of Telnet (RFC 854) with the Com Port Control option (RFC 2217), as bytes in and bytes
// out: nothing here touches a socket, so all of it is tested on its own.
//
// Data is binary both ways: the client asks for BINARY in both directions, and a server that refuses it
// would turn every CR into CR NUL, so such a server is of no use (Binary() says so). Every 0xFF (IAC) in
// data is doubled on the way out and undone on the way in, whatever else was agreed. The client also
// offers COM-PORT-OPTION; a server that takes it changes the line's speed, format and modem lines on
// request and answers each setting with the value it really set. SGA is accepted both ways, as any
// Telnet client does; every other option is refused. Notices the server sends on its own (line state,
// modem state) and any other subnegotiation are read and dropped, never mixed into the data.
namespace quorlin {

// Com Port Control commands, client to server; the server answers with the command plus 100.
enum class ComPortCommand : uint8_t {
    kSetBaudRate = 1,
    kSetDataSize = 2,
    kSetParity = 3,
    kSetStopSize = 4,
    kSetControl = 5,
    kPurgeData = 12,
};

// Values of SET-PARITY, SET-STOPSIZE, SET-CONTROL and PURGE-DATA the link uses.
inline constexpr uint8_t kParityNone = 1;
inline constexpr uint8_t kStopBitsOne = 1;
inline constexpr uint8_t kControlNoFlowControl = 1;
inline constexpr uint8_t kControlDtrOn = 8;
inline constexpr uint8_t kControlRtsOn = 11;
inline constexpr uint8_t kControlRtsOff = 12;
inline constexpr uint8_t kPurgeReceived = 1;  // what the server received from its line and has not sent

class TelnetClient {
public:
    // The client's opening requests: WILL BINARY, DO BINARY, WILL COM-PORT-OPTION.
    void Start(std::string& out);

    // Decodes bytes from the server: data is appended to `data`, replies to the server to `out`.
    void Receive(std::string_view bytes, std::string& data, std::string& out);

    // True once the server has answered every opening request.
    bool Settled() const;
    // BINARY is on in both directions.
    bool Binary() const;
    // The server took COM-PORT-OPTION: it changes speeds and modem lines on request.
    bool ComPort() const;

    // How many answers to `command` have arrived, and the value of the last one (a speed for
    // SET-BAUDRATE, else one byte).
    uint32_t AnswerCount(ComPortCommand command) const { return answers_[Index(command)]; }
    uint32_t LastAnswer(ComPortCommand command) const { return values_[Index(command)]; }

    // Appends `data` with every IAC doubled.
    static void EncodeData(std::string_view data, std::string& out);
    // Appends a Com Port Control command with a one-byte or a four-byte (SET-BAUDRATE) value.
    static void EncodeCommand(ComPortCommand command, uint32_t value, std::string& out);

private:
    enum class Side : uint8_t { kNo, kYes, kWantYes };
    enum class State : uint8_t { kData, kIac, kOption, kSub, kSubIac };

    static std::size_t Index(ComPortCommand command) { return static_cast<uint8_t>(command) & 0x0F; }
    void Negotiate(uint8_t verb, uint8_t option, std::string& out);
    void EndSubnegotiation();

    std::array<Side, 256> us_{};    // options on the client's side (WILL/WONT; the server's DO/DONT)
    std::array<Side, 256> them_{};  // options on the server's side (DO/DONT; the server's WILL/WONT)
    State state_ = State::kData;
    uint8_t verb_ = 0;
    std::string sub_;  // the subnegotiation being read, without IAC SB and IAC SE
    std::array<uint32_t, 16> answers_{};
    std::array<uint32_t, 16> values_{};
};

}  // namespace quorlin
