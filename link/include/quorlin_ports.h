#pragma once

// Which device the port COM<n> is. libquorlin.so opens the port by this rule, and Gathra reads the same
// rule again to say why a port did not open, so the two cannot disagree. Header-only C++, not part of the
// library's exported interface.
//
// When the program folder has a ports/ folder, COM<n> is ports/COM<n> and nothing else: an entry of that
// name (typically a symbolic link; a dangling one still names the device) or, without one, no device at
// all. A ports/ folder that cannot be searched counts as there. Only a program folder without ports/
// falls back to the n-th built-in serial port, /dev/ttyS<n-1>.

#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace quorlin {

struct PortDevice {
    std::string Path;      // the device COM<n> stands for (ports/COM<n> even when it is missing)
    bool Mapped = false;   // the program folder has ports/: Path is ports/COM<n>
    bool Missing = false;  // ports/ has no entry COM<n>: there is no device to open
};

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
        return device;
    }
    device.Path = "/dev/ttyS" + std::to_string(number - 1);
    return device;
}

}  // namespace quorlin
