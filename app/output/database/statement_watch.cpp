#include "output/database/statement_watch.h"

namespace {

// How often the watching thread looks at the stop flag: well inside the 2 s a stop may take.
constexpr std::chrono::milliseconds kPollInterval{50};

}  // namespace

StatementWatch::StatementWatch(const std::atomic<bool>* running, std::chrono::milliseconds timeout)
    : running_(running),
      watchStop_(running != nullptr && running->load()),
      timeout_(timeout),
      thread_([this] { Watch(); }) {}

StatementWatch::~StatementWatch() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void StatementWatch::Begin(std::function<void()> cancel) {
    std::lock_guard lock(mutex_);
    cancel_ = std::move(cancel);
    started_ = std::chrono::steady_clock::now();
    armed_ = true;
}

void StatementWatch::End() {
    std::lock_guard lock(mutex_);
    armed_ = false;
    cancel_ = nullptr;
}

void StatementWatch::Watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        wake_.wait_for(lock, kPollInterval);
        if (!armed_ || !cancel_) {
            continue;
        }
        const bool late = std::chrono::steady_clock::now() - started_ >= timeout_;
        if (late || Stopped()) {
            timedOut_ = timedOut_ || late;
            // Called under the lock, so End (and the freeing of the statement after it) waits for it.
            cancel_();
            cancel_ = nullptr;
        }
    }
}
