#pragma once

#include <fcntl.h>

#include <string>

// One program per program folder. Gathra and gathra-collect hold an exclusive flock on the file
// "Gathra.lock" in their program folder for their whole life, and keep their process id in it: two of them
// on one folder would fight over its port, Back.txt and settings (the loser getting "他のﾌﾟﾛｸﾞﾗﾑが使用中です"
// half-way through a start). The lock goes with the process, however it ends; the file stays, so that
// nobody ever waits on a file that another process is about to remove.
//
// A folder where the lock file cannot be made at all (read-only) is not refused here: whatever cannot be
// written there is reported by the part that writes it.
class ProgramFolderLock {
public:
    ProgramFolderLock() = default;
    ~ProgramFolderLock();
    ProgramFolderLock(const ProgramFolderLock&) = delete;
    ProgramFolderLock& operator=(const ProgramFolderLock&) = delete;

    // Takes the lock of `folder` for this object's life. Empty when it is held now (or the file cannot be
    // made); when another process holds it, HeldText for that process. `folderFd` is the folder held open
    // (ProgramFolder), through which the lock file is opened; `folder` then only names it in the text.
    std::string Acquire(const std::string& folder, int folderFd = AT_FDCWD);

    // HeldText when another process holds the lock of `folder`, else empty; takes nothing for longer than
    // the look itself (gathra-collect --check).
    static std::string Holder(const std::string& folder, int folderFd = AT_FDCWD);

    // "Gathraはこのﾌｫﾙﾀﾞで既に起動しています (<DIR>, pid <n>)".
    static std::string HeldText(const std::string& folder, const std::string& pid);

private:
    int fd_ = -1;
};
