#pragma once

#include <string>

// The program folder holds the settings file, Back.txt, the journal and ports/ (the devices the link
// opens), so whoever can write it can steer the program: it must belong to the user running the program,
// or to root, and must not be writable by group or others (as ssh wants its key folder). Root may use a
// folder of any owner that is closed to group and others. Whoever may write a folder above it may rename it
// and put another in its place, so each of those must belong to root or the user too, and must not be
// writable by group or others unless its sticky bit keeps others' entries from being renamed (as /tmp).
//
// The folder is opened once and held from then on: the checks look at the open folder (fstat), the
// folders above it are reached from it ("..") rather than by path, and every later use goes through the
// descriptor (FileAt in common/file_ops.h, or HeldPath() for code that only takes paths). A folder renamed
// or replaced after the check is never used.
class ProgramFolder {
public:
    ProgramFolder() = default;  // holds nothing
    ~ProgramFolder();
    ProgramFolder(ProgramFolder&& other) noexcept;
    ProgramFolder& operator=(ProgramFolder&& other) noexcept;
    ProgramFolder(const ProgramFolder&) = delete;
    ProgramFolder& operator=(const ProgramFolder&) = delete;

    // Opens `folder` (O_RDONLY | O_DIRECTORY | O_CLOEXEC) and checks it and every folder above it up to
    // "/". On failure nothing is held and `problem` is the reason, naming the folder that failed.
    static ProgramFolder Open(const std::string& folder, std::string& problem);

    bool IsHeld() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // "/proc/self/fd/<n>": the held folder as a path, for the link library and SQLite. Never shown.
    std::string HeldPath() const;
    // Where the folder was when it was checked: for texts and for a command's environment.
    const std::string& RealPath() const { return realPath_; }

private:
    void Release();

    int fd_ = -1;
    std::string realPath_;
};

// `path` with a held program folder's "/proc/self/fd/<n>" put back as that folder's real path, for a text
// an operator reads; any other path as it is.
std::string ShownPath(const std::string& path);

// The other way round, for a path that names a file by the real path of a held program folder (a save
// folder inside it, as --init makes it): the folder's descriptor, with the rest of `path` below it in
// `name` ("." for the folder itself). -1 for any other path, and for one that climbs out with "..".
int HeldFolderOf(const std::string& path, std::string& name);

// DIR as an absolute path (relative to the current directory), without a trailing "/".
std::string AbsoluteFolder(const std::string& folder);

// The installed program files live under /usr (the package's /usr/lib/gathra), which belongs to the
// package manager: settings, Back.txt and ports/ must never land there, not even when root starts the
// program from there. "<DIR> : ｲﾝｽﾄｰﾙ先のﾌｫﾙﾀﾞはﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞにできません" for a folder inside /usr (through
// any links; /usr/local, the administrator's own, excepted), else empty.
std::string InstalledFilesFolderProblem(const std::string& folder);

// Makes a missing program folder for gathra-collect --init: DIR with mode 0700, and its missing parents
// as mkdir -p does (0755, never writable by group or others whatever the umask). An existing DIR is left
// as it is. Empty on success, else the reason naming the folder that could not be made.
std::string MakeProgramFolder(const std::string& folder);
