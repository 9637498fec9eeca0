#include "upload/upload_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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
    std::string_view rest = bytes;
    while (!rest.empty()) {
        const ssize_t written = ::write(fd_, rest.data(), rest.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = ErrnoError(errno);
            return false;
        }
        rest.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

void LineFile::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}
