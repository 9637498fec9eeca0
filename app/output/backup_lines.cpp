#include "output/backup_lines.h"

#include <sys/types.h>

#include <cerrno>
#include <cstdlib>

BackupLines::~BackupLines() {
    Close();
    std::free(buffer_);
}

bool BackupLines::Open(const std::string& path) {
    Close();
    error_ = 0;
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

void BackupLines::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

bool BackupLines::Next(std::string& line) {
    line.clear();
    if (file_ == nullptr) {
        return false;
    }
    bool any = false;
    while (true) {
        errno = 0;
        const ssize_t length = getline(&buffer_, &capacity_, file_);
        if (length < 0) {
            if (std::ferror(file_)) {
                error_ = errno != 0 ? errno : EIO;
                return false;
            }
            return any;
        }
        any = true;
        line.append(buffer_, static_cast<size_t>(length));
        if (line.ends_with("\r\n")) {
            line.resize(line.size() - 2);
            return true;
        }
    }
}
