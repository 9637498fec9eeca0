#include "device_server.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// Whether `pid`'s network namespace has a socket listening on TCP port `port`.
bool Listens(pid_t pid, int port) {
    for (const char* table : {"tcp", "tcp6"}) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/net/" + table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const size_t colon = local.rfind(':');
            if (state == "0A" && colon != std::string::npos &&
                std::stoi(local.substr(colon + 1), nullptr, 16) == port) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

DeviceServer::DeviceServer(std::vector<Port> ports, std::string address, std::vector<std::string> launcher)
    : ports_(std::move(ports)), address_(std::move(address)), launcher_(std::move(launcher)) {
    for (Port& port : ports_) {
        port.TcpPort = port.TcpPort != 0 ? port.TcpPort : FreePort();
    }
}

bool DeviceServer::Start() {
    std::ofstream config(folder_ / "ser2net.yaml");
    for (size_t i = 0; i < ports_.size(); ++i) {
        const Port& port = ports_[i];
        const std::string accepter = port.Accepter.empty() ? "" : port.Accepter + ",";
        config << "connection: &port" << i << "\n    accepter: " << accepter << "tcp," << address_ << ","
               << port.TcpPort << "\n    connector: serialdev," << port.Device << ",9600n81,local\n"
               << "    options:\n      chardelay: " << (port.CharDelay ? "true" : "false") << "\n";
    }
    config.close();
    std::vector<std::string> argv = launcher_;
    for (const char* arg : {"ser2net", "-n", "-u", "-c"}) {
        argv.push_back(arg);
    }
    argv.insert(argv.end(), {folder_ / "ser2net.yaml", "-P", folder_ / "ser2net.pid"});
    if (!server_.Start(argv)) {
        return false;
    }
    for (int tries = 0; tries < 1000; ++tries) {
        bool all = true;
        for (const Port& port : ports_) {
            all = all && Listens(server_.Pid(), port.TcpPort);
        }
        if (all) {
            return true;
        }
        if (server_.Ended()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string DeviceServer::Url(size_t port, const std::string& host) const {
    return (ports_[port].Accepter.empty() ? "socket://" : "rfc2217://") + host + ":" +
           std::to_string(ports_[port].TcpPort);
}
