#pragma once

#include <thread>

#include "run/run_state.h"

// SIGTERM, SIGINT and SIGHUP (the session it was started from closed) act as the stop button: they set
// IsRunning false and StopRequested true, and the engine sees that at its next check point (a store in
// progress finishes; an upload in the middle gets "CAN").
//
// The three signals are blocked and taken from a signalfd by a thread of our own, so no work happens in a
// signal handler. Construct the watcher before any other thread starts: threads inherit the signal mask,
// and a thread that did not block the signals would take them with their default action (termination).
class StopSignalWatcher {
public:
    explicit StopSignalWatcher(RunState& run);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

    // False when the signalfd could not be made (the signals then keep their default action).
    bool Active() const { return signalFd_ >= 0; }

private:
    void Watch();

    RunState& run_;
    int signalFd_ = -1;
    int wakeFd_ = -1;  // eventfd: the destructor ends the watch
    std::thread thread_;
};
