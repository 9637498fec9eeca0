#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// The file calls that decide what is on disk when an upload's final "ACK" goes out: every write, sync,
// truncation and rename of the backup, the log and the text output goes through FileOps(). The program
// always uses the system's calls; a test installs its own (ScopedFileOps) to trace their order or to make
// one of them fail, which a real disk seldom does on demand (a failed fdatasync, for one).
class FileOperations {
public:
    virtual ~FileOperations() = default;
    virtual int Open(const std::string& path, int flags, mode_t mode);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Truncate(int fd, off_t size);
    virtual int DataSync(int fd);  // fdatasync: the file's data and its size
    virtual int Sync(int fd);      // fsync: used for folders, whose entries fdatasync may skip
    virtual int Rename(const std::string& from, const std::string& to);
    virtual int Unlink(const std::string& path);
    virtual int Close(int fd);
};

// The installed operations; the system's unless a test installed others.
FileOperations& FileOps();

// Installs `ops` until the guard goes (tests only; not for use while an upload runs on another thread).
class ScopedFileOps {
public:
    explicit ScopedFileOps(FileOperations& ops);
    ~ScopedFileOps();
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;

private:
    FileOperations* previous_;
};

// Writes all of `bytes`, retrying short writes and EINTR. False with errno set on failure.
bool WriteAllTo(int fd, std::string_view bytes);

// Makes the entries of the folder holding `path` durable (a file in it was created or renamed).
// 0 on success, else the errno of the failure.
int SyncParentFolder(const std::string& path);

// The folder part of `path` ("." for a bare name).
std::string ParentFolder(const std::string& path);

// The file a symbolic link finally names, even when that file does not exist yet; `path` itself when it
// is no link.
std::string LinkTarget(const std::string& path);

class FileHandle;
// Creates a new temporary file beside `target` (named ".<name>.gathra-<pid>-<n>") with `mode`, open for
// writing in `file`, its path in `temp`. False with errno set, `temp` empty, when none can be made.
bool OpenTempBeside(const std::string& target, mode_t mode, FileHandle& file, std::string& temp);

// A descriptor closed through FileOps() when the object goes.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    void Reset(int fd) {
        Close();
        fd_ = fd;
    }
    // Closes now; 0 or -1 with errno (a file system may report a failed write only here).
    int Close();

private:
    int fd_ = -1;
};
