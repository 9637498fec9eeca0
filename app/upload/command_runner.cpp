#include "upload/command_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <set>

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
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

// The environment of the command: the program's own, with `extra` replacing variables of the same name.
// CREDENTIALS_DIRECTORY goes: the command has no use for the service's credentials folder (though it runs
// with the service's rights, and so could still read it).
std::vector<std::string> CommandEnvironment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        const std::string_view name = variable.substr(0, variable.find('='));
        const bool replaced =
            std::any_of(extra.begin(), extra.end(), [name](const auto& pair) { return pair.first == name; });
        if (!replaced && name != "CREDENTIALS_DIRECTORY") {
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

// What the reaper (and the shell, until its exec) tells the program, one message per write.
struct ReaperMessage {
    enum : int32_t { CouldNotStart = 1, ShellStarted = 2, ShellEnded = 3 };
    int32_t Kind;
    int32_t Value;  // errno, the shell's process ID, or its wait status
};

// The reaper's report descriptor, close-on-exec so the shell loses it at its exec.
constexpr int kReportFd = 3;

// Everything the reaper needs, made before the fork: after it, the child of a threaded program may only
// make async-signal-safe calls (no allocation, no locks), so the reaper and the shell's child side use
// system calls alone.
struct ReaperPlan {
    const char* Folder;
    char* const* Argv;
    char* const* Envp;
    int Output;  // the write end of the output pipe
    int Report;  // the write end of the report pipe
};

void Tell(int fd, int32_t kind, int32_t value) {
    const ReaperMessage message{kind, value};
    (void)!::write(fd, &message, sizeof message);  // at most PIPE_BUF bytes: written whole or not at all
}

[[noreturn]] void CouldNotStart(int fd) {
    Tell(fd, ReaperMessage::CouldNotStart, errno);
    ::_exit(127);
}

// The shell's side of the fork, in the reaper's child: its own process group, every signal unblocked,
// the working folder, then /bin/sh.
[[noreturn]] void RunShell(const ReaperPlan& plan) {
    sigset_t none;
    sigemptyset(&none);
    if (::setpgid(0, 0) != 0 || ::sigprocmask(SIG_SETMASK, &none, nullptr) != 0 ||
        ::chdir(plan.Folder) != 0) {
        CouldNotStart(kReportFd);
    }
    ::execve("/bin/sh", plan.Argv, plan.Envp);
    CouldNotStart(kReportFd);
}

// The reaper: standard input on /dev/null, output and error into the pipe, the report on descriptor 3,
// every other descriptor closed; then the shell, and every process below it reaped until none is left.
[[noreturn]] void RunReaper(const ReaperPlan& plan) {
    // Signals stay blocked in the reaper (a Ctrl-C meant for the program must not orphan the command);
    // their dispositions go back to the defaults, which the shell inherits, and SIGCHLD must not be
    // ignored, or the reaper's children would vanish unwaited.
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_SETMASK, &all, nullptr);
    struct sigaction byDefault {};
    byDefault.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &byDefault, nullptr);  // fails for SIGKILL and SIGSTOP, which is as it should be
    }
    const int report = ::fcntl(plan.Report, F_DUPFD_CLOEXEC, kReportFd + 1);
    const int output = ::fcntl(plan.Output, F_DUPFD, kReportFd + 1);
    if (report < 0 || output < 0) {
        CouldNotStart(plan.Report);
    }
    if (::dup2(report, kReportFd) != kReportFd || ::fcntl(kReportFd, F_SETFD, FD_CLOEXEC) != 0) {
        CouldNotStart(report);
    }
    if (::dup2(output, STDOUT_FILENO) != STDOUT_FILENO || ::dup2(output, STDERR_FILENO) != STDERR_FILENO) {
        CouldNotStart(kReportFd);
    }
    const int input = ::open("/dev/null", O_RDONLY);
    if (input < 0 || (input != STDIN_FILENO && ::dup2(input, STDIN_FILENO) != STDIN_FILENO) ||
        ::close_range(kReportFd + 1, ~0U, 0) != 0 || ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0) {
        CouldNotStart(kReportFd);
    }
    const pid_t shell = ::_Fork();
    if (shell < 0) {
        CouldNotStart(kReportFd);
    }
    if (shell == 0) {
        RunShell(plan);
    }
    ::setpgid(shell, shell);  // also here, so the group exists before the program may signal it
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        ::close(fd);  // only the command holds the output pipe, so its end is seen
    }
    Tell(kReportFd, ReaperMessage::ShellStarted, shell);
    for (;;) {
        int status = 0;
        const pid_t ended = ::waitpid(-1, &status, 0);
        if (ended == shell) {
            Tell(kReportFd, ReaperMessage::ShellEnded, status);
        } else if (ended < 0 && errno != EINTR) {
            ::_exit(0);  // ECHILD: nothing is left below the reaper
        }
    }
}

