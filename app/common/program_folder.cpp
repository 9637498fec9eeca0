#include "common/program_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
