// Times SaveAsXls on a full upload (32,767 records of 20 fields) into a new workbook and into an
// existing 10,000-row workbook, beside LibreOffice headless converting the same data from CSV.
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_view.h"
#include "codec/text_encoding.h"
#include "run/operator_view.h"
#include "stores/store_table.h"
#include "support/temp_folder.h"

namespace {

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

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// CPU seconds of this process so far: on a shared machine the wall time includes waiting for a core.
double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

// With the argument "new" only the new-workbook case runs (for profilers); a second argument names
// a file to keep the workbook in (to compare the bytes of two builds).
int main(int argc, char** argv) {
    const bool onlyNew = argc > 1 && std::string(argv[1]) == "new";
    const TempFolder temp;
    if (!temp.Valid()) {
        return 1;
    }
    const std::string& base = temp.Path();
    const int records = 32767;
    SettingsRecord settings;
    settings.SaveFolder = base;
    settings.BackFilePath = base + "/Back.txt";
    settings.SelectedFields.fill(1);
    settings.SaveFormat = kSaveFormatXls;
    settings.XlsType = 1;
    settings.XlsF1 = 1;
    settings.XlsStartLine = 1;
    RunState run;
    BenchView view(true);

    WriteLines(settings.BackFilePath, records, true);
    run.OutputPath = base + "/new.xls";
    auto start = std::chrono::steady_clock::now();
    double cpuStart = CpuSeconds();
    const bool okNew = StoreFor(settings)->Save(settings, run, view);
    const double tNew = Seconds(start);
    const double cpuNew = CpuSeconds() - cpuStart;
    if (onlyNew) {
        std::printf("SaveAsXls, %d records x 20 fields, new workbook: %.3f s, CPU %.3f s (%s)\n", records,
                    tNew, cpuNew, okNew ? "ok" : "FAILED");
        if (argc > 2) {
            std::filesystem::copy_file(run.OutputPath, argv[2],
                                       std::filesystem::copy_options::overwrite_existing);
        }
        return okNew ? 0 : 1;
    }

    WriteLines(settings.BackFilePath, 10000, true);
    run.OutputPath = base + "/existing.xls";
    StoreFor(settings)->Save(settings, run, view);
    WriteLines(settings.BackFilePath, records, true);
    settings.XlsStartLine = 0;
    start = std::chrono::steady_clock::now();
    cpuStart = CpuSeconds();
    const bool okExisting = StoreFor(settings)->Save(settings, run, view);
    const double tExisting = Seconds(start);
    const double cpuExisting = CpuSeconds() - cpuStart;

    std::printf(
        "SaveAsXls, %d records x 20 fields, new workbook:           %.2f s, CPU %.2f s (%s, %ju bytes)\n",
        records, tNew, cpuNew, okNew ? "ok" : "FAILED",
        static_cast<uintmax_t>(std::filesystem::file_size(base + "/new.xls")));
    std::printf(
        "SaveAsXls, %d records x 20 fields, after 10,000 rows:      %.2f s, CPU %.2f s (%s, %ju bytes)\n",
        records, tExisting, cpuExisting, okExisting ? "ok" : "FAILED",
        static_cast<uintmax_t>(std::filesystem::file_size(base + "/existing.xls")));

    if (std::system("command -v soffice >/dev/null 2>&1") == 0) {
        WriteLines(base + "/data.csv", records, false);
        WriteLines(base + "/warm.csv", 2, false);
        const std::string soffice = "soffice -env:UserInstallation=file://" + base +
                                    "/profile --headless --norestore --convert-to xls --outdir " + base +
                                    "/lo ";
        start = std::chrono::steady_clock::now();
        int rc = std::system((soffice + base + "/warm.csv >/dev/null 2>&1").c_str());
        const double tWarm = Seconds(start);
        start = std::chrono::steady_clock::now();
        rc |= std::system((soffice + base + "/data.csv >/dev/null 2>&1").c_str());
        const double tLo = Seconds(start);
        std::printf("LibreOffice headless, 2-line CSV to .xls (start-up cost):   %.2f s\n", tWarm);
        std::printf("LibreOffice headless, same %d records CSV to .xls:       %.2f s (%s)\n", records, tLo,
                    rc == 0 ? "ok" : "FAILED");
    } else {
        std::printf("LibreOffice not installed: no comparison\n");
    }
    return 0;
}
