#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "temp_folder.h"

// How a forked child ended, and what it handed back.
struct ChildEnd {
    bool Exited = false;  // ended by exiting rather than by a signal
    int ExitCode = -1;
    int Signal = 0;
    std::string Output;  // what the child's function left in its `output` argument

    // Empty when the child exited with 0, otherwise how it ended ("exit 2", "signal 9").
    std::string Failure() const;
};

// Runs `fn` in a forked child (for what must not touch the test process: dropping privileges, a mount
// namespace, a memory limit) and waits for it. `fn`'s result is the child's exit code; the text it leaves
// in `output` comes back in ChildEnd::Output. The child leaves with _exit, so none of the test's own
// clean-up runs twice. A child that cannot be forked is reported as exiting with -1.
ChildEnd RunInChild(const std::function<int(std::string& output)>& fn);

// A program run by a test. Standard output and standard error go to files of its own, so the program
// never waits for the test to read them. One still running when the object goes is stopped.
class ChildProcess {
public:
    struct Options {
        std::string WorkingFolder;    // empty: the test's own
        std::string Input;            // standard input; empty: /dev/null
        int OutputFd = -1;            // when given, standard output goes here instead of the file
        bool ErrorsToOutput = false;  // standard error joins standard output
        bool OwnGroup = false;        // the program leads a process group; Signal and Stop reach all of it
    };

    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] (looked up in PATH when it holds no "/") with the rest as its arguments, signals
    // unblocked. False when it could not be started.
    bool Start(const std::vector<std::string>& argv, const Options& options);
    bool Start(const std::vector<std::string>& argv) { return Start(argv, Options()); }

    // Waits at most `limit` for the end: the exit code, -100 - the signal number when a signal ended it,
    // -1 while it still runs (and when it never started).
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Whether the program has ended (its exit code is then Wait()'s).
    bool Ended();

    void Signal(int number) const;
    // Asks the program to end (SIGTERM), and kills it when it has not ended after `grace`.
    void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    // Waits at most `limit` until standard output holds `text`.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds limit) const;
    // The next line of standard output, without its newline: waits at most `limit` for it to be complete.
    // After the end, the rest of the output; "" when there is none (or at the limit).
    std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(30));

    pid_t Pid() const { return pid_; }
    std::string Output() const;  // standard output so far
    std::string Errors() const;  // standard error so far
    // The program's peak resident memory in KiB, once Wait or Ended saw it end.
    long PeakKb() const { return peakKb_; }

private:
    TempFolder logs_;
    pid_t pid_ = -1;
    bool ownGroup_ = false;
    int exitCode_ = -1;
    size_t readOffset_ = 0;
    long peakKb_ = 0;
};

// What Spawn found.
struct SpawnResult {
    int ExitCode = -1;  // as ChildProcess::Wait: -1 when the program did not end in time (it is then killed)
    std::string Output;
    std::string Errors;
};

// Runs a program to its end (at most `limit`) and returns its exit code and what it printed.
SpawnResult Spawn(const std::vector<std::string>& argv, const ChildProcess::Options& options = {},
                  std::chrono::milliseconds limit = std::chrono::seconds(60));

// A TCP port on 127.0.0.1 that nothing listens on at the moment of the call.
int FreePort();
