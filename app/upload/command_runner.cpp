#include "upload/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "codec/text_encoding.h"
#include "common/system_error.h"

extern char** environ;

namespace {

// How long the hurried end waits between SIGTERM and SIGKILL.
constexpr std::chrono::milliseconds kHurriedKillAfter{500};
// The longest single wait of the output loop, so a process that exits while a child of its own keeps the
// pipe open is still noticed.
constexpr int kPollSliceMs = 50;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void Reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

// The environment of the command: the program's own, with `extra` replacing variables of the same name.
std::vector<std::string> CommandEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const std::string_view name = variable.substr(0, variable.find('='));
        const bool replaced =
            std::any_of(extra.begin(), extra.end(), [name](const auto& pair) { return pair.first == name; });
        if (!replaced) {
            environment.emplace_back(variable);
        }
    }
    for (const auto& [name, value] : extra) {
        environment.push_back(name + "=" + value);
    }
    return environment;
}

void KeepTail(std::string& output, size_t limit) {
    if (output.size() > limit) {
        output.erase(0, output.size() - limit);
    }
}

}  // namespace

std::string CommandResult::LastLine() const {
    size_t end = Output.size();
    while (end > 0) {
        while (end > 0 && (Output[end - 1] == '\n' || Output[end - 1] == '\r')) {
            --end;
        }
        const size_t start = Output.find_last_of("\r\n", end == 0 ? 0 : end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        std::string line = Output.substr(from, end - from);
        if (line.find_first_not_of(" \t") != std::string::npos) {
            if (!IsValidUtf8(line)) {
                // Not UTF-8: keep what is ASCII.
                std::string ascii;
                for (const char c : line) {
                    ascii += static_cast<unsigned char>(c) < 0x80 ? c : '?';
                }
                line = ascii;
            }
            for (char& c : line) {
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    c = ' ';
                }
            }
            return line;
        }
        end = from;
    }
    return {};
}

CommandRunner::CommandRunner() : CommandRunner(Limits{}) {}

CommandRunner::CommandRunner(Limits limits) : limits_(limits) {
    worker_ = std::thread([this] { Worker(); });
}

CommandRunner::~CommandRunner() {
    Finish(true);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    worker_.join();
}

bool CommandRunner::Submit(CommandJob job) {
    {
        std::lock_guard lock(mutex_);
        if (waiting_.size() >= limits_.Waiting) {
            return false;
        }
        waiting_.push_back(std::move(job));
    }
    changed_.notify_all();
    return true;
}

void CommandRunner::Finish(bool hurry) {
    if (hurry) {
        Hurry();
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return waiting_.empty() && !running_; });
}

void CommandRunner::Hurry() {
    std::lock_guard lock(mutex_);
    if (running_ || !waiting_.empty()) {
        const auto until = std::chrono::steady_clock::now() + limits_.Hurry;
        hurryUntil_ = hurryUntil_ ? std::min(*hurryUntil_, until) : until;
    }
}

std::optional<std::chrono::steady_clock::time_point> CommandRunner::HurryDeadline() const {
    std::lock_guard lock(mutex_);
    return hurryUntil_;
}

void CommandRunner::Worker() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty()) {
            return;
        }
        CommandJob job = std::move(waiting_.front());
        waiting_.pop_front();
        running_ = true;
        const bool cancelled = hurryUntil_ && std::chrono::steady_clock::now() >= *hurryUntil_;
        lock.unlock();
        CommandResult result;
        if (cancelled) {
            result.Outcome = CommandResult::Kind::Cancelled;
        } else {
            result = RunOne(job);
        }
        if (job.Done) {
            job.Done(result);
        }
        lock.lock();
        running_ = false;
        if (waiting_.empty()) {
            hurryUntil_.reset();  // the next command has its full limit again
        }
        changed_.notify_all();
    }
}

CommandResult CommandRunner::RunOne(const CommandJob& job) {
    CommandResult result;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        result.Reason = SystemErrorText(errno);
        return result;
    }
    Fd readEnd(pipeFds[0]);
    Fd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawn_file_actions_addchdir_np(&actions, job.Folder.c_str());

    // The program may block or ignore signals (the collector blocks SIGTERM and SIGINT in every thread and
    // ignores SIGPIPE); the command starts with all of them at their defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> environment = CommandEnvironment(job.Environment);
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string shell = "sh";
    std::string dashC = "-c";
    std::string line = job.CommandLine;
    char* argv[] = {shell.data(), dashC.data(), line.data(), nullptr};

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    writeEnd.Reset();
    if (spawned != 0) {
        result.Reason = SystemErrorText(spawned);
        return result;
    }

    using Clock = std::chrono::steady_clock;
    const Clock::time_point limit = Clock::now() + limits_.Run;
    std::optional<Clock::time_point> killAt;
    bool killed = false;
    bool timedOut = false;
    bool outputOpen = true;
    int status = 0;
    char buffer[4096];
    while (true) {
        const Clock::time_point now = Clock::now();
        const auto hurry = HurryDeadline();
        const Clock::time_point deadline = hurry ? std::min(limit, *hurry) : limit;
        if (!killAt && now >= deadline) {
            ::kill(-pid, SIGTERM);
            timedOut = true;
            killAt = now + (hurry && *hurry <= limit ? kHurriedKillAfter : limits_.KillAfter);
        }
        if (killAt && !killed && now >= *killAt) {
            ::kill(-pid, SIGKILL);
            killed = true;
        }
        const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR)) {
            break;
        }
        const Clock::time_point next =
            killAt ? (killed ? now + std::chrono::milliseconds(kPollSliceMs) : *killAt) : deadline;
        int wait =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
        wait = std::clamp(wait, 1, outputOpen ? kPollSliceMs : 10);
        pollfd poller{readEnd.get(), POLLIN, 0};
        if (::poll(&poller, outputOpen ? 1 : 0, wait) > 0) {
            const ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
            if (got > 0) {
                result.Output.append(buffer, static_cast<size_t>(got));
                KeepTail(result.Output, limits_.OutputLimit);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                outputOpen = false;
            }
        }
    }
    // What it wrote last before it ended.
    ssize_t got = 0;
    while (outputOpen && (got = ::read(readEnd.get(), buffer, sizeof buffer)) > 0) {
        result.Output.append(buffer, static_cast<size_t>(got));
        KeepTail(result.Output, limits_.OutputLimit);
    }
    if (timedOut) {
        result.Outcome = CommandResult::Kind::TimedOut;
    } else if (WIFSIGNALED(status)) {
        result.Outcome = CommandResult::Kind::Signalled;
        result.Status = WTERMSIG(status);
    } else {
        result.Outcome = CommandResult::Kind::Exited;
        result.Status = WEXITSTATUS(status);
    }
    return result;
}
