#include "common/program_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <utility>

#include "common/system_error.h"

namespace {

constexpr const char* kHeldPrefix = "/proc/self/fd/";
constexpr const char* kNotOwned = " : ﾌｫﾙﾀﾞの所有者が実行ﾕｰｻﾞｰでもrootでもありません";
constexpr const char* kOpenToOthers =
    " : ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞです (chmod go-w で閉じてください)";

// The real path of each held folder, by descriptor, for ShownPath.
std::mutex heldMutex;
std::map<int, std::string>& HeldFolders() {
    static std::map<int, std::string> folders;
    return folders;
}

// Where the open folder `fd` is now, as the kernel names it; `fallback` when it cannot say.
std::string PathOfDescriptor(int fd, const std::string& fallback) {
    std::string path(4096, '\0');
    const ssize_t length =
        ::readlink((kHeldPrefix + std::to_string(fd)).c_str(), path.data(), path.size() - 1);
    if (length <= 0 || path[0] != '/') {
        return fallback;
    }
    path.resize(static_cast<size_t>(length));
    return path;
}

bool OwnedByUserOrRoot(const struct stat& info) {
    const uid_t user = ::geteuid();
    return info.st_uid == user || info.st_uid == 0;
}

// Walks up from the open folder `fd` to "/", one ".." at a time, and returns the reason the first folder
// that others could use to swap the program folder fails; empty when none does.
std::string ParentProblem(int fd, const struct stat& folder) {
    int current = fd;
    struct stat child = folder;
    std::string problem;
    while (problem.empty()) {
        // O_PATH: only search permission on the child is needed, none on the parent.
        const int parent = ::openat(current, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat info {};
        if (parent < 0 || ::fstat(parent, &info) != 0) {
            problem =
                PathOfDescriptor(current, ".") + "/.. : ﾌｫﾙﾀﾞを使えません (" + SystemErrorText(errno) + ")";
        } else if (info.st_dev == child.st_dev && info.st_ino == child.st_ino) {
            ::close(parent);  // "/" is its own parent
            break;
        } else if (!OwnedByUserOrRoot(info)) {
            problem = PathOfDescriptor(parent, "..") + kNotOwned;
        } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0) {
            problem = PathOfDescriptor(parent, "..") + kOpenToOthers;
        }
        if (current != fd) {
            ::close(current);
        }
        current = parent;
        child = info;
    }
    if (current != fd && current >= 0) {
        ::close(current);
    }
    return problem;
}

}  // namespace

ProgramFolder::~ProgramFolder() {
    Release();
}

ProgramFolder::ProgramFolder(ProgramFolder&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), realPath_(std::move(other.realPath_)) {}

ProgramFolder& ProgramFolder::operator=(ProgramFolder&& other) noexcept {
    if (this != &other) {
        Release();
        fd_ = std::exchange(other.fd_, -1);
        realPath_ = std::move(other.realPath_);
    }
    return *this;
}

void ProgramFolder::Release() {
    if (fd_ < 0) {
        return;
    }
    {
        std::lock_guard lock(heldMutex);
        HeldFolders().erase(fd_);
    }
    ::close(fd_);
    fd_ = -1;
}

ProgramFolder ProgramFolder::Open(const std::string& folder, std::string& problem) {
    problem.clear();
    ProgramFolder held;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        const int error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        struct stat entry {};
        if (error == ENOTDIR && ::stat(folder.c_str(), &entry) == 0 && !S_ISDIR(entry.st_mode)) {
            problem = folder + " : ﾌｫﾙﾀﾞではありません";
        } else {
            problem = folder + " : ﾌｫﾙﾀﾞを使えません (" + SystemErrorText(error) + ")";
        }
        return held;
    }
    held.fd_ = fd;
    held.realPath_ = PathOfDescriptor(fd, folder);
    if (::geteuid() != 0 && !OwnedByUserOrRoot(info)) {
        problem = held.realPath_ + kNotOwned;
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem = held.realPath_ + kOpenToOthers;
    } else {
        problem = ParentProblem(fd, info);
    }
    if (!problem.empty()) {
        held.Release();
        return held;
    }
    std::lock_guard lock(heldMutex);
    HeldFolders()[fd] = held.realPath_;
    return held;
}

std::string ProgramFolder::HeldPath() const {
    return kHeldPrefix + std::to_string(fd_);
}

std::string ShownPath(const std::string& path) {
    const std::string prefix = kHeldPrefix;
    if (path.rfind(prefix, 0) != 0) {
        return path;
    }
    const size_t end = path.find('/', prefix.size());
    const std::string number = path.substr(prefix.size(), end - prefix.size());
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos || number.size() > 9) {
        return path;
    }
    std::lock_guard lock(heldMutex);
    const auto found = HeldFolders().find(std::stoi(number));
    if (found == HeldFolders().end()) {
        return path;
    }
    return found->second + (end == std::string::npos ? std::string() : path.substr(end));
}

int HeldFolderOf(const std::string& path, std::string& name) {
    if (!path.starts_with('/')) {
        return -1;
    }
    std::lock_guard lock(heldMutex);
    for (const auto& [fd, realPath] : HeldFolders()) {
        const std::string folder = realPath.ends_with('/') ? realPath : realPath + "/";
        if (path != realPath && !path.starts_with(folder)) {
            continue;
        }
        const size_t start = path.find_first_not_of('/', std::min(folder.size(), path.size()));
        name = start == std::string::npos ? "." : path.substr(start);
        if (("/" + name + "/").find("/../") != std::string::npos) {
            return -1;
        }
        return fd;
    }
    return -1;
}

std::string AbsoluteFolder(const std::string& folder) {
    std::string path = folder;
    if (path.empty() || path.front() != '/') {
        std::string cwd(4096, '\0');
        if (::getcwd(cwd.data(), cwd.size()) != nullptr) {
            cwd.resize(cwd.find('\0'));
            path = (cwd == "/" ? std::string() : cwd) + "/" + path;
        }
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    return path;
}

std::string InstalledFilesFolderProblem(const std::string& folder) {
    // Resolved, so that /lib/gathra (a link into /usr on a merged /usr) or a link to /usr/lib/gathra counts
    // too; a folder that does not resolve is judged by its absolute name.
    char resolved[PATH_MAX];
    const std::string path =
        ::realpath(folder.c_str(), resolved) != nullptr ? resolved : AbsoluteFolder(folder);
    const auto inside = [&path](const std::string& top) {
        return path == top || path.rfind(top + "/", 0) == 0;
    };
    if (inside("/usr") && !inside("/usr/local")) {
        return folder + " : ｲﾝｽﾄｰﾙ先のﾌｫﾙﾀﾞはﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞにできません";
    }
    return {};
}

std::string MakeProgramFolder(const std::string& folder) {
    const std::string path = AbsoluteFolder(folder);
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        return {};
    }
    // Each missing folder from the top down; only the last one is the program folder.
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        const bool last = slash == std::string::npos;
        if (::mkdir(part.c_str(), last ? 0700 : 0755) != 0 && (last || errno != EEXIST)) {
            return part + " : ﾌｫﾙﾀﾞを作成できません (" + SystemErrorText(errno) + ")";
        }
        if (last) {
            return {};
        }
    }
}
