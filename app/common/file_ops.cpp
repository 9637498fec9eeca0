#include "common/file_ops.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

#include "common/program_folder.h"
#include "common/system_error.h"

namespace {

FileOperations systemOps;
FileOperations* installed = &systemOps;

}  // namespace

FileAt::FileAt(const std::string& path) : Name(path) {
    std::string name;
    if (const int folder = HeldFolderOf(path, name); folder >= 0) {
        Folder = folder;
        Name = std::move(name);
    }
}

int FileOperations::Open(const FileAt& file, int flags, mode_t mode) {
    return ::openat(file.Folder, file.Name.c_str(), flags, mode);
}

ssize_t FileOperations::Read(int fd, void* data, size_t size) {
    return ::read(fd, data, size);
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

int FileOperations::Rename(const FileAt& from, const FileAt& to) {
    return ::renameat(from.Folder, from.Name.c_str(), to.Folder, to.Name.c_str());
}

int FileOperations::Link(const FileAt& from, const FileAt& to) {
    return ::linkat(from.Folder, from.Name.c_str(), to.Folder, to.Name.c_str(), 0);
}

int FileOperations::Unlink(const FileAt& file) {
    return ::unlinkat(file.Folder, file.Name.c_str(), 0);
}

int FileOperations::MakeFolder(const FileAt& folder, mode_t mode) {
    return ::mkdirat(folder.Folder, folder.Name.c_str(), mode);
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

std::string PathOf(const FileAt& file) {
    if (file.Folder == AT_FDCWD || file.Name.starts_with('/')) {
        return file.Name;
    }
    const std::string folder = "/proc/self/fd/" + std::to_string(file.Folder);
    return file.Name.empty() || file.Name == "." ? folder : folder + "/" + file.Name;
}

namespace {

// The folder holding `file`, named as `file` is.
FileAt FolderOf(const FileAt& file) {
    return FileAt(file.Folder, ParentFolder(file.Name));
}

// `name` in the folder of `file` (beside it).
FileAt Beside(const FileAt& file, const std::string& name) {
    const size_t slash = file.Name.find_last_of('/');
    return FileAt(file.Folder, slash == std::string::npos ? name : file.Name.substr(0, slash + 1) + name);
}

std::string BaseName(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

}  // namespace

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

FileAt LinkTarget(const FileAt& file) {
    if (file.Folder == AT_FDCWD) {
        return FileAt(LinkTarget(file.Name));
    }
    // In a held folder only the links themselves are read: the folder is never looked up by path again.
    FileAt target = file;
    for (int hops = 0; hops < 40; ++hops) {
        char next[PATH_MAX];
        const ssize_t length = ::readlinkat(target.Folder, target.Name.c_str(), next, sizeof next - 1);
        if (length < 0) {
            break;
        }
        next[length] = '\0';
        if (next[0] == '/') {
            return FileAt(LinkTarget(std::string(next)));
        }
        target = Beside(target, next);
    }
    return target;
}

bool InSharedFolder(const FileAt& file) {
    struct stat folder {};
    if (::fstatat(file.Folder, ParentFolder(file.Name).c_str(), &folder, 0) != 0) {
        return true;  // a folder that cannot be looked at is not trusted; the open itself says what is wrong
    }
    const uid_t user = ::geteuid();
    return (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (folder.st_uid != user && folder.st_uid != 0);
}

int OpenRegularFile(const FileAt& file, int flags, mode_t mode) {
    const int noFollow = InSharedFolder(file) ? O_NOFOLLOW : 0;
    const int fd = FileOps().Open(file, flags | O_NONBLOCK | O_NOCTTY | noFollow, mode);
    if (fd < 0) {
        // A named pipe without a reader refuses a non-blocking writer with ENXIO, as does a socket; a link
        // refused by O_NOFOLLOW gives ELOOP.
        if (errno == ENXIO || errno == ENODEV || errno == EOPNOTSUPP || (noFollow != 0 && errno == ELOOP)) {
            struct stat info {};
            const int error = errno;
            if (::fstatat(file.Folder, file.Name.c_str(), &info, noFollow != 0 ? AT_SYMLINK_NOFOLLOW : 0) ==
                0) {
                errno = S_ISLNK(info.st_mode)   ? kLinkInSharedFolder
                        : S_ISREG(info.st_mode) ? error
                                                : kNotRegularFile;
            } else {
                errno = error;
            }
        }
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)) {
        const int error = S_ISREG(info.st_mode) ? errno : kNotRegularFile;
        FileOps().Close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int ReadRegularFile(const FileAt& path, uint64_t limit, std::string& bytes) {
    bytes.clear();
    FileHandle file(OpenRegularFile(path, O_RDONLY | O_CLOEXEC, 0));
    struct stat info {};
    if (!file.IsOpen() || ::fstat(file.Get(), &info) != 0) {
        return errno;
    }
    if (static_cast<uint64_t>(info.st_size) > limit) {
        return EFBIG;
    }
    // What fstat saw is read; a file that grows meanwhile is taken at that size, one that shrinks ends
    // early. Either is a different file by the time it is parsed, and the parser refuses a damaged one.
    try {
        bytes.resize(static_cast<size_t>(info.st_size));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = FileOps().Read(file.Get(), &bytes[done], bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            bytes.clear();
            return error;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return 0;
}

int CheckRegularOrAbsent(const FileAt& file) {
    const bool shared = InSharedFolder(file);
    struct stat info {};
    if (::fstatat(file.Folder, file.Name.c_str(), &info, shared ? AT_SYMLINK_NOFOLLOW : 0) != 0) {
        return 0;  // absent, or unreadable: the opening reports that itself
    }
    if (S_ISLNK(info.st_mode)) {
        return kLinkInSharedFolder;
    }
    return S_ISREG(info.st_mode) ? 0 : kNotRegularFile;
}

int SyncParentFolder(const FileAt& file) {
    FileHandle folder(FileOps().Open(FolderOf(file), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
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

namespace {

// Creates a new temporary file beside `target` with `mode`, open for writing in `file`, its name in
// `temp`. False with errno set, `temp` an empty name, when none can be made.
bool OpenTempBeside(const FileAt& target, mode_t mode, FileHandle& file, FileAt& temp) {
    static std::atomic<unsigned> serial{0};
    const std::string name = BaseName(target.Name);
    for (int attempt = 0; attempt < 100 && !file.IsOpen(); ++attempt) {
        temp = Beside(target,
                      "." + name + ".gathra-" + std::to_string(::getpid()) + "-" + std::to_string(serial++));
        file.Reset(FileOps().Open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
        if (!file.IsOpen() && errno != EEXIST) {
            break;
        }
    }
    if (!file.IsOpen()) {
        const int error = errno;
        temp.Name.clear();
        errno = error;
        return false;
    }
    return true;
}

}  // namespace

DurableReplacement::~DurableReplacement() {
    Abandon();
    Keep();
}

bool DurableReplacement::Begin(const FileAt& file, mode_t newFileMode) {
    if (InSharedFolder(file)) {
        // Whoever may write the folder may have planted the link: it is refused, not followed. Anything
        // planted after this look is replaced by the rename, never written through.
        struct stat entry {};
        if (::fstatat(file.Folder, file.Name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(entry.st_mode)) {
            errno = kLinkInSharedFolder;
            return false;
        }
        target_ = file;
    } else {
        target_ = LinkTarget(file);
    }
    struct stat old {};
    existed_ = ::fstatat(target_.Folder, target_.Name.c_str(), &old, 0) == 0;
    if (!existed_ && errno != ENOENT) {
        return false;
    }
    if (existed_) {
        FileHandle probe(OpenRegularFile(target_, O_WRONLY | O_CLOEXEC | O_NONBLOCK, 0));
        if (!probe.IsOpen()) {
            return false;
        }
        oldMode_ = old.st_mode & 07777;
        oldOwner_ = old.st_uid;
        oldGroup_ = old.st_gid;
    }
    if (!OpenTempBeside(target_, existed_ ? 0600 : newFileMode, file_, temp_)) {
        folderRefused_ = existed_ && (errno == EACCES || errno == EPERM);
        return false;
    }
    return !existed_ || MatchOwnerAndMode(old);
}

std::string DurableReplacement::TemporaryPath() const {
    return temp_.Name.empty() ? std::string() : ShownPath(PathOf(temp_));
}

bool DurableReplacement::MatchOwnerAndMode(const struct stat& like) {
    // Only root may give the file to another owner; anyone else keeps it as their own. The mode follows,
    // as a change of owner clears the set-user-ID and set-group-ID bits.
    if (like.st_uid != ::geteuid() || like.st_gid != ::getegid()) {
        (void)::fchown(file_.Get(), like.st_uid, like.st_gid);
    }
    return ::fchmod(file_.Get(), like.st_mode & 07777) == 0;
}

bool DurableReplacement::Write(std::string_view bytes) {
    return WriteAllTo(file_.Get(), bytes);
}

bool DurableReplacement::Prepare() {
    // The data must be on disk before the rename makes it the target.
    prepared_ = FileOps().DataSync(file_.Get()) == 0 && file_.Close() == 0;
    return prepared_;
}

namespace {

// Copies the file `from` to the new file `to` (mode 0600) through FileOps(). False with errno set.
bool CopyFile(const FileAt& from, const FileAt& to) {
    FileHandle source(FileOps().Open(from, O_RDONLY | O_CLOEXEC, 0));
    FileHandle copy(source.IsOpen() ? FileOps().Open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600) : -1);
    if (!copy.IsOpen()) {
        return false;
    }
    char piece[65536];
    for (;;) {
        const ssize_t got = FileOps().Read(source.Get(), piece, sizeof piece);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 ||
            (got > 0 && !WriteAllTo(copy.Get(), std::string_view(piece, static_cast<size_t>(got))))) {
            return false;
        }
        if (got == 0) {
            return copy.Close() == 0;
        }
    }
}

}  // namespace

// The old target as ".<name>.gathra-previous" beside it: a hard link, or a copy where the file system
// has none. False when neither could be made (the commit then cannot be undone).
bool DurableReplacement::SavePrevious() {
    previous_ = Beside(target_, "." + BaseName(target_.Name) + ".gathra-previous");
    const int error = errno;
    struct stat leftover {};
    if (::fstatat(previous_.Folder, previous_.Name.c_str(), &leftover, AT_SYMLINK_NOFOLLOW) == 0) {
        FileOps().Unlink(previous_);  // a leftover of a crash, whose answer may have gone out: never restored
    }
    previousIsCopy_ = false;
    if (FileOps().Link(target_, previous_) != 0) {
        previousIsCopy_ = true;
        if (!CopyFile(target_, previous_)) {
            FileOps().Unlink(previous_);
            previous_.Name.clear();
        }
    }
    errno = error;
    return !previous_.Name.empty();
}

bool DurableReplacement::Commit() {
    if (!prepared_ && !Prepare()) {
        return false;
    }
    if (keepPrevious_ && existed_) {
        SavePrevious();
    }
    if (FileOps().Rename(temp_, target_) != 0) {
        const int error = errno;
        Keep();
        errno = error;
        return false;
    }
    temp_.Name.clear();
    committed_ = true;
    if (const int error = SyncParentFolder(target_); error != 0) {
        folderSyncFailed_ = true;
        // Without the folder synced the new file may not survive a crash: the old one goes back.
        if (keepPrevious_) {
            Undo();
        }
        errno = error;
        return false;
    }
    return true;
}

void DurableReplacement::Abandon() {
    if (committed_ || temp_.Name.empty()) {
        return;
    }
    const int error = errno;  // a failure being reported stays readable
    file_.Close();
    FileOps().Unlink(temp_);
    temp_.Name.clear();
    errno = error;
}

bool DurableReplacement::Undo() {
    if (!committed_) {
        Abandon();
        return true;
    }
    if (!restoredName_) {
        if (!previous_.Name.empty()) {
            if (previousIsCopy_) {
                // A copy was never synced; it becomes the target again only once it is on disk.
                FileHandle copy(FileOps().Open(previous_, O_RDONLY | O_CLOEXEC, 0));
                if (!copy.IsOpen() || ::fchmod(copy.Get(), oldMode_) != 0 ||
                    FileOps().DataSync(copy.Get()) != 0) {
                    return false;
                }
                if (oldOwner_ != ::geteuid() || oldGroup_ != ::getegid()) {
                    (void)::fchown(copy.Get(), oldOwner_, oldGroup_);
                }
            }
            if (FileOps().Rename(previous_, target_) != 0) {
                return false;
            }
            previous_.Name.clear();
        } else if (existed_) {
            errno = ENOTSUP;  // no previous file could be kept in this folder
            return false;
        } else if (FileOps().Unlink(target_) != 0) {
            return false;
        }
        restoredName_ = true;
    }
    // Until the folder is synced the new file may come back after a crash: the commit still stands.
    if (const int error = SyncParentFolder(target_); error != 0) {
        errno = error;
        return false;
    }
    committed_ = false;
    return true;
}

void DurableReplacement::Keep() {
    if (!previous_.Name.empty()) {
        const int error = errno;
        FileOps().Unlink(previous_);
        previous_.Name.clear();
        errno = error;
    }
}

bool ReplaceFileDurably(const FileAt& file, std::string_view bytes, mode_t newFileMode, bool* replaced) {
    DurableReplacement replacement;
    const bool ok = replacement.Begin(file, newFileMode) && replacement.Write(bytes) && replacement.Commit();
    if (replaced != nullptr) {
        *replaced = replacement.Committed();
    }
    return ok;
}
