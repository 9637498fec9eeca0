#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// How long one statement of a database store may run (or wait for a lock) before it is cancelled.
inline constexpr std::chrono::milliseconds kStatementTimeout{30000};

// The texts of a statement the watch cancelled, when the driver's own diagnostic says nothing.
inline constexpr const char* kTimeoutText = "ﾀｲﾑｱｳﾄ";
inline constexpr const char* kCancelledText = "ｷｬﾝｾﾙ";

// Watches the statements of one database store from a thread of its own. A statement that has run for
// the time-out, and any statement once the run is stopped (`running` going false), is cancelled through
// the function its Begin was given; the call into the driver then returns with a failure. A store that
// began while the run was not running (a writer called on its own) is never stopped, only timed.
class StatementWatch {
public:
    StatementWatch(const std::atomic<bool>* running, std::chrono::milliseconds timeout);
    ~StatementWatch();
    StatementWatch(const StatementWatch&) = delete;
    StatementWatch& operator=(const StatementWatch&) = delete;

    // A statement starts; `cancel` ends it from the watching thread.
    void Begin(std::function<void()> cancel);
    // The statement returned. Afterwards `cancel` is never called again.
    void End();

    // The run was stopped during the store.
    bool Stopped() const { return watchStop_ && !running_->load(); }
    // A statement was cancelled for running past the time-out.
    bool TimedOut() const { return timedOut_.load(); }
    std::chrono::milliseconds Timeout() const { return timeout_; }

private:
    void Watch();

    const std::atomic<bool>* running_;
    const bool watchStop_;
    const std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::function<void()> cancel_;  // of the statement running, until it was called once
    std::chrono::steady_clock::time_point started_;
    bool armed_ = false;
    bool quit_ = false;
    std::atomic<bool> timedOut_{false};
    std::thread thread_;
};

// Runs Begin and End around one call.
class WatchedStatement {
public:
    WatchedStatement(StatementWatch* watch, std::function<void()> cancel) : watch_(watch) {
        if (watch_ != nullptr) {
            watch_->Begin(std::move(cancel));
        }
    }
    ~WatchedStatement() {
        if (watch_ != nullptr) {
            watch_->End();
        }
    }
    WatchedStatement(const WatchedStatement&) = delete;
    WatchedStatement& operator=(const WatchedStatement&) = delete;

private:
    StatementWatch* watch_;
};
