#pragma once

#include <fcntl.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "codec/link_api.h"
#include "common/file_ops.h"

// One count over the I/O calls of an upload: every FileOps() call, every file call of SQLite (the database
// store and the upload journal) and every write to the port. While armed, each counted call asks Next();
// the chosen one fails once, or kills the process for the crash variant.
namespace faults {

enum class Failure {
    Error,  // the call fails: EIO, ENOSPC for a write (SQLite: the matching SQLITE_IOERR_*, SQLITE_FULL)
    Kill,   // the process is killed (SIGKILL) instead of making the call
};

class FaultPlan {
public:
    // Counts from zero; the `failAt`-th call from now (from 1) fails, none with 0.
    void Arm(int failAt, Failure failure = Failure::Error);
    void Disarm();
    // True when the call `what` ("write T01.txt", "port ACK") is the one to fail.
    bool Next(const std::string& what);
    std::vector<std::string> Names() const;  // each counted call since Arm, in order

private:
    mutable std::mutex mutex_;
    bool armed_ = false;
    int failAt_ = 0;
    Failure failure_ = Failure::Error;
    std::vector<std::string> names_;
};

FaultPlan& Plan();

// The last part of a path; "<temp>" for a temporary file beside an output, "<previous>" for the old output
// kept beside it until the final answer is out.
std::string ShortName(const std::string& path);

// The system's file calls, counted: a failing call returns -1 with EIO (ENOSPC for a write). A folder
// shows as "<name>/". A failing close still closes the descriptor, as the kernel does.
class CountingFileOps : public FileOperations {
public:
    int Open(const FileAt& file, int flags, mode_t mode) override {
        const std::string name = ShortName(file.Name) + ((flags & O_DIRECTORY) != 0 ? "/" : "");
        const int fd =
            Plan().Next("open " + name) ? (errno = EIO, -1) : FileOperations::Open(file, flags, mode);
        if (fd >= 0) {
            std::lock_guard lock(mutex_);
            names_[fd] = name;
        }
        return fd;
    }
    ssize_t Read(int fd, void* data, size_t size) override {
        return Fails("read", fd, EIO) ? -1 : FileOperations::Read(fd, data, size);
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        return Fails("write", fd, ENOSPC) ? -1 : FileOperations::Write(fd, data, size);
    }
    int Truncate(int fd, off_t size) override {
        return Fails("truncate", fd, EIO) ? -1 : FileOperations::Truncate(fd, size);
    }
    int DataSync(int fd) override { return Fails("datasync", fd, EIO) ? -1 : FileOperations::DataSync(fd); }
    int Sync(int fd) override { return Fails("sync", fd, EIO) ? -1 : FileOperations::Sync(fd); }
    int Rename(const FileAt& from, const FileAt& to) override {
        return Plan().Next("rename " + ShortName(from.Name) + " " + ShortName(to.Name))
                   ? (errno = EIO, -1)
                   : FileOperations::Rename(from, to);
    }
    int Link(const FileAt& from, const FileAt& to) override {
        return Plan().Next("link " + ShortName(from.Name) + " " + ShortName(to.Name))
                   ? (errno = EIO, -1)
                   : FileOperations::Link(from, to);
    }
    int Unlink(const FileAt& file) override {
        return Plan().Next("unlink " + ShortName(file.Name)) ? (errno = EIO, -1)
                                                             : FileOperations::Unlink(file);
    }
    int MakeFolder(const FileAt& folder, mode_t mode) override {
        return Plan().Next("mkdir " + ShortName(folder.Name) + "/")
                   ? (errno = EIO, -1)
                   : FileOperations::MakeFolder(folder, mode);
    }
    int Close(int fd) override {
        const bool fails = Fails("close", fd, EIO);
        const int result = FileOperations::Close(fd);
        return fails ? (errno = EIO, -1) : result;
    }

private:
    bool Fails(const char* call, int fd, int error) {
        std::unique_lock lock(mutex_);
        const std::string what = std::string(call) + " " + names_[fd];
        lock.unlock();
        return Plan().Next(what) && (errno = error, true);
    }
    std::mutex mutex_;
    std::map<int, std::string> names_;  // by descriptor
};

// Makes a counting VFS over SQLite's own the default one (once per process): open, read, write, truncate,
// sync and delete are counted. A connection that names the "unix" VFS is not counted.
void InstallCountingVfs();

// `real` with WriteIrCom counted: a failing write writes nothing and returns 0. One per process.
const LinkApi* CountingLink(const LinkApi* real);

}  // namespace faults
