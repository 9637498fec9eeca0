#include "run/status_line_queue.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

std::string DroppedNotice(uint64_t count) {
    return "(" + std::to_string(count) + " status lines dropped: standard output did not drain)\n";
}

// How long one poll lasts before the writer looks at its flags again; the wake-up event ends it sooner.
constexpr int kPollSliceMs = 1000;

}  // namespace

StatusLineQueue::StatusLineQueue(int fd, size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {
    OpenOutput(fd);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    try {
        writer_ = std::thread([this] { WriterLoop(); });
    } catch (...) {
        // Without a writer thread the lines are discarded: status output must never stop the program.
        broken_ = true;
    }
}

StatusLineQueue::~StatusLineQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (writer_.joinable()) {
        writer_.join();
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
    if (ownFd_ >= 0) {
        ::close(ownFd_);
    }
}

void StatusLineQueue::OpenOutput(int fd) {
    fd_ = fd;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        broken_ = true;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        isSocket_ = true;
        return;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A description of our own: setting O_NONBLOCK on the inherited one would change it for every
        // process sharing it (the shell, a pipeline's other members).
        const std::string path = "/proc/self/fd/" + std::to_string(fd);
        const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) {
            ownFd_ = own;
            fd_ = own;
        }
    }
}

void StatusLineQueue::Push(std::string line) {
    line += '\n';
    {
        std::lock_guard lock(mutex_);
        if (broken_) {
            return;
        }
        if (queue_.size() >= capacity_) {
            ++droppedSinceLast_;
            ++droppedTotal_;
            return;
        }
        if (droppedSinceLast_ > 0) {
            queue_.push_back(DroppedNotice(droppedSinceLast_));
            droppedSinceLast_ = 0;
        }
        queue_.push_back(std::move(line));
    }
    changed_.notify_all();
}

bool StatusLineQueue::Flush(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [this] {
        return broken_ || (queue_.empty() && !writing_ && droppedSinceLast_ == 0);
    }) && !broken_;
}

uint64_t StatusLineQueue::DroppedLines() const {
    std::lock_guard lock(mutex_);
    return droppedTotal_;
}

void StatusLineQueue::WriterLoop() {
    // A pipe whose reader went away answers with EPIPE instead of killing the program with SIGPIPE; the
    // signal stays pending on this thread only and goes with it.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty() || droppedSinceLast_ > 0; });
        if (stopping_) {
            return;
        }
        std::string text;
        if (!queue_.empty()) {
            text = std::move(queue_.front());
            queue_.pop_front();
        } else {
            // Everything before the gap is out: the descriptor drains again.
            text = DroppedNotice(droppedSinceLast_);
            droppedSinceLast_ = 0;
        }
        writing_ = true;
        lock.unlock();
        const bool ok = WriteAll(text);
        lock.lock();
        writing_ = false;
        if (!ok && !stopping_) {
            broken_ = true;
            queue_.clear();
            droppedSinceLast_ = 0;
        }
        changed_.notify_all();
        if (broken_) {
            return;
        }
    }
}

bool StatusLineQueue::WriteAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const char* data = bytes.data() + done;
        const size_t size = bytes.size() - done;
        const ssize_t n =
            isSocket_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, size);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitWritable()) {
                return false;
            }
            continue;
        }
        return false;  // EPIPE, EBADF, EIO: the reader is gone for good
    }
    return true;
}

bool StatusLineQueue::WaitWritable() {
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return false;
            }
        }
        pollfd fds[2] = {{fd_, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
        const int n = ::poll(fds, wakeFd_ >= 0 ? 2 : 1, kPollSliceMs);
        if (n < 0 && errno != EINTR) {
            return false;
        }
        if (n > 0 && (fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        if (n > 0 && (fds[0].revents & (POLLOUT | POLLHUP)) != 0) {
            return true;  // a hang-up shows itself as EPIPE on the next write
        }
    }
}
