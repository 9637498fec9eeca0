// What the upload journal costs.
//
// 1. Writing one entry (UploadJournal::Add, synced) against one sync of the journal's write-ahead log
//    alone (a page appended and fdatasync'd), on a tmpfs the benchmark mounts (or /dev/shm) and on the
//    build folder's disk, the one bench_durable uses.
// 2. `gathra-collect --history --csv` on a journal of 100,000 entries, standard output to /dev/null.
//
//   bench_journal [entries per run (default 200)] [runs (default 3)]
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "journal_fill.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

UploadResult SampleReport(int i) {
    UploadResult report;
    report.Started = std::chrono::system_clock::now();
    report.Ended = report.Started + std::chrono::seconds(3);
    report.Port = 1;
    report.TerminalId = "T" + std::to_string(i % 20);
    report.RecordsAnnounced = report.RecordsStored = 250;
    report.Format = "text";
    report.Output = "/home/operator/データ/" + report.TerminalId + ".txt";
    report.Outcome = UploadOutcome::Stored;
    report.Answer = FinalAnswer::Ack;
    report.Store = StoreState::Committed;
    return report;
}

// Mean ms of one journal entry, and of one 4 KiB append + fdatasync of a file in the same folder.
void MeasureWrites(const char* where, const std::string& folder, int entries, int runs) {
    for (int run = 1; run <= runs; ++run) {
        const std::string path = folder + "/" + UploadJournal::kFileName;
        std::filesystem::remove(path);
        std::filesystem::remove(path + "-wal");
        std::filesystem::remove(path + "-shm");
        UploadJournal journal(path);
        journal.OpenForWriting();
        journal.Add(SampleReport(0));  // the write-ahead log exists from here on
        auto start = Clock::now();
        for (int i = 0; i < entries; ++i) {
            journal.Add(SampleReport(i));
        }
        const double entry = Ms(Clock::now() - start) / entries;

        const int fd =
            ::open((folder + "/sync-probe").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const std::string page(4096, 'x');
        start = Clock::now();
        for (int i = 0; i < entries; ++i) {
            if (::write(fd, page.data(), page.size()) < 0 || ::fdatasync(fd) != 0) {
                break;
            }
        }
        const double sync = Ms(Clock::now() - start) / entries;
        ::close(fd);
        std::filesystem::remove(folder + "/sync-probe");
        std::printf("%-8s run %d: entry %.3f ms, one sync %.3f ms, entry beyond the sync %.3f ms\n", where,
                    run, entry, sync, entry - sync);
    }
}

// Wall time of `gathra-collect --history --csv` beside a journal of 100,000 entries.
void MeasureHistory(int runs) {
    char pattern[] = "/tmp/bench-history-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    std::filesystem::copy_file(std::string(GATHRA_BIN_DIR) + "/gathra-collect", folder + "/gathra-collect");
    if (!FillJournal(UploadJournal::PathIn(folder), 100000)) {
        std::printf("history: could not fill the journal\n");
        return;
    }
    for (int run = 1; run <= runs; ++run) {
        const auto start = Clock::now();
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            const std::string program = folder + "/gathra-collect";
            ::execl(program.c_str(), program.c_str(), "--history", "--csv", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int status = 0;
        rusage usage{};
        ::wait4(pid, &status, 0, &usage);
        // The machine may be shared: the processor time the program used is given beside the wall time.
        const double cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
        std::printf("--history --csv, 100,000 entries, run %d: %.1f ms wall, %.1f ms processor (exit %d)\n",
                    run, Ms(Clock::now() - start), cpu, WEXITSTATUS(status));
    }
    std::filesystem::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
    const int entries = argc > 1 ? std::atoi(argv[1]) : 200;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;

    char tmpfsPattern[] = "/tmp/bench-journal-tmpfs-XXXXXX";
    const std::string tmpfs = ::mkdtemp(tmpfsPattern);
    const bool mounted = ::mount("gathra-bench", tmpfs.c_str(), "tmpfs", 0, "size=64m") == 0;
    MeasureWrites(mounted ? "tmpfs" : "/dev/shm", mounted ? tmpfs : "/dev/shm", entries, runs);
    if (mounted) {
        ::umount(tmpfs.c_str());
    }
    std::filesystem::remove(tmpfs);

    char diskPattern[] = GATHRA_BUILD_DIR "/bench-journal-XXXXXX";
    const std::string disk = ::mkdtemp(diskPattern);
    MeasureWrites("disk", disk, entries, runs);
    std::filesystem::remove_all(disk);

    MeasureHistory(runs);
    return 0;
}
