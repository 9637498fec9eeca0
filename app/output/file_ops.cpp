#include "output/file_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

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
