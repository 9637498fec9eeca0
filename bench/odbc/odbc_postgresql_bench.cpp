// Stores the largest upload a terminal can send (32,767 records of 20 fields) into PostgreSQL with
// SaveToDatabase through the ODBC driver, and loads the same data as CSV with psql's \copy, in the same run
// against the same server, and prints both times and their ratio. The server is started for the run
// by tests/odbc/db_servers.sh (an unprivileged user, data in a temporary folder, a Unix socket).
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_view.h"
#include "codec/text_encoding.h"
#include "output/database/odbc_table_writer.h"
#include "output/database/save_to_database.h"
#include "output/database/server_database.h"
#include "stores/store_table.h"
#include "support/child_process.h"

namespace {

constexpr int kRecords = 32767;
constexpr int kRuns = 5;
constexpr const char* kPassword = "bench-pw";

// Record i: 18 ASCII fields and 2 fields with half-width katakana and kanji (CP932).
std::string Record(int i) {
    std::string line;
    for (int k = 1; k <= 20; ++k) {
        if (k > 1) {
            line += ',';
        }
        if (k == 5) {
            line += "\xBC\xAE\xB3\xCB\xDD";  // ｼｮｳﾋﾝ
        } else if (k == 12) {
            line += "\x93\xFA\x96\x7B";  // 日本
        }
        line += std::to_string(i * 20 + k);
    }
    return line;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main() {
    const char* source = std::getenv("GATHRA_SOURCE_DIR");
    const std::string script =
        std::string(source != nullptr ? source : GATHRA_SOURCE_DIR_DEFAULT) + "/tests/odbc/db_servers.sh";
    const TempFolder temp;
    if (!temp.Valid()) {
        return 1;
    }
    const std::string& folder = temp.Path();
    chmod(folder.c_str(), 0755);
    const int port = FreePort();
    std::ofstream(folder + "/password") << kPassword;
    std::ofstream(folder + "/odbcinst.ini")
        << "[PostgreSQL Unicode]\nDriver=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so\n";
    setenv("ODBCSYSINI", folder.c_str(), 1);
    setenv("GATHRA_WATCH_PID", std::to_string(getpid()).c_str(), 1);
    const std::string start = script + " pg-start " + folder + " " + std::to_string(port) + " " + kPassword;
    if (std::system(start.c_str()) != 0) {
        std::fprintf(stderr, "PostgreSQL did not start (see %s/pg.log)\n", folder.c_str());
        return 1;
    }
    const std::string sql = script + " pg-sql " + folder + " " + std::to_string(port);
    const auto Pg = [&](const std::string& text) {
        ChildProcess::Options options;
        options.Input = text;
        std::string output = Spawn({"/bin/sh", "-c", sql}, options).Output;
        while (output.ends_with('\n')) {
            output.pop_back();
        }
        return output;
    };

    SettingsRecord settings;
    settings.SaveFormat = kSaveFormatMdb;
    settings.SelectedFields.fill(1);
    settings.BackFilePath = folder + "/Back.txt";
    settings.DbConnect = "Driver={PostgreSQL Unicode};Servername=" + folder +
                         ";Port=" + std::to_string(port) + ";Database=gathra;UID=gathra;PWD=" + kPassword;
    if (const char* extra = std::getenv("BENCH_ODBC_OPTIONS")) {
        settings.DbConnect += std::string(";") + extra;
    }
    {
        std::ofstream backup(settings.BackFilePath, std::ios::binary);
        std::ofstream csv(folder + "/data.csv", std::ios::binary);
        for (int i = 1; i <= kRecords; ++i) {
            const std::string record = Record(i);
            backup << record << "\r\n";
            csv << Cp932ToUtf8(record) << "\n";
        }
    }
    std::string columns;
    for (int n = 1; n <= 20; ++n) {
        columns += (n > 1 ? ", \"F" : "\"F") + std::to_string(n) + "\" text";
    }
    Pg("CREATE TABLE odbc_rows (" + columns + "); CREATE TABLE copy_rows (" + columns + ");");

    std::printf("records of 20 fields: %d, rows per group sent: %zu, rows per INSERT from arrays: %zu\n",
                kRecords, OdbcTableWriter::kDefaultRowsPerGroup, OdbcTableWriter::kArrayRows);
    bool ok = true;
    std::vector<double> ratios;
    for (int runIndex = 1; runIndex <= kRuns; ++runIndex) {
        Pg("TRUNCATE odbc_rows; TRUNCATE copy_rows; CHECKPOINT;");
        RunState run;
        run.TableName = "odbc_rows";
        BenchView view(true);
        rusage before{};
        getrusage(RUSAGE_SELF, &before);
        auto begin = std::chrono::steady_clock::now();
        const bool saved = StoreFor(settings)->Save(settings, run, view);
        const double saveSeconds = Seconds(std::chrono::steady_clock::now() - begin);
        rusage after{};
        getrusage(RUSAGE_SELF, &after);
        const double cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) +
                           (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1e6 +
                           (after.ru_stime.tv_sec - before.ru_stime.tv_sec) +
                           (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1e6;
        std::printf("run %d: Gathra's own CPU time in SaveToDatabase %.3f s\n", runIndex, cpu);

        begin = std::chrono::steady_clock::now();
        const std::string copy = "PGPASSWORD=" + std::string(kPassword) +
                                 " /usr/lib/postgresql/15/bin/psql -X -q -h " + folder + " -p " +
                                 std::to_string(port) + " -U gathra -d gathra -c \"\\copy copy_rows FROM '" +
                                 folder + "/data.csv' WITH (FORMAT csv)\"";
        const int copyStatus = std::system(copy.c_str());
        const double copySeconds = Seconds(std::chrono::steady_clock::now() - begin);

        std::printf(
            "run %d: SaveToDatabase over ODBC %.3f s (%s, %s rows); psql \\copy %.3f s (exit %d, %s rows); "
            "ratio %.2f\n",
            runIndex, saveSeconds, saved ? "true" : "false", Pg("SELECT count(*) FROM odbc_rows;").c_str(),
            copySeconds, copyStatus, Pg("SELECT count(*) FROM copy_rows;").c_str(),
            saveSeconds / copySeconds);
        ok = ok && saved && copyStatus == 0;
        ratios.push_back(saveSeconds / copySeconds);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("median ratio SaveToDatabase / \\copy: %.2f (target: 3 or less)\n",
                ratios[ratios.size() / 2]);
    std::system((script + " pg-stop " + folder).c_str());
    return ok ? 0 : 1;
}
