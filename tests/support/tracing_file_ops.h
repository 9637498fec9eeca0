#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/file_ops.h"

// The system's file calls, traced: every write, sync, rename, link, truncation and removal as one event
// "<call> <name>", where the name is a file's base name, a label the test gave its folder ("save/"),
// "<temp>" for a temporary file beside an output, or "<previous>" for the previous output kept beside it.
// Runs of writes to one file show as one event. A call can be made to fail once with a chosen errno.
class TracingFileOps : public FileOperations {
public:
    struct Event {
        std::string Text;
        size_t Stamp = 0;  // what `stamp` returned when the call was made
    };

    int Open(const FileAt& file, int flags, mode_t mode) override {
        const int fd = FileOperations::Open(file, flags, mode);
        if (fd >= 0) {
            names_[fd] = Name(file.Name);
        }
        return fd;
    }
    ssize_t Write(int fd, const void* data, size_t size) override {
        if (Fails("write", names_[fd])) {
            return -1;
        }
        const std::string text = "write " + names_[fd];
        if (events.empty() || events.back().Text != text) {
            Log(text);
        }
        return FileOperations::Write(fd, data, size);
    }
    int Truncate(int fd, off_t size) override {
        return Traced("truncate", names_[fd], [&] { return FileOperations::Truncate(fd, size); });
    }
    int DataSync(int fd) override {
        return Traced("datasync", names_[fd], [&] { return FileOperations::DataSync(fd); });
    }
    int Sync(int fd) override {
        return Traced("sync", names_[fd], [&] { return FileOperations::Sync(fd); });
    }
    int Rename(const FileAt& from, const FileAt& to) override {
        return Traced("rename", Name(from.Name) + " " + Name(to.Name),
                      [&] { return FileOperations::Rename(from, to); });
    }
    int Link(const FileAt& from, const FileAt& to) override {
        return Traced("link", Name(from.Name) + " " + Name(to.Name),
                      [&] { return FileOperations::Link(from, to); });
    }
    int Unlink(const FileAt& file) override {
        return Traced("unlink", Name(file.Name), [&] { return FileOperations::Unlink(file); });
    }

    // Only the events of these calls ("datasync", "sync", ...), in order.
    std::vector<std::string> Only(const std::vector<std::string>& calls) const {
        std::vector<std::string> kept;
        for (const auto& event : events) {
            for (const auto& call : calls) {
                if (event.Text.rfind(call + " ", 0) == 0) {
                    kept.push_back(event.Text);
                }
            }
        }
        return kept;
    }

    std::vector<Event> events;
    std::map<std::string, std::string> folderLabels;  // full folder path -> label
    std::function<size_t()> stamp;
    // The next call `failCall` on the file named `failName` fails with `failErrno`, `failSkip` such calls
    // after the first.
    std::string failCall;
    std::string failName;
    int failErrno = EIO;
    int failSkip = 0;

private:
    std::string Name(const std::string& path) const {
        if (const auto label = folderLabels.find(path); label != folderLabels.end()) {
            return label->second;
        }
        const std::string base = path.substr(path.find_last_of('/') + 1);
        if (base.find(".gathra-previous") != std::string::npos) {
            return "<previous>";
        }
        return base.find(".gathra-") != std::string::npos ? "<temp>" : base;
    }
    void Log(const std::string& text) { events.push_back({text, stamp ? stamp() : 0}); }
    bool Fails(const std::string& call, const std::string& name) {
        if (call != failCall || name != failName) {
            return false;
        }
        if (failSkip-- > 0) {
            return false;
        }
        failCall.clear();
        Log("failed " + call + " " + name);
        errno = failErrno;
        return true;
    }
    template <typename Call>
    int Traced(const std::string& call, const std::string& name, Call&& real) {
        if (Fails(call, name)) {
            return -1;
        }
        Log(call + " " + name);
        return real();
    }

    std::map<int, std::string> names_;
};
