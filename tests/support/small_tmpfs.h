#pragma once

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <string>

// A tmpfs of a given size mounted over a folder by a test (the suite runs as root), for a disk that
// really fills up. Detached when the object goes, so a file still open or mapped from it does no harm.
class SmallTmpfs {
public:
    SmallTmpfs() = default;
    ~SmallTmpfs() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    // Empty on success, else why the mount failed.
    std::string Mount(const std::string& folder, size_t bytes) {
        folder_ = folder;
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("gathra-test", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            return "cannot mount a tmpfs on " + folder + ": " + std::strerror(errno);
        }
        mounted_ = true;
        return {};
    }

private:
    std::string folder_;
    bool mounted_ = false;
};
