#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/child_process.h"

// The loopback SMTP server of smtp_sink.py run as a child process for one test. Start() returns once
// the server has answered a probe connection with its greeting; the destructor ends the child.
class SmtpSinkProcess {
public:
    struct Options {
        std::vector<std::string> Reject;  // recipients answered with 550
        bool Tls = false;                 // offer STARTTLS (certificate in Folder()/cert.pem)
        int LifetimeSeconds = 300;        // the server ends by itself after this long
    };

    // One attachment as Python's email package decoded it.
    struct Attachment {
        std::string FileName;
        std::string ContentType;
        std::string TransferEncoding;
        std::string Bytes;
    };

    // One received message, from the server's summary file.
    struct Received {
        std::multimap<std::string, std::string> Fields;  // key → value (header:To, rcpt_to, ...)
        std::vector<Attachment> Attachments;
        std::vector<std::string> Bodies;  // "content type<TAB>decoded length" of parts without a file name
        std::string Raw;                  // the message as it arrived

        std::optional<std::string> Field(const std::string& key) const;
    };

    // Starts the server in a fresh folder below `workFolder`. Returns an empty text on success,
    // otherwise why it could not start.
    std::string Start(const std::filesystem::path& workFolder, const Options& options);

    int Port() const { return port_; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // With Tls: the listener that speaks TLS from the first byte.
    std::string ImplicitTlsAddress() const { return "127.0.0.1:" + ReadBytes(folder_ / "smtps-port"); }
    const std::filesystem::path& Folder() const { return folder_; }

    // Waits (bounded) until `count` messages have been received; returns those received by then.
    std::vector<Received> WaitForMessages(size_t count,
                                          std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    // The messages received so far.
    std::vector<Received> Messages() const;
    // Connections the server has seen, including the start-up probe.
    int Connections() const;

private:
    ChildProcess process_;  // in a process group of its own, ended with the object
    int port_ = 0;
    std::filesystem::path folder_;
};

// A server on loopback that accepts connections (the kernel's backlog) and never says a word, not even
// its greeting: the mail waits on it until a time-out or a cancel.
class SilentSmtpServer {
public:
    SilentSmtpServer();
    ~SilentSmtpServer();
    SilentSmtpServer(const SilentSmtpServer&) = delete;
    SilentSmtpServer& operator=(const SilentSmtpServer&) = delete;

    bool Listening() const { return fd_ >= 0; }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Waits (bounded) until a client has connected.
    bool WaitForConnection(std::chrono::milliseconds limit) const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// The interpreter that has Debian's aiosmtpd: /usr/bin/python3 when present.
std::string SinkPython();
