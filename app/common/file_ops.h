#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

// Where a file is: a name relative to a folder held open (`Folder`, a descriptor, as the program folder is
// held from its check on), or an ordinary path (`Folder` AT_FDCWD, which a plain path converts to). A name
// in a held folder never depends on what the folder's path names later. A path that names a file by the
// real path of the held program folder converts to its name in that folder (HeldFolderOf), so that a save
// folder inside the program folder is reached through the descriptor as well.
struct FileAt {
    FileAt(const std::string& path);  // implicit: a path is a FileAt
    FileAt(const char* path) : FileAt(std::string(path)) {}
    FileAt(int folder, std::string name) : Folder(folder), Name(std::move(name)) {}

    int Folder = AT_FDCWD;
    std::string Name;
};

// The file calls that decide what is on disk when an upload's final "ACK" goes out: every open, write,
// sync, truncation, link, rename and removal of the backup, the log, the outputs and the settings file goes
// through FileOps(), relative to a held folder or by path (the *at calls either way). The program always
// uses the system's calls; a test installs its own (ScopedFileOps) to trace their order or to make one of
// them fail, which a real disk seldom does on demand (a failed fdatasync, for one).
class FileOperations {
public:
    virtual ~FileOperations() = default;
    virtual int Open(const FileAt& file, int flags, mode_t mode);
    virtual ssize_t Read(int fd, void* data, size_t size);
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Truncate(int fd, off_t size);
    virtual int DataSync(int fd);  // fdatasync: the file's data and its size
    virtual int Sync(int fd);      // fsync: used for folders, whose entries fdatasync may skip
    virtual int Rename(const FileAt& from, const FileAt& to);
    virtual int Link(const FileAt& from, const FileAt& to);  // a hard link
    virtual int Unlink(const FileAt& file);
    virtual int MakeFolder(const FileAt& folder, mode_t mode);
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

// A path that names `file` for code that can only take a path (a library, SQLite): the name itself, or,
// in a held folder, the name below "/proc/self/fd/<n>", which the kernel resolves through the descriptor.
std::string PathOf(const FileAt& file);

// Makes the entries of the folder holding `file` durable (a file in it was created or renamed).
// 0 on success, else the errno of the failure.
int SyncParentFolder(const FileAt& file);

// The folder part of `path` ("." for a bare name).
std::string ParentFolder(const std::string& path);

// The file a symbolic link finally names, even when that file does not exist yet; `file` itself when it
// is no link. In a held folder a relative link stays relative to that folder.
std::string LinkTarget(const std::string& path);
FileAt LinkTarget(const FileAt& file);

// Whether the folder holding `file` may be written by group or others (sticky or not), or belongs to
// another user than this one and root. No link is followed in such a folder: whoever may write it could
// plant one to a file of ours.
bool InSharedFolder(const FileAt& file);

// Opens `file` as FileOps().Open does, but only when it names a regular file: a named pipe, a device or a
// socket in a folder others may write must neither block the open nor take the file's place. Links are
// followed, except in a shared folder (InSharedFolder), where a link is refused with kLinkInSharedFolder.
// The open itself is made with O_NONBLOCK and O_NOCTTY, and O_NONBLOCK is cleared again once the file is
// known to be regular. -1 with errno set on failure; errno is kNotRegularFile for anything but a regular
// file.
int OpenRegularFile(const FileAt& file, int flags, mode_t mode);

// The whole of the regular file `file` (opened as OpenRegularFile does) in `bytes`, read rather than
// mapped: another program shortening the file meanwhile only shortens what is read. 0 on success, else the
// errno of the failure, kNotRegularFile, kLinkInSharedFolder, EFBIG for a file larger than `limit` bytes,
// or ENOMEM.
int ReadRegularFile(const FileAt& file, uint64_t limit, std::string& bytes);

// 0 when `file` is a regular file or does not exist, kNotRegularFile when it names something else,
// kLinkInSharedFolder for a link in a shared folder (others through any links); for a file that a library
// opens itself.
int CheckRegularOrAbsent(const FileAt& file);

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

// Replaces a file by a new one without ever showing a mix of old and new: the new bytes go to a
// temporary file (".<name>.gathra-<pid>-<n>") beside the target (beside a link's final target, so the link
// stays a link; a link in a shared folder is refused with kLinkInSharedFolder), which is synced and then
// renamed over the target, and the folder is synced. An existing
// target keeps its permissions and, when this process may give it away, its owner; a new one is created with
// the given mode (less the umask). Every call goes through FileOps(). Failures return false with errno set.
//
// In two steps: Prepare leaves the new bytes durable but not yet in place; Commit puts them there.
// Anything not committed is abandoned when the object goes: the temporary file is removed and the
// target stays as it was.
//
// With KeepPrevious, a commit can still be undone until Keep: the old target stays beside the new one as
// ".<name>.gathra-previous", a hard link (a copy where the file system has no links), and Undo renames it
// back. A folder where neither can be made commits as without KeepPrevious, and then cannot undo. There is
// one such name per target, so a leftover of a crash is replaced by the next commit, never restored:
// whether its upload's answer went out is not known.
class DurableReplacement {
public:
    DurableReplacement() = default;
    ~DurableReplacement();
    DurableReplacement(const DurableReplacement&) = delete;
    DurableReplacement& operator=(const DurableReplacement&) = delete;

