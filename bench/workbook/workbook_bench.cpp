// Times the workbook store of one format on a full upload (32,767 records of 20 fields): a new book, and a
// book of 10,000 rows extended below its rows; each store runs in a child process of its own, so its peak
// memory is its own. Then LibreOffice headless converting the same data from CSV to that format, for
// comparison. Run it for both formats to compare them (the .xlsx store is held to at most 1.5 times the
// .xls store's time for a new book, and under 100 MB).
//
//   bench_workbook xls|xlsx [ROUNDS]      3 rounds unless given
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "bench_view.h"
#include "codec/text_encoding.h"
#include "stores/store_table.h"

namespace {

constexpr int kRecords = 32767;

std::string Record(int i) {
    std::string line = "T01," + std::to_string(i);
    for (int f = 3; f <= 20; ++f) {
        line += f % 3 == 0   ? ",商品" + std::to_string(i % 997)
                : f % 3 == 1 ? ",ｶﾅ" + std::to_string(f)
                             : "," + std::to_string(i * f);
    }
    return line;
}

void WriteLines(const std::string& path, int count, bool cp932) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < count; ++i) {
        out << (cp932 ? Utf8ToCp932(Record(i)) : Record(i)) << "\r\n";
    }
}

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Figures {
    bool Ok = false;
    double Wall = 0, Cpu = 0;
    long PeakKiB = 0;
};

// Runs `store` in a child process: its wall and CPU time and the child's peak resident memory.
Figures InChild(const std::function<bool()>& store) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const double wall = Now(), cpu = CpuSeconds();
        double out[3] = {0, 0, 0};
        out[0] = store() ? 1 : 0;
        out[1] = Now() - wall;
        out[2] = CpuSeconds() - cpu;
        (void)!write(fds[1], out, sizeof out);
        _exit(0);
    }
    close(fds[1]);
    double in[3] = {0, 0, 0};
    const bool got = read(fds[0], in, sizeof in) == static_cast<ssize_t>(sizeof in);
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return {got && in[0] == 1, in[1], in[2], usage.ru_maxrss};
}

}  // namespace

int main(int argc, char** argv) {
    const std::string format = argc > 1 ? argv[1] : "";
    if (format != "xls" && format != "xlsx") {
        std::fprintf(stderr, "usage: bench_workbook xls|xlsx [ROUNDS]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const std::string extension = "." + format;
    std::string base = (std::filesystem::temp_directory_path() / "gathra-workbook-bench-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        return 1;
    }
    SettingsRecord settings;
    settings.SaveFolder = base;
    settings.BackFilePath = base + "/Back.txt";
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = format == "xlsx" ? kXlsTypeXlsx : 1;
    settings.SelectedFields.fill(1);
    settings.XlsF1 = 1;
    RunState run;
    BenchView view(true);

    // The book to extend: 10,000 rows, made once and copied before each round.
    WriteLines(settings.BackFilePath, 10000, true);
    settings.XlsStartLine = 1;
    run.OutputPath = base + "/rows10000" + extension;
    if (!StoreFor(settings)->Save(settings, run, view)) {
        return 1;
    }
    WriteLines(settings.BackFilePath, kRecords, true);

    auto store = [&](int32_t startLine, const std::string& path) {
        return InChild([&, startLine, path] {
            settings.XlsStartLine = startLine;
            run.OutputPath = path;
            return StoreFor(settings)->Save(settings, run, view);
        });
    };
    bool allOk = true;
    std::printf("%s: %d records x 20 fields; wall and CPU seconds, peak resident memory of the store\n",
                extension.c_str(), kRecords);
    for (int r = 1; r <= rounds; ++r) {
        std::filesystem::remove(base + "/new" + extension);
        std::filesystem::copy_file(base + "/rows10000" + extension, base + "/extended" + extension,
                                   std::filesystem::copy_options::overwrite_existing);
        const Figures fresh = store(1, base + "/new" + extension);
        const Figures extended = store(0, base + "/extended" + extension);
        allOk = allOk && fresh.Ok && extended.Ok;
        const auto line = [](const char* what, const Figures& f, const std::string& path) {
            std::printf("  %-30s %6.2f s, CPU %6.2f s, peak %4ld MB, %9ju bytes%s\n", what, f.Wall, f.Cpu,
                        f.PeakKiB / 1024, static_cast<uintmax_t>(std::filesystem::file_size(path)),
                        f.Ok ? "" : " FAILED");
        };
        std::printf("round %d\n", r);
        line("new book", fresh, base + "/new" + extension);
        line("10,000-row book extended", extended, base + "/extended" + extension);
        std::printf("  extended / new:  wall %.2f, CPU %.2f\n", extended.Wall / fresh.Wall,
                    extended.Cpu / fresh.Cpu);
    }

    if (std::system("command -v soffice >/dev/null 2>&1") == 0) {
        WriteLines(base + "/data.csv", kRecords, false);
        WriteLines(base + "/warm.csv", 2, false);
        const std::string soffice = "soffice -env:UserInstallation=file://" + base +
                                    "/profile --headless --norestore --convert-to " + format + " --outdir " +
                                    base + "/lo ";
        double start = Now();
        int rc = std::system((soffice + base + "/warm.csv >/dev/null 2>&1").c_str());
        const double warm = Now() - start;
        start = Now();
        rc |= std::system((soffice + base + "/data.csv >/dev/null 2>&1").c_str());
        const double lo = Now() - start;
        std::printf("LibreOffice headless, 2-line CSV to %s (start-up cost): %.2f s\n", extension.c_str(),
                    warm);
        std::printf("LibreOffice headless, the same records CSV to %s:      %.2f s (%s)\n", extension.c_str(),
                    lo, rc == 0 ? "ok" : "FAILED");
    } else {
        std::printf("LibreOffice not installed: no comparison\n");
    }
    std::filesystem::remove_all(base);
    return allOk ? 0 : 1;
}