// The parent of process `pid`, from /proc/<pid>/stat; 0 when it is gone.
pid_t ParentOf(pid_t pid) {
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char stat[512];
    const ssize_t got = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (got <= 0) {
        return 0;
    }
    stat[got] = '\0';
    // "pid (name) state ppid ...": the name may hold blanks and parentheses, so read on from its last ')'.
    const char* nameEnd = std::strrchr(stat, ')');
    char state = 0;
    int parent = 0;
    return nameEnd != nullptr && std::sscanf(nameEnd + 1, " %c %d", &state, &parent) == 2 ? parent : 0;
}

// Every process below `root`, however deep.
std::set<pid_t> ProcessesBelow(pid_t root) {
    std::vector<std::pair<pid_t, pid_t>> parents;
    if (DIR* proc = ::opendir("/proc")) {
        while (const dirent* entry = ::readdir(proc)) {
            char* end = nullptr;
            const long pid = std::strtol(entry->d_name, &end, 10);
            if (pid > 0 && *end == '\0') {
                parents.emplace_back(static_cast<pid_t>(pid), ParentOf(static_cast<pid_t>(pid)));
            }
        }
        ::closedir(proc);
    }
    std::set<pid_t> below{root};
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, parent] : parents) {
            grew = (below.count(parent) != 0 && below.insert(pid).second) || grew;
        }
    }
    below.erase(root);
    return below;
}

// pidfd_open and pidfd_send_signal as system calls: Debian 12's <sys/pidfd.h> declares them without C
// linkage.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

void PidfdSignal(int pidfd, int signal) {
    ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

// Sends `signals` to the process group `group` (when known) and to every process below `root`. Each
// process is signalled through a pidfd opened while it is still seen below the root, so that a process ID
// taken over meanwhile by a process elsewhere is never hit.
void SignalTree(pid_t root, pid_t group, std::initializer_list<int> signals) {
    for (const int signal : signals) {
        if (group > 0) {
            ::kill(-group, signal);
        }
    }
    const std::set<pid_t> below = ProcessesBelow(root);
    for (const pid_t pid : below) {
        const int pidfd = PidfdOpen(pid);
        if (pidfd < 0) {
            continue;
        }
        const pid_t parent = ParentOf(pid);
        if (parent == root || below.count(parent) != 0) {
            for (const int signal : signals) {
                PidfdSignal(pidfd, signal);
            }
        }
        ::close(pidfd);
    }
}

// What the runner learnt of a command while it ran.
struct Followed {
    pid_t Group = 0;                        // the shell's process group, once started
    std::optional<int> ShellStatus;         // the shell's wait status, once it ended
    std::optional<std::string> NotStarted;  // why the shell could not start
    bool TimedOut = false;                  // it was ended at its limit (or a hurried end)
    std::string Failure;                    // why it could no longer be followed
};

// Reads what the command wrote, keeping the last `limit` bytes; read()'s result.
ssize_t TakeOutput(int fd, std::string& output, size_t limit) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
        output.append(buffer, static_cast<size_t>(got));
        KeepTail(output, limit);
    }
    return got;
}

// Waits for the reaper, which has ended or is ending, and tells how the command ended. Without a wait
// status of its own the command has failed: it is never taken for "exit 0".
void Conclude(pid_t reaper, const Followed& followed, CommandResult& result) {
    int reaperStatus = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(reaper, &reaperStatus, 0)) < 0 && errno == EINTR) {
    }
    const int waitError = errno;
    if (followed.NotStarted) {
        result.Outcome = CommandResult::Kind::NotStarted;
        result.Reason = *followed.NotStarted;
    } else if (!followed.Failure.empty() || reaped < 0) {
        result.Outcome = CommandResult::Kind::Failed;
        result.Reason = followed.Failure.empty() ? SystemErrorText(waitError) : followed.Failure;
    } else if (followed.TimedOut) {
        result.Outcome = CommandResult::Kind::TimedOut;
    } else if (!followed.ShellStatus) {
        // The reaper was ended from outside before the shell: the command's group may still run.
        SignalTree(reaper, followed.Group, {SIGKILL});
        result.Outcome = CommandResult::Kind::Failed;
        result.Reason =
            std::string("ｺﾏﾝﾄﾞを見届けられません (") +
            (WIFSIGNALED(reaperStatus) ? "ｼｸﾞﾅﾙ " + std::to_string(WTERMSIG(reaperStatus))
                                       : "終了ｺｰﾄﾞ " + std::to_string(WEXITSTATUS(reaperStatus))) +
            ")";
    } else if (WIFSIGNALED(*followed.ShellStatus)) {
        result.Outcome = CommandResult::Kind::Signalled;
        result.Status = WTERMSIG(*followed.ShellStatus);
    } else {
        result.Outcome = CommandResult::Kind::Exited;
        result.Status = WEXITSTATUS(*followed.ShellStatus);
    }
}

}  // namespace

