#pragma once

#include <unistd.h>

#include <chrono>
#include <string>

// Writes whole lines to a descriptor, adding the line feed.
class StatusLineSink {
public:
    explicit StatusLineSink(int fd) : fd_(fd) {}

    void Push(std::string line) {
        line += '\n';
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t written = ::write(fd_, line.data() + done, line.size() - done);
            if (written <= 0) {
                return;
            }
            done += static_cast<size_t>(written);
        }
    }

    bool Flush(std::chrono::milliseconds) { return true; }

private:
    int fd_;
};
