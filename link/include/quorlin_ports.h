#pragma once

// Which device the port COM<n> is. libquorlin.so opens the port by this rule, and Gathra reads the same
// rule again to say why a port did not open, so the two cannot disagree. Header-only C++, not part of the
// library's exported interface.
//
// When the program folder has a ports/ folder, COM<n> is ports/COM<n> and nothing else: an entry of that
// name (typically a symbolic link; a dangling one still names the device) or, without one, no device at
// all. A ports/ folder that cannot be searched counts as there. Only a program folder without ports/
// falls back to the n-th built-in serial port, /dev/ttyS<n-1>.
//
// One kind of link target is no device: rfc2217://HOST:PORT and socket://HOST:PORT name a serial port
// behind a device server on the network (Telnet with the Com Port Control option, or raw TCP). HOST is a
// name or an address, an IPv6 address in brackets ("rfc2217://[fd00::7]:4001"); PORT is 1 to 65535.
// The target is read from the link and never followed. Every other target, a malformed URL included, is
// a device path as before.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

namespace quorlin {

enum class PortKind {
    kDevice,   // a serial device (Path)
    kRfc2217,  // Telnet with Com Port Control: data, line speed and modem lines
    kSocket,   // raw TCP: data only, at the speed the far side is set to
};

struct PortDevice {
    std::string Path;      // the device COM<n> stands for (ports/COM<n> even when it is missing), or the URL
    bool Mapped = false;   // the program folder has ports/: COM<n> is ports/COM<n>
    bool Missing = false;  // ports/ has no entry COM<n>: there is no device to open
    PortKind Kind = PortKind::kDevice;
    std::string Host;     // a network port's host: a name or an address (an IPv6 one without brackets)
    std::string Service;  // a network port's TCP port, in decimal
};

// Reads `target` as a network port's URL into `device` (kind, host, service); false, leaving `device`
// alone, when it is none.
inline bool ParsePortUrl(std::string_view target, PortDevice& device) {
    PortKind kind = PortKind::kDevice;
    for (const auto& [scheme, k] : {std::pair{std::string_view("rfc2217://"), PortKind::kRfc2217},
                                    std::pair{std::string_view("socket://"), PortKind::kSocket}}) {
        if (target.substr(0, scheme.size()) == scheme) {
            kind = k;
            target.remove_prefix(scheme.size());
            break;
        }
    }
    if (kind == PortKind::kDevice) {
        return false;
    }
    std::string_view host;
    std::size_t colon = 0;
    if (!target.empty() && target.front() == '[') {
        const std::size_t close = target.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = target.substr(1, close - 1);
        colon = close + 1;
        if (host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos ||
            host.find(':') == std::string_view::npos) {
            return false;
        }
    } else {
        colon = target.find(':');
        host = target.substr(0, colon);
        // A name or an IPv4 address; an IPv6 address needs its brackets.
        for (const char c : host) {
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            if (!letter && c != '-' && c != '.' && c != '_') {
                return false;
            }
        }
    }
    if (host.empty() || colon >= target.size() || target[colon] != ':') {
        return false;
    }
    const std::string_view service = target.substr(colon + 1);
    if (service.empty() || service.size() > 5 || service.front() == '0' ||
        service.find_first_not_of("0123456789") != std::string_view::npos ||
        std::stoul(std::string(service)) > 65535) {
        return false;
    }
    device.Kind = kind;
    device.Host = std::string(host);
    device.Service = std::string(service);
    return true;
}

inline PortDevice ResolvePortDevice(const std::string& programFolder, int number) {
    const std::string folder = (programFolder.empty() ? std::string(".") : programFolder) + "/ports";
    struct stat info {};
    // A program folder we may not search hides whether ports/ is there: taken as there, never a fallback.
    const bool hasPorts = ::lstat(folder.c_str(), &info) == 0 || (errno != ENOENT && errno != ENOTDIR);
    PortDevice device;
    if (hasPorts) {
        device.Mapped = true;
        device.Path = folder + "/COM" + std::to_string(number);
        device.Missing = ::lstat(device.Path.c_str(), &info) != 0;
        if (!device.Missing && S_ISLNK(info.st_mode)) {
            char target[512];
            const ssize_t length = ::readlink(device.Path.c_str(), target, sizeof target);
            if (length > 0 && static_cast<std::size_t>(length) < sizeof target &&
                ParsePortUrl(std::string_view(target, static_cast<std::size_t>(length)), device)) {
                device.Path.assign(target, static_cast<std::size_t>(length));
            }
        }
        return device;
    }
    device.Path = "/dev/ttyS" + std::to_string(number - 1);
    return device;
}

}  // namespace quorlin
