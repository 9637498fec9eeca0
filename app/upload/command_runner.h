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
        Failed,      // its end could not be followed (Reason says why): no exit status is known
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
// signal's disposition at their defaults, the environment given minus CREDENTIALS_DIRECTORY, and no
// descriptor of the program but 0, 1 and 2, whether or not the others were opened close-on-exec.
//
// A command's whole tree ends with it. The shell runs under a reaper of its own: a child of the program
// that is a child subreaper (PR_SET_CHILD_SUBREAPER), so that whatever the command starts stays below it,
// even a process that leaves the shell's group or whose parent ends. The program itself is no subreaper,
// so what other children leave behind (a browser that xdg-open starts) never becomes its child. The
// reaper reports the shell's start and end through a pipe, reaps everything below it, and exits when
// nothing is left. The tree is ended (SIGTERM and SIGCONT to the shell's group and to every process below
// the reaper, then SIGKILL KillAfter later, repeated until nothing is left) when the command reaches its
// limit, and also when the shell exits by itself while anything it started still runs.
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
    struct Started;  // a command's reaper, and the pipes it reports through
    void Worker();
    CommandResult RunOne(const CommandJob& job);
    static bool Start(const CommandJob& job, Started& started, std::string& why);
    CommandResult Supervise(Started& started);
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
