#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A child program run by a test: standard output and standard error go to files in `logFolder`, so the
// child never waits for the test to read them. A child still running when the object goes is killed.
class CollectProcess {
public:
    CollectProcess() = default;
    ~CollectProcess();
    CollectProcess(const CollectProcess&) = delete;
    CollectProcess& operator=(const CollectProcess&) = delete;

    // Starts `program` with `args` in the working folder `cwd`. False when it could not be started.
    // With `outFd` given, standard output is that descriptor instead of the file.
    bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
               const std::string& logFolder, int outFd = -1);

    // Waits at most `timeoutMs` for the end. The exit code, or -1 when it did not end (or was killed by a
    // signal: then -100 - the signal number).
    int Wait(int timeoutMs);

    // Waits at most `timeoutMs` until standard output holds `text`.
    bool WaitForOutput(const std::string& text, int timeoutMs) const;

    void Signal(int number) const;
    std::string Output() const;  // standard output so far
    std::string Errors() const;  // standard error so far

private:
    pid_t pid_ = -1;
    std::string outPath_;
    std::string errPath_;
};