    // Keeps the old target until Keep or Undo (call before Commit).
    void KeepPrevious() { keepPrevious_ = true; }

    // Opens the temporary file. An existing target is refused, untouched, exactly when it could not be
    // opened for writing in place.
    bool Begin(const FileAt& file, mode_t newFileMode);
    // After Begin: the new file gets the owner (where this process may give it away) and the mode of
    // `like`, whatever the target had; for a copy of another file.
    bool MatchOwnerAndMode(const struct stat& like);
    bool Write(std::string_view bytes);
    // Syncs and closes the temporary file.
    bool Prepare();
    // Prepares when not done yet, renames the temporary file over the target and syncs the folder. When
    // the folder sync fails and the previous target is kept, it is put back (and the folder synced again):
    // Committed() tells whether the new file may still be the target.
    bool Commit();
    // Removes the temporary file unless committed.
    void Abandon();
    // After a commit: puts the previous target back (or removes a target that did not exist before) and
    // syncs the folder. False with errno set when the old target cannot be given back for sure; a later
    // call tries again. Before a commit it abandons.
    bool Undo();
    // After a commit: the previous target goes; the new one stays for good.
    void Keep();

    // The file replaced: `file` through its links (its name in Target().Name).
    const FileAt& Target() const { return target_; }
    // The temporary file that holds the new bytes until Commit, as a path (PathOf, with a held program
    // folder named by its real path: ShownPath); empty before Begin and after Abandon.
    std::string TemporaryPath() const;
    bool Committed() const { return committed_; }
    // The last Commit renamed the new file into place and then could not sync the folder.
    bool FolderSyncFailed() const { return folderSyncFailed_; }
    // Begin failed only because the folder lets no temporary file be made beside an existing target
    // that this process may write (EACCES or EPERM).
    bool FolderRefusedTemporaryFile() const { return folderRefused_; }

private:
    bool SavePrevious();

    FileAt target_{std::string()};
    FileAt temp_{std::string()};
    FileAt previous_{std::string()};  // the old target, kept for Undo
    FileHandle file_;
    mode_t oldMode_ = 0;
    uid_t oldOwner_ = 0;
    gid_t oldGroup_ = 0;
    bool existed_ = false;
    bool keepPrevious_ = false;
    bool previousIsCopy_ = false;
    bool restoredName_ = false;  // Undo has put the old name back; the folder sync is still due
    bool prepared_ = false;
    bool committed_ = false;
    bool folderRefused_ = false;
    bool folderSyncFailed_ = false;
};

// The whole of `bytes` as the new content of `path`, in one DurableReplacement. `replaced`, when given,
// tells whether the new content is in place (also when only the folder sync failed after it).
bool ReplaceFileDurably(const FileAt& file, std::string_view bytes, mode_t newFileMode,
                        bool* replaced = nullptr);
