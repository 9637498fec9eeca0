#pragma once

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

    int Calls() const;
    std::vector<std::string> Names() const;  // each counted call since Arm, in order
    std::string Failed() const;              // the call that failed; empty when none did

private:
    mutable std::mutex mutex_;
    bool armed_ = false;
    int failAt_ = 0;
    Failure failure_ = Failure::Error;
    std::vector<std::string> names_;
    std::string failed_;
};

FaultPlan& Plan();

// The system's file calls, counted. A folder shows as "<name>/", a temporary file beside an output as
// "<temp>". A failing close still closes the descriptor, as the kernel does.
class CountingFileOps : public FileOperations {
public:
    int Open(const std::string& path, int flags, mode_t mode) override;
    ssize_t Read(int fd, void* data, size_t size) override;
    ssize_t Write(int fd, const void* data, size_t size) override;
    int Truncate(int fd, off_t size) override;
    int DataSync(int fd) override;
    int Sync(int fd) override;
    int Rename(const std::string& from, const std::string& to) override;
    int Unlink(const std::string& path) override;
    int Close(int fd) override;

private:
    bool Fails(const char* call, int fd, int error);
    std::mutex mutex_;
    std::vector<std::string> names_;  // by descriptor
};

// Makes a counting VFS over SQLite's own the default one (once per process): open, read, write, truncate,
// sync and delete are counted. A connection that names the "unix" VFS is not counted.
void InstallCountingVfs();

// `real` with WriteIrCom counted: a failing write writes nothing and returns 0. One per process.
const LinkApi* CountingLink(const LinkApi* real);

// The last part of a path; "<temp>" for a temporary file beside an output.
std::string ShortName(const std::string& path);

}  // namespace faults
