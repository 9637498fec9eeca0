#pragma once

#include <string>
#include <vector>

#include "child_process.h"
#include "temp_folder.h"

// ser2net as a serial device server in front of devices (pseudo-terminals where gathra-termsim plays), one
// TCP port per device. It runs in the foreground without UUCP lock files: it touches nothing outside its
// temporary folder.
class DeviceServer {
public:
    struct Port {
        std::string Accepter;    // "telnet(rfc2217)", "telnet" (no speed control) or "" (raw TCP)
        std::string Device;      // opened for each connection, at 9600 bit/s 8N1
        bool CharDelay = false;  // ser2net's default waits a character time or more before sending on
        int TcpPort = 0;         // 0: a free one
    };

    explicit DeviceServer(std::vector<Port> ports, std::string address = "127.0.0.1");  // listening there
    // Starts the server and waits until every port listens; false when it does not within 10 s.
    bool Start();
    void Stop() { server_.Stop(); }
    pid_t Pid() const { return server_.Pid(); }
    int TcpPort(size_t port) const { return ports_[port].TcpPort; }
    // rfc2217://HOST:PORT for a Telnet accepter, socket://HOST:PORT for raw TCP.
    std::string Url(size_t port) const;

private:
    std::vector<Port> ports_;
    std::string address_;
    TempFolder folder_;
    ChildProcess server_;
};
