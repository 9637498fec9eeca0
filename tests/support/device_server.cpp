#include "device_server.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// Whether `pid`'s network namespace has a socket listening on TCP port `port` ("0A": LISTEN).
bool Listens(pid_t pid, int port) {
    char hex[8];
    std::snprintf(hex, sizeof hex, ":%04X", port);
    for (const char* table : {"/net/tcp", "/net/tcp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + table);
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            if (fields >> slot >> local >> remote >> state && state == "0A" && local.ends_with(hex)) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

DeviceServer::DeviceServer(std::vector<Port> ports, std::string address)
    : ports_(std::move(ports)), address_(std::move(address)) {
    for (Port& port : ports_) {
        port.TcpPort = port.TcpPort != 0 ? port.TcpPort : FreePort();
    }
}

bool DeviceServer::Start() {
    std::ofstream config(folder_ / "ser2net.yaml");
    for (size_t i = 0; i < ports_.size(); ++i) {
        const Port& port = ports_[i];
        config << "connection: &port" << i << "\n    accepter: " << port.Accepter
               << (port.Accepter.empty() ? "" : ",") << "tcp," << address_ << "," << port.TcpPort
               << "\n    connector: serialdev," << port.Device
               << ",9600n81,local\n    options:\n      chardelay: " << (port.CharDelay ? "true" : "false")
               << "\n";
    }
    config.close();
    if (!server_.Start(
            {"ser2net", "-n", "-u", "-c", folder_ / "ser2net.yaml", "-P", folder_ / "ser2net.pid"})) {
        return false;
    }
    const auto listening = [this](const Port& port) { return Listens(server_.Pid(), port.TcpPort); };
    for (int tries = 0; tries < 1000 && !server_.Ended(); ++tries) {
        if (std::all_of(ports_.begin(), ports_.end(), listening)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string DeviceServer::Url(size_t port) const {
    return (ports_[port].Accepter.empty() ? "socket://" : "rfc2217://") + address_ + ":" +
           std::to_string(ports_[port].TcpPort);
}