struct CommandRunner::Started {
    pid_t Reaper = -1;
    Fd Output;  // the read end of the output pipe (non-blocking)
    Fd Report;  // the read end of the report pipe
};

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
    Started started;
    CommandResult result;
    if (!Start(job, started, result.Reason)) {
        return result;
    }
    return Supervise(started);
}

bool CommandRunner::Start(const CommandJob& job, Started& started, std::string& why) {
    int outputFds[2];
    int reportFds[2];
    if (::pipe2(outputFds, O_CLOEXEC) != 0) {
        why = SystemErrorText(errno);
        return false;
    }
    started.Output.Reset(outputFds[0]);
    Fd outputWrite(outputFds[1]);
    if (::pipe2(reportFds, O_CLOEXEC) != 0) {
        why = SystemErrorText(errno);
        return false;
    }
    started.Report.Reset(reportFds[0]);
    Fd reportWrite(reportFds[1]);
    // Only the program's end waits without blocking: the command writes to a blocking pipe.
    if (::fcntl(started.Output.get(), F_SETFL, O_NONBLOCK) != 0) {
        why = SystemErrorText(errno);
        return false;
    }

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
    const ReaperPlan plan{job.Folder.c_str(), argv, envp.data(), outputWrite.get(), reportWrite.get()};

    started.Reaper = ::_Fork();
    if (started.Reaper < 0) {
        why = SystemErrorText(errno);
        return false;
    }
    if (started.Reaper == 0) {
        RunReaper(plan);
    }
    return true;
}

CommandResult CommandRunner::Supervise(Started& started) {
    using Clock = std::chrono::steady_clock;
    CommandResult result;
    Followed followed;
    const Clock::time_point limit = Clock::now() + limits_.Run;
    std::optional<Clock::time_point> killAt;  // set once the tree has had its SIGTERM
    bool killing = false;
    bool outputOpen = true;
    std::string report;  // the bytes of a message not yet whole
    auto endTree = [&](std::chrono::milliseconds grace) {
        // SIGCONT too: a stopped process would never act on its SIGTERM.
        SignalTree(started.Reaper, followed.Group, {SIGTERM, SIGCONT});
        killAt = Clock::now() + grace;
    };
    for (;;) {
        const Clock::time_point now = Clock::now();
        const auto hurry = HurryDeadline();
        const Clock::time_point deadline = hurry ? std::min(limit, *hurry) : limit;
        if (!killAt && now >= deadline) {
            followed.TimedOut = true;
            endTree(hurry && *hurry <= limit ? kHurriedKillAfter : limits_.KillAfter);
        } else if (killAt && hurry) {
            killAt = std::min(*killAt, *hurry + kHurriedKillAfter);  // a hurried end waits no longer
        }
        if (killAt && now >= *killAt) {
            // Repeated until the reaper is gone: a process may fork once more before its SIGKILL lands.
            SignalTree(started.Reaper, followed.Group, {SIGKILL});
            killing = true;
        }
        const Clock::time_point next =
            killing ? now + std::chrono::milliseconds(kPollSliceMs) : killAt.value_or(deadline);
        const int wait = static_cast<int>(std::clamp<int64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1, 1, 1000));
        pollfd pollers[2] = {{started.Report.get(), POLLIN, 0}, {started.Output.get(), POLLIN, 0}};
        if (::poll(pollers, outputOpen ? 2 : 1, wait) < 0) {
            if (errno == EINTR) {
                continue;
            }
            followed.Failure = SystemErrorText(errno);  // no longer followed: the tree goes at once
            SignalTree(started.Reaper, followed.Group, {SIGKILL});
            break;
        }
        if (outputOpen && pollers[1].revents != 0) {
            const ssize_t got = TakeOutput(started.Output.get(), result.Output, limits_.OutputLimit);
            outputOpen = got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
        }
        if (pollers[0].revents == 0) {
            continue;
        }
        char buffer[512];
        const ssize_t got = ::read(started.Report.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // the reaper has ended, so nothing is left below it
        }
        report.append(buffer, static_cast<size_t>(got));
        for (; report.size() >= sizeof(ReaperMessage); report.erase(0, sizeof(ReaperMessage))) {
            ReaperMessage message{};
            std::memcpy(&message, report.data(), sizeof message);
            if (message.Kind == ReaperMessage::CouldNotStart && !followed.NotStarted) {
                followed.NotStarted = SystemErrorText(message.Value);
            } else if (message.Kind == ReaperMessage::ShellStarted) {
                followed.Group = message.Value;
            } else if (message.Kind == ReaperMessage::ShellEnded && !followed.ShellStatus) {
                followed.ShellStatus = message.Value;
                if (!killAt) {
                    endTree(limits_.KillAfter);  // whatever the shell leaves behind ends with it
                }
            }
        }
    }
    // What it wrote last before it ended (a process outside the tree that holds the pipe is not waited
    // for).
    while (outputOpen && TakeOutput(started.Output.get(), result.Output, limits_.OutputLimit) > 0) {
    }
    Conclude(started.Reaper, followed, result);
    return result;
}
