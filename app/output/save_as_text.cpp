#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "output/record_fields.h"
#include "output/writers.h"

namespace {

// A failure without an errno of its own: the output names the backup file itself.
constexpr int kOutputIsBackup = -1;

// The failure's description and, with no separator, the component that raised it.
std::string FailureText(int number, const std::string& path) {
    char buffer[256];
    const char* description = number == kOutputIsBackup ? "Output file is the backup file"
                                                        : strerror_r(number, buffer, sizeof buffer);
    return std::string(description) + " (" + path + ")" + kAppTitle;
}

// True when `path` names the file already open as `fd` (the same file through any name or link).
bool IsSameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// A descriptor closed on scope exit.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the result (a file system may report a failed write only here).
    int Close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

}  // namespace

// Converts the backup file into the text output: one line per record, the selected fields joined by ",",
// CR LF. The backup is opened first, so a missing backup never empties an existing output file.
bool SaveAsText(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    view.SetBusyPointer(true);

    std::string failedPath;
    int failure = 0;
    const auto fail = [&]() {
        const std::string text = FailureText(failure, failedPath);
        view.ShowMessage(kAppTitle, text, MessageIcon::None);
        view.ShowStatus(1, text);
        return false;
    };

    Fd backup(::open(settings.BackFilePath.c_str(), O_RDONLY | O_CLOEXEC));
    if (backup.get() < 0) {
        failure = errno;
        failedPath = settings.BackFilePath;
        return fail();
    }
    // Writing the backup into itself would empty it (overwrite) or never reach its end (append).
    if (IsSameFile(backup.get(), run.OutputPath)) {
        failure = kOutputIsBackup;
        failedPath = run.OutputPath;
        return fail();
    }
    const int mode = settings.OverWrite == 1 ? O_TRUNC : O_APPEND;
    Fd output(::open(run.OutputPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0666));
    if (output.get() < 0) {
        failure = errno;
        failedPath = run.OutputPath;
        return fail();
    }

    // Records are lines ending with CR LF; a CR or LF alone is part of the record. A last line without
    // CR LF still counts as a line.
    std::string pending;
    std::string out;
    char chunk[65536];
    const auto flush = [&]() {
        if (!WriteAll(output.get(), out)) {
            failure = errno;
            failedPath = run.OutputPath;
            return false;
        }
        out.clear();
        return true;
    };
    const auto convert = [&](std::string_view line) {
        out += BuildTextLine(SelectFields(SplitRecord(line), settings.XlsField));
        out += "\r\n";
    };
    while (true) {
        const ssize_t got = ::read(backup.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = errno;
            failedPath = settings.BackFilePath;
            flush();
            return fail();
        }
        if (got == 0) {
            break;
        }
        // A CR at the end of the previous chunk may pair with an LF at the start of this one.
        const size_t searchFrom = pending.empty() ? 0 : pending.size() - 1;
        pending.append(chunk, static_cast<size_t>(got));
        size_t start = 0;
        for (size_t end = pending.find("\r\n", searchFrom); end != std::string::npos;
             end = pending.find("\r\n", start)) {
            convert(std::string_view(pending).substr(start, end - start));
            start = end + 2;
        }
        pending.erase(0, start);
        if (out.size() >= sizeof chunk && !flush()) {
            return fail();
        }
    }
    if (!pending.empty()) {
        convert(pending);
    }
    if (!flush()) {
        return fail();
    }
    if (output.Close() != 0) {
        failure = errno;
        failedPath = run.OutputPath;
        return fail();
    }
    view.SetBusyPointer(false);
    return true;
}
