// The cost of the durable end of one upload: everything between the terminal's "END" and the final "ACK"
// that makes the upload survive a power cut (fdatasync of Back.txt and LOG.TXT, the synced write and
// rename of the text output, the folder syncs), measured against the same work with every sync skipped.
// Run on a tmpfs the benchmark mounts (or /dev/shm when it may not mount) and on the build folder's disk.
//
//   bench_durable [records per upload (default 1000)] [uploads per run (default 20)] [runs (default 3)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_view.h"
#include "common/file_ops.h"
#include "output/text/text_store.h"
#include "support/small_tmpfs.h"
#include "support/temp_folder.h"
#include "upload/upload_files.h"

namespace {

using Clock = std::chrono::steady_clock;

// The same calls with every sync left out: what the upload cost before it was made durable.
class NoSyncFileOps : public FileOperations {
public:
    int DataSync(int) override { return 0; }
    int Sync(int) override { return 0; }
};

struct Timing {
    double filesSync = 0;  // Back.txt and LOG.TXT, in ms
    double store = 0;      // SaveAsText, in ms
};

// One upload's files from the record phase on: Back.txt and LOG.TXT written line by line, then synced,
// then the text output stored (replaced when `overwrite`).
Timing OneUpload(const std::string& folder, int records, bool overwrite) {
    FileError error;
    LineFile backup;
    LineFile log;
    backup.OpenForWriting(folder + "/Back.txt", error);
    log.OpenForWriting(folder + "/" + kLogFileName, error);
    const PcDateTime now{2024, 1, 2, 9, 5, 7};
    for (int i = 0; i < records; ++i) {
        const std::string record =
            "4901234567894," + std::to_string(i) + ",12,2024/01/02,shelf-" + std::to_string(i % 50);
        log.WriteLine(FormatLogLine(now, static_cast<int16_t>(i), record), error);
        backup.WriteLine(record, error);
    }
    Timing timing;
    const auto synced = Clock::now();
    bool ok = backup.Sync(error);
    log.Sync(error);
    backup.Close();
    log.Close();
    const auto stored = Clock::now();
    SettingsRecord settings;
    settings.BackFilePath = folder + "/Back.txt";
    settings.OverWrite = overwrite ? 1 : 0;
    settings.SelectedFields.fill(1);
    RunState run;
    run.OutputPath = folder + "/T01.txt";
    BenchView view;
    ok = TextStore().Save(settings, run, view) && ok;
    const auto done = Clock::now();
    if (!ok) {
        std::fprintf(stderr, "an upload failed in %s\n", folder.c_str());
        std::exit(1);
    }
    timing.filesSync = std::chrono::duration<double, std::milli>(stored - synced).count();
    timing.store = std::chrono::duration<double, std::milli>(done - stored).count();
    return timing;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Several runs of `uploads` uploads each, with and without the syncs; prints the median per upload.
void Measure(const std::string& where, const std::string& folder, int records, int uploads, int runs) {
    std::printf("%s (%s), %d records per upload:\n", where.c_str(), folder.c_str(), records);
    for (const bool overwrite : {true, false}) {
        for (int r = 1; r <= runs; ++r) {
            std::vector<double> durable;
            std::vector<double> plain;
            std::vector<double> filesSync;
            std::filesystem::remove(folder + "/T01.txt");
            for (int u = 0; u < uploads; ++u) {
                // Alternate, so both see the same state of the disk and the page cache.
                const Timing synced = OneUpload(folder, records, overwrite);
                durable.push_back(synced.filesSync + synced.store);
                filesSync.push_back(synced.filesSync);
                NoSyncFileOps noSync;
                ScopedFileOps skip(noSync);
                const Timing unsynced = OneUpload(folder, records, overwrite);
                plain.push_back(unsynced.filesSync + unsynced.store);
            }
            const double cost = Median(durable) - Median(plain);
            std::printf(
                "  %-9s run %d: end of upload %7.3f ms durable, %7.3f ms without syncs: "
                "the durable end costs %7.3f ms (Back.txt+LOG.TXT sync %7.3f ms)\n",
                overwrite ? "overwrite" : "append", r, Median(durable), Median(plain), cost,
                Median(filesSync));
        }
    }
    std::filesystem::remove(folder + "/T01.txt");
    std::filesystem::remove(folder + "/Back.txt");
    std::filesystem::remove(folder + "/" + kLogFileName);
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int uploads = argc > 2 ? std::atoi(argv[2]) : 20;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 3;

    {
        // A tmpfs of our own, so the figures do not depend on what else lives in /dev/shm.
        TempFolder folder;
        SmallTmpfs tmpfs;
        const bool mounted = folder.Valid() && tmpfs.Mount(folder.Path(), 64 << 20).empty();
        Measure(mounted ? "tmpfs" : "tmpfs (/dev/shm: could not mount one)",
                mounted ? folder.Path() : "/dev/shm", records, uploads, runs);
    }

    const TempFolder disk(GATHRA_BUILD_DIR);
    if (!disk.Valid()) {
        std::perror("mkdtemp in the build folder");
        return 1;
    }
    Measure("build folder's disk", disk.Path(), records, uploads, runs);
    return 0;
}
