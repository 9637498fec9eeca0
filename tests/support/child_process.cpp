#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - WTERMSIG(status);
}

}  // namespace

std::string ChildEnd::Failure() const {
    if (!Exited) {
        return "signal " + std::to_string(Signal);
    }
    return ExitCode == 0 ? std::string() : "exit " + std::to_string(ExitCode);
}

ChildEnd RunInChild(const std::function<int(std::string& output)>& fn) {
    ChildEnd end;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        end.Exited = true;
        return end;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string output;
        const int code = fn(output);
        for (size_t done = 0; done < output.size();) {
            const ssize_t n = ::write(fds[1], output.data() + done, output.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<size_t>(n);
        }
        ::_exit(code);
    }
    ::close(fds[1]);
    char buffer[4096];
    for (ssize_t got; pid > 0 && (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        end.Output.append(buffer, static_cast<size_t>(got));
    }
    ::close(fds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        end.Exited = true;
        return end;
    }
    end.Exited = WIFEXITED(status);
    end.ExitCode = end.Exited ? WEXITSTATUS(status) : -1;
    end.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return end;
}

ChildProcess::~ChildProcess() {
    Stop(std::chrono::seconds(5));
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const Options& options) {
    if (pid_ > 0 || argv.empty() || !logs_.Valid()) {
        return false;
    }
    exitCode_ = -1;
    readOffset_ = 0;
    ownGroup_ = options.OwnGroup;
    const std::string outPath = logs_ / "stdout";
    const std::string errPath = logs_ / "stderr";
    const std::string inPath = options.Input.empty() ? "/dev/null" : logs_ / "stdin";
    if (!options.Input.empty()) {
        std::ofstream(inPath, std::ios::binary) << options.Input;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> pointers;
    for (std::string& arg : args) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (options.OwnGroup) {
            ::setpgid(0, 0);
        }
        const int in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC);
        const int out = options.OutputFd >= 0
                            ? options.OutputFd
                            : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = options.ErrorsToOutput
                            ? out
                            : ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
            ::dup2(err, STDERR_FILENO) < 0 ||
            (!options.WorkingFolder.empty() && ::chdir(options.WorkingFolder.c_str()) != 0)) {
            ::_exit(127);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(pointers[0], pointers.data());
        ::_exit(127);
    }
    if (options.OwnGroup) {
        ::setpgid(pid, pid);
    }
    pid_ = pid;
    return true;
}

bool ChildProcess::Ended() {
    if (pid_ <= 0) {
        return true;
    }
    int status = 0;
    struct rusage usage {};
    if (::wait4(pid_, &status, WNOHANG, &usage) != pid_) {
        return false;
    }
    peakKb_ = usage.ru_maxrss;
    pid_ = -1;
    exitCode_ = ExitCodeOf(status);
    return true;
}

int ChildProcess::Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!Ended()) {
        if (Clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitCode_;
}

void ChildProcess::Signal(int number) const {
    if (pid_ > 0) {
        ::kill(ownGroup_ ? -pid_ : pid_, number);
    }
}

void ChildProcess::Stop(std::chrono::milliseconds grace) {
    if (Ended()) {
        return;
    }
    Signal(SIGTERM);
    if (Wait(grace) == -1 && pid_ > 0) {
        Signal(SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        exitCode_ = ExitCodeOf(status);
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const {
    const auto deadline = Clock::now() + limit;
    while (Output().find(text) == std::string::npos) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (true) {
        // Whether the program had ended before the output is read: then nothing more can come.
        const bool ended = Ended();
        const std::string output = Output();
        const size_t newline = output.find('\n', readOffset_);
        if (newline != std::string::npos || ended) {
            const size_t end = newline != std::string::npos ? newline : output.size();
            std::string line = output.substr(std::min(readOffset_, end), end - std::min(readOffset_, end));
            readOffset_ = std::min(output.size(), end + 1);
            return line;
        }
        if (Clock::now() >= deadline) {
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ChildProcess::Output() const {
    return ReadWhole(logs_ / "stdout");
}

std::string ChildProcess::Errors() const {
    return ReadWhole(logs_ / "stderr");
}

SpawnResult Spawn(const std::vector<std::string>& argv, const ChildProcess::Options& options,
                  std::chrono::milliseconds limit) {
    ChildProcess child;
    SpawnResult result;
    if (child.Start(argv, options)) {
        result.ExitCode = child.Wait(limit);
        if (result.ExitCode == -1) {
            child.Stop(std::chrono::seconds(1));
        }
    }
    result.Output = child.Output();
    result.Errors = child.Errors();
    return result;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}
