#include "common/file_ops.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

FileOperations systemOps;
FileOperations* installed = &systemOps;

}  // namespace

int FileOperations::Open(const std::string& path, int flags, mode_t mode) {
    return ::open(path.c_str(), flags, mode);
}

ssize_t FileOperations::Write(int fd, const void* data, size_t size) {
    return ::write(fd, data, size);
}

int FileOperations::Truncate(int fd, off_t size) {
    return ::ftruncate(fd, size);
}

int FileOperations::DataSync(int fd) {
    return ::fdatasync(fd);
}

int FileOperations::Sync(int fd) {
    return ::fsync(fd);
}

int FileOperations::Rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}

int FileOperations::Unlink(const std::string& path) {
    return ::unlink(path.c_str());
}

int FileOperations::Close(int fd) {
    return ::close(fd);
}

FileOperations& FileOps() {
    return *installed;
}

ScopedFileOps::ScopedFileOps(FileOperations& ops) : previous_(installed) {
    installed = &ops;
}

ScopedFileOps::~ScopedFileOps() {
    installed = previous_;
}

bool WriteAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = FileOps().Write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string ParentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LinkTarget(const std::string& path) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        std::string target(resolved);
        std::free(resolved);
        return target;
    }
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {  // a dangling link, possibly through further links
        char next[PATH_MAX];
        const ssize_t length = ::readlink(target.c_str(), next, sizeof next - 1);
        if (length < 0) {
            break;
        }
        next[length] = '\0';
        target = next[0] == '/' ? std::string(next) : ParentFolder(target) + "/" + next;
    }
    return target;
}

bool OpenTempBeside(const std::string& target, mode_t mode, FileHandle& file, std::string& temp) {
    static std::atomic<unsigned> serial{0};
    const size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
        temp = folder + "." + name + ".gathra-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
        file.Reset(FileOps().Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!file.IsOpen() && errno != EEXIST) {
            break;
        }
    }
    if (!file.IsOpen()) {
        const int error = errno;
        temp.clear();
        errno = error;
        return false;
    }
    return true;
}

int SyncParentFolder(const std::string& path) {
    FileHandle folder(FileOps().Open(ParentFolder(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
    if (!folder.IsOpen()) {
        return errno;
    }
    if (FileOps().Sync(folder.Get()) != 0) {
        return errno;
    }
    return 0;
}

int FileHandle::Close() {
    if (fd_ < 0) {
        return 0;
    }
    const int result = FileOps().Close(fd_);
    fd_ = -1;
    return result;
}
