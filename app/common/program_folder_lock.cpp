#include "common/program_folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "common/file_ops.h"

namespace {

constexpr const char* kLockFileName = "Gathra.lock";

// The lock file of `folder`, in the folder held open as `folderFd` when there is one.
FileAt LockFile(const std::string& folder, int folderFd) {
    return folderFd == AT_FDCWD ? FileAt(folder + "/" + kLockFileName) : FileAt(folderFd, kLockFileName);
}

// The process id the holder wrote ("?" while it has not written it yet).
std::string ReadPid(int fd) {
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    std::string pid(text, got > 0 ? static_cast<size_t>(got) : 0);
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) {
        pid.pop_back();
    }
    return pid.empty() ? "?" : pid;
}

bool Busy(int fd, int operation) {
    int result = 0;
    while ((result = ::flock(fd, operation | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return result != 0 && errno == EWOULDBLOCK;
}

}  // namespace

ProgramFolderLock::~ProgramFolderLock() {
    if (fd_ >= 0) {
        FileOps().Close(fd_);
    }
}

std::string ProgramFolderLock::Acquire(const std::string& folder, int folderFd) {
    // Never through a link: the folder is closed to others, and the lock must be the folder's own file.
    const int fd =
        FileOps().Open(LockFile(folder, folderFd), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return {};
    }
    if (Busy(fd, LOCK_EX)) {
        std::string held = HeldText(folder, ReadPid(fd));
        FileOps().Close(fd);
        return held;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, pid.data(), pid.size(), 0);
    }
    fd_ = fd;
    return {};
}

std::string ProgramFolderLock::Holder(const std::string& folder, int folderFd) {
    const int fd = FileOps().Open(LockFile(folder, folderFd), O_RDONLY | O_NOFOLLOW | O_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    // A shared lock is refused exactly while a holder has the exclusive one; it is given back at once.
    std::string held = Busy(fd, LOCK_SH) ? HeldText(folder, ReadPid(fd)) : std::string();
    FileOps().Close(fd);
    return held;
}

std::string ProgramFolderLock::HeldText(const std::string& folder, const std::string& pid) {
    return "Gathraはこのﾌｫﾙﾀﾞで既に起動しています (" + folder + ", pid " + pid + ")";
}
