#include "smtp_sink_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

fs::path SinkScript() {
    if (const char* source = std::getenv("GATHRA_SOURCE_DIR")) {
        return fs::path(source) / "tests" / "mail" / "smtp_sink.py";
    }
    return fs::path(__FILE__).parent_path() / "smtp_sink.py";
}

// Connects to the server and reads its greeting line: proof that it accepts and speaks SMTP.
bool ProbeGreeting(int port, std::chrono::milliseconds limit) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    std::string greeting;
    const auto deadline = Clock::now() + limit;
    while (ok && greeting.find("\r\n") == std::string::npos && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            ok = false;
            break;
        }
        greeting.append(buffer, static_cast<size_t>(got));
    }
    ok = ok && greeting.rfind("220", 0) == 0;
    if (ok) {
        static const char kQuit[] = "QUIT\r\n";
        (void)!write(fd, kQuit, sizeof kQuit - 1);
    }
    close(fd);
    return ok;
}

}  // namespace

std::string SinkPython() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::optional<std::string> SmtpSinkProcess::Received::Field(const std::string& key) const {
    const auto it = Fields.find(key);
    if (it == Fields.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::string SmtpSinkProcess::Start(const fs::path& workFolder, const Options& options) {
    folder_ = workFolder / "sink";
    fs::create_directories(folder_);
    const fs::path ready = folder_ / "ready";
    const std::string python = SinkPython();
    std::vector<std::string> args{python,    SinkScript().string(), "--folder", folder_.string(),
                                  "--ready", ready.string()};
    for (const auto& address : options.Reject) {
        args.push_back("--reject");
        args.push_back(address);
    }
    if (options.Tls) {
        args.push_back("--tls");
    }
    args.insert(args.end(), {"--lifetime", std::to_string(options.LifetimeSeconds)});
    ChildProcess::Options processOptions;
    processOptions.ErrorsToOutput = true;
    processOptions.OwnGroup = true;
    if (!process_.Start(args, processOptions)) {
        return "the SMTP sink could not be started";
    }

    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!fs::exists(ready)) {
        if (process_.Ended()) {
            return "the SMTP sink ended at start-up: " + process_.Output();
        }
        if (Clock::now() > deadline) {
            return "the SMTP sink did not start in time: " + process_.Output();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    port_ = std::atoi(ReadBytes(ready).c_str());
    if (port_ <= 0 || !ProbeGreeting(port_, std::chrono::seconds(15))) {
        return "the SMTP sink does not greet on port " + std::to_string(port_);
    }
    while (Connections() < 1) {
        if (Clock::now() > deadline) {
            return "the SMTP sink did not count its probe";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return {};
}

std::vector<SmtpSinkProcess::Received> SmtpSinkProcess::Messages() const {
    std::vector<Received> messages;
    for (int n = 1;; ++n) {
        const fs::path stem = folder_ / ("message-" + std::to_string(n));
        const fs::path summary = stem.string() + ".txt";
        if (!fs::exists(summary)) {
            break;
        }
        Received message;
        message.Raw = ReadBytes(stem.string() + ".eml");
        std::istringstream lines(ReadBytes(summary));
        std::string line;
        while (std::getline(lines, line)) {
            const size_t tab = line.find('\t');
            const std::string key = line.substr(0, tab);
            const std::string value = tab == std::string::npos ? std::string() : line.substr(tab + 1);
            if (key == "attachment") {
                std::istringstream parts(value);
                Attachment attachment;
                std::string path;
                std::getline(parts, attachment.FileName, '\t');
                std::getline(parts, attachment.ContentType, '\t');
                std::getline(parts, attachment.TransferEncoding, '\t');
                std::getline(parts, path);
                attachment.Bytes = ReadBytes(path);
                message.Attachments.push_back(std::move(attachment));
            } else if (key == "body") {
                message.Bodies.push_back(value);
            } else {
                message.Fields.emplace(key, value);
            }
        }
        messages.push_back(std::move(message));
    }
    return messages;
}

std::vector<SmtpSinkProcess::Received> SmtpSinkProcess::WaitForMessages(
    size_t count, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    auto messages = Messages();
    while (messages.size() < count && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        messages = Messages();
    }
    return messages;
}

int SmtpSinkProcess::Connections() const {
    return std::atoi(ReadBytes(folder_ / "connections").c_str());
}

SilentSmtpServer::SilentSmtpServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
}

SilentSmtpServer::~SilentSmtpServer() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool SilentSmtpServer::WaitForConnection(std::chrono::milliseconds limit) const {
    pollfd waiting{fd_, POLLIN, 0};
    return poll(&waiting, 1, static_cast<int>(limit.count())) == 1;
}
