#include "output/backup_lines.h"

#include "common/file_ops.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

void CrLfRecordSplitter::Append(std::string_view bytes) {
    // Drop the records already handed out, so the buffer holds one partial record at most.
    buffer_.erase(0, start_);
    searched_ -= start_;
    start_ = 0;
    buffer_.append(bytes);
}

bool CrLfRecordSplitter::Next(std::string_view& record) {
    const size_t end = buffer_.find("\r\n", std::max(start_, searched_));
    if (end == std::string::npos) {
        // A CR as the last byte may still pair with an LF of the next chunk.
        searched_ = std::max(start_, buffer_.empty() ? 0 : buffer_.size() - 1);
        return false;
    }
    record = std::string_view(buffer_).substr(start_, end - start_);
    start_ = end + 2;
    searched_ = start_;
    return true;
}

bool CrLfRecordSplitter::TakeRest(std::string_view& record) {
    if (start_ >= buffer_.size()) {
        return false;
    }
    record = std::string_view(buffer_).substr(start_);
    start_ = buffer_.size();
    searched_ = start_;
    return true;
}

BackupLines::~BackupLines() {
    Close();
}

bool BackupLines::Open(const FileAt& path) {
    Close();
    error_ = 0;
    atEnd_ = false;
    splitter_ = CrLfRecordSplitter();
    fd_ = OpenRegularFile(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

void BackupLines::Close() {
    if (fd_ >= 0) {
        FileOps().Close(fd_);
        fd_ = -1;
    }
}

bool BackupLines::Next(std::string& line) {
    line.clear();
    if (fd_ < 0) {
        return false;
    }
    std::string_view record;
    while (!splitter_.Next(record)) {
        if (atEnd_) {
            if (!splitter_.TakeRest(record)) {
                return false;
            }
            break;
        }
        char chunk[65536];
        const ssize_t got = FileOps().Read(fd_, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error_ = errno;
            return false;
        }
        if (got == 0) {
            atEnd_ = true;
            continue;
        }
        splitter_.Append(std::string_view(chunk, static_cast<size_t>(got)));
    }
    line.assign(record);
    return true;
}
