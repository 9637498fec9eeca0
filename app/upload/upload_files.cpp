#include "upload/upload_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/file_ops.h"

namespace {

std::string TwoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

}  // namespace

FileError ErrnoError(int number) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in `buffer`.
    const char* text = strerror_r(number, buffer, sizeof buffer);
    return FileError{number, text};
}

std::string SignedCountText(int value) {
    return value >= 0 ? " " + std::to_string(value) : std::to_string(value);
}

std::string FileErrorLine(std::string_view tag, const FileError& error) {
    return std::string(tag) + SignedCountText(error.Number) + ":" + error.Description;
}

std::string FormatLogLine(const PcDateTime& now, int16_t receivedCount, std::string_view received) {
    char date[32];
    std::snprintf(date, sizeof date, "%04d/%02d/%02d", now.Year, now.Month, now.Day);
    std::string line;
    line.reserve(received.size() + 40);
    line += '"';
    line += date;
    line += "\",\"";
    line += TwoDigits(now.Hour) + ":" + TwoDigits(now.Minute) + ":" + TwoDigits(now.Second);
    line += "\",\"";
    line += SignedCountText(receivedCount);
    line += "\",\"";
    line += received;
    line += '"';
    return line;
}

LineFile::~LineFile() {
    Close();
}

bool LineFile::OpenForWriting(const std::string& path, FileError& error) {
    Close();
    path_ = path;
    // Opened without O_CREAT first, so that a file this opening creates is known: its folder needs a sync.
    fd_ = FileOps().Open(path, O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
    created_ = fd_ < 0 && errno == ENOENT;
    if (created_) {
        fd_ = FileOps().Open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }
    if (fd_ < 0) {
        error = ErrnoError(errno);
        return false;
    }
    return true;
}

bool LineFile::WriteLine(std::string_view text, FileError& error) {
    if (fd_ < 0) {
        error = ErrnoError(EBADF);
        return false;
    }
    std::string bytes;
    bytes.reserve(text.size() + 2);
    bytes.append(text);
    bytes.append("\r\n");
    if (!WriteAllTo(fd_, bytes)) {
        error = ErrnoError(errno);
        return false;
    }
    return true;
}

bool LineFile::Sync(FileError& error) {
    if (fd_ < 0) {
        error = ErrnoError(EBADF);
        return false;
    }
    if (FileOps().DataSync(fd_) != 0) {
        error = ErrnoError(errno);
        return false;
    }
    if (created_) {
        if (const int failure = SyncParentFolder(path_); failure != 0) {
            error = ErrnoError(failure);
            return false;
        }
        created_ = false;
    }
    return true;
}

void LineFile::Close() {
    if (fd_ >= 0) {
        FileOps().Close(fd_);
        fd_ = -1;
    }
}
