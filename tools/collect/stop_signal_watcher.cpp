#include "stop_signal_watcher.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

StopSignalWatcher::StopSignalWatcher(RunState& run) : run_(run) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        return;
    }
    if (::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
        return;
    }
    signalFd_ = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0) {
        ::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
        return;
    }
    thread_ = std::thread([this] { Watch(); });
}

StopSignalWatcher::~StopSignalWatcher() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (signalFd_ >= 0) {
        ::close(signalFd_);
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
    }
}

void StopSignalWatcher::Watch() {
    while (true) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        signalfd_siginfo info{};
        while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            // The stop button. StopRequested first: once the engine sees IsRunning false, it must find
            // the request that adds the stop line.
            run_.StopRequested = true;
            run_.IsRunning = false;
        }
    }
}
