#include "upload/upload_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/digits.h"
#include "common/file_ops.h"
#include "common/system_error.h"

FileError ErrnoError(int number) {
    return FileError{number, SystemErrorText(number)};
}

std::string SignedCountText(int value) {
    return value >= 0 ? " " + std::to_string(value) : std::to_string(value);
}

std::string FileErrorLine(std::string_view tag, const FileError& error) {
    return std::string(tag) + SignedCountText(error.Number) + ":" + error.Description;
}

std::string FormatLogLine(const PcDateTime& now, int16_t receivedCount, std::string_view received) {
    const std::string date =
        ZeroPadded(now.Year, 4) + "/" + ZeroPadded(now.Month, 2) + "/" + ZeroPadded(now.Day, 2);
    std::string line;
    line.reserve(received.size() + 40);
    line += '"';
    line += date;
    line += "\",\"";
    line += ZeroPadded(now.Hour, 2) + ":" + ZeroPadded(now.Minute, 2) + ":" + ZeroPadded(now.Second, 2);
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

bool LineFile::OpenForWriting(const FileAt& path, FileError& error) {
    Close();
    file_ = path;
    // Opened without O_CREAT first, so that a file this opening creates is known: its folder needs a sync.
    // Only a regular file is taken: a named pipe in the folder would otherwise hold the upload in open().
    fd_ = OpenRegularFile(path, O_WRONLY | O_TRUNC | O_CLOEXEC, 0);
    created_ = fd_ < 0 && errno == ENOENT;
    if (created_) {
        fd_ = OpenRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
        if (const int failure = SyncParentFolder(file_); failure != 0) {
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
