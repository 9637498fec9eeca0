#pragma once

#include <memory>
#include <string>

#include "quorlin_net.h"
#include "serial_port.h"
#include "telnet_codec.h"

// The serial port behind a device server on the network, as a SerialPort: raw TCP (data only) or Telnet
// with Com Port Control (RFC 2217: data, speed, format, modem lines, purge). The link above cannot tell
// it from a local device:
// - a connection that cannot be made is a device that cannot be opened; a server that hangs up during
//   the open (its own port is busy) likewise;
// - a refused setting (no BINARY, a speed answered differently) is a refused line setting;
// - a lost connection (the server closed it, reset it, or left data unacknowledged for 25 s) is a device
//   that is gone;
// - a write has succeeded once the server has acknowledged every byte (the send queue, SIOCOUTQ, is
//   empty), within the write time-out;
// - a close waits for that acknowledgement and, on RFC 2217, for the wire time of the last write at the
//   line speed, plus a small margin, since the server's line has no queue we can ask.
namespace quorlin {

class NetworkPort final : public SerialPort {
public:
    // Takes the connected socket `fd` (non-blocking) to a server of `kind`.
    NetworkPort(int fd, PortKind kind);
    ~NetworkPort() override;
    NetworkPort(const NetworkPort&) = delete;
    NetworkPort& operator=(const NetworkPort&) = delete;

    // RFC 2217: sends the opening requests and waits until the server has answered them all, or until
    // `deadline`. False when the connection ended first. Raw TCP has nothing to agree on.
    bool Negotiate(Clock::time_point deadline);

    bool Apply(const LineSettings& settings) override;
    ReadResult ReadNow(char* buffer, std::size_t capacity) override;
    WaitResult WaitForInput(Clock::time_point deadline) override;
    WriteOutcome WriteAll(const char* data, std::size_t size, Clock::time_point deadline) override;
    void DiscardInput() override;
    bool Gone() override;
    bool CanSetSpeed() const override;

    // Why the last Apply failed (kNoBinary, kSettingRefused), and the first line of the data received
    // and not read, as printable text: what a server that hung up said.
    const NetDiagnosis& refusal() const { return refusal_; }
    std::string UnreadText();

private:
    // Reads what the socket holds into the input (undoing Telnet on RFC 2217) and sends the Telnet replies
    // that asks for; false once the connection has ended or failed.
    bool Receive();
    // Sends `bytes` after what is still queued, waiting for room until `deadline`.
    WriteOutcome Send(std::string bytes, Clock::time_point deadline);
    WriteOutcome AwaitAcknowledgement(Clock::time_point deadline);
    // Waits until `done` holds, the connection ends (false) or `deadline` passes (false).
    template <typename Done>
    bool AwaitServer(Done done, Clock::time_point deadline);

    int fd_;
    PortKind kind_;
    TelnetClient telnet_;
    std::string input_;   // data received and not yet read
    std::string unsent_;  // bytes for the server not yet sent (Telnet replies, the rest of a late write)
    bool ended_ = false;  // the server closed the connection, or it failed
    bool configured_ = false;
    int32_t speed_ = 0;
    int rts_ = -1;                   // RTS as last sent; -1 before any
    Clock::time_point wire_free_{};  // when the last write's bytes are through the server's line
    NetDiagnosis refusal_;
};

// Connects to the network port `device` within the connect time-out and, on RFC 2217, negotiates. Null
// when that fails; `why` (when given) then says why.
std::unique_ptr<NetworkPort> OpenNetworkPort(const PortDevice& device, NetDiagnosis* why = nullptr);

// True for a name under the reserved top-level domain "invalid" (RFC 6761), which never resolves: it is
// answered here, without asking a resolver.
bool IsInvalidName(const std::string& host);

}  // namespace quorlin
