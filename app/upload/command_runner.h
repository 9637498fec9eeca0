#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// How one command ended.
struct CommandResult {
    enum class Kind {
        Exited,      // Status is its exit status
        Signalled,   // Status is the signal that ended it
        TimedOut,    // ended at its limit (SIGTERM, then SIGKILL)
        NotStarted,  // it could not start (Reason says why)
        Cancelled,   // still waiting when the program ended or was stopped: never run
    };
    Kind Outcome = Kind::NotStarted;
    int Status = 0;
    std::string Output;  // the last bytes of its standard output and error together
    std::string Reason;

    // The last non-empty line of Output, as valid UTF-8 without control characters.
    std::string LastLine() const;
};

// One command line for /bin/sh -c.
struct CommandJob {
    std::string CommandLine;
    std::string Folder;  // its working folder
    // Added to the program's environment (replacing variables of the same name).
    std::vector<std::pair<std::string, std::string>> Environment;
    // Called on the runner's thread when it has ended (or was cancelled).
    std::function<void(const CommandResult&)> Done;
};

// Runs commands one after another on a thread of its own, so that whoever submits one never waits.
//
// Each command runs as /bin/sh -c <line> in its own process group, with standard input on /dev/null,
// standard output and error into one pipe (the last OutputLimit bytes kept), the signal mask and every
// signal's disposition at their defaults, and no descriptor of the program but 0, 1 and 2: the spawn
// closes every other one, whether or not it was opened close-on-exec. A command still running at its
// limit gets SIGTERM to its group, and SIGKILL KillAfter later.
class CommandRunner {
public:
    struct Limits {
        std::chrono::milliseconds Run{60000};
        std::chrono::milliseconds KillAfter{5000};
        std::chrono::milliseconds Hurry{2000};  // what Finish(true) gives the running and waiting ones
        size_t Waiting = 8;
        size_t OutputLimit = 4096;
    };

    CommandRunner();
    explicit CommandRunner(Limits limits);
    // Finish(true).
    ~CommandRunner();
    CommandRunner(const CommandRunner&) = delete;
    CommandRunner& operator=(const CommandRunner&) = delete;

    // Queues a command behind the running one. False, without calling Done, when Limits::Waiting
    // commands are waiting already.
    bool Submit(CommandJob job);

    // Returns once no command runs or waits. Without `hurry` each runs to its end or its limit; with it
    // they get Limits::Hurry in all: the running one is then ended as at its limit (SIGKILL half a second
    // after SIGTERM) and the ones still waiting are cancelled.
    void Finish(bool hurry);
    // Gives the running and the waiting commands Limits::Hurry from now, without waiting for them.
    void Hurry();

private:
    void Worker();
    CommandResult RunOne(const CommandJob& job);
    std::optional<std::chrono::steady_clock::time_point> HurryDeadline() const;

    Limits limits_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<CommandJob> waiting_;
    bool running_ = false;
    bool stopping_ = false;
    std::optional<std::chrono::steady_clock::time_point> hurryUntil_;
    std::thread worker_;
};
