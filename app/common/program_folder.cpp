#include "common/program_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/system_error.h"

std::string ProgramFolderProblem(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        return folder + " : ﾌｫﾙﾀﾞを使えません (" + SystemErrorText(errno) + ")";
    }
    if (!S_ISDIR(info.st_mode)) {
        return folder + " : ﾌｫﾙﾀﾞではありません";
    }
    const uid_t user = ::geteuid();
    if (user != 0 && info.st_uid != user && info.st_uid != 0) {
        return folder + " : ﾌｫﾙﾀﾞの所有者が実行ﾕｰｻﾞｰでもrootでもありません";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return folder + " : ｸﾞﾙｰﾌﾟまたは他のﾕｰｻﾞｰが書き込めるﾌｫﾙﾀﾞです (chmod go-w で閉じてください)";
    }
    return {};
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
