// Stores the largest upload a terminal can send (32,767 records of 20 fields) with SaveToDatabase, then
// loads the same data as CSV with the sqlite3 client's .import, and prints both times.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_view.h"
#include "codec/text_encoding.h"
#include "output/database/save_to_database.h"
#include "stores/store_table.h"
#include "support/child_process.h"

namespace {

constexpr int kRecords = 32767;

// Record i: 18 ASCII fields and 2 half-width katakana fields (CP932), as a terminal might send.
std::string Record(int i) {
    std::string line;
    for (int k = 1; k <= 20; ++k) {
        if (k > 1) {
            line += ',';
        }
        if (k == 5 || k == 12) {
            line += "\xBC\xAE\xB3\xCB\xDD";  // ｼｮｳﾋﾝ
        }
        line += std::to_string(i * 20 + k);
    }
    return line;
}

std::string Sqlite(const std::string& database, const std::string& sql) {
    std::string output = Spawn({"sqlite3", "-batch", database, sql}).Output;
    while (output.ends_with('\n')) {
        output.pop_back();
    }
    return output;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

int main() {
    const TempFolder temp;
    if (!temp.Valid()) {
        return 1;
    }
    const std::string& folder = temp.Path();
    std::string table = "CREATE TABLE T01(";
    for (int n = 1; n <= 20; ++n) {
        table += (n > 1 ? ",F" : "F") + std::to_string(n) + " TEXT";
    }
    table += ");";

    SettingsRecord settings;
    settings.SelectedFields.fill(1);
    settings.BackFilePath = folder + "/Back.txt";
    settings.SaveFormat = kSaveFormatMdb;
    RunState run;
    run.OutputPath = folder + "/Gathra.mdb";
    run.TableName = "T01";
    {
        std::ofstream backup(settings.BackFilePath, std::ios::binary);
        std::ofstream csv(folder + "/data.csv", std::ios::binary);
        for (int i = 1; i <= kRecords; ++i) {
            const std::string record = Record(i);
            backup << record << "\r\n";
            csv << Cp932ToUtf8(record) << "\n";
        }
    }
    Sqlite(run.OutputPath, table);
    Sqlite(folder + "/import.db", table);

    BenchView view(true);
    auto start = std::chrono::steady_clock::now();
    const bool saved = StoreFor(settings)->Save(settings, run, view);
    const double saveSeconds = Seconds(std::chrono::steady_clock::now() - start);

    start = std::chrono::steady_clock::now();
    const std::string importCommand =
        "sqlite3 -batch '" + folder + "/import.db' \".import --csv '" + folder + "/data.csv' T01\"";
    const int importStatus = std::system(importCommand.c_str());
    const double importSeconds = Seconds(std::chrono::steady_clock::now() - start);

    std::printf("records of 20 fields:           %d\n", kRecords);
    std::printf("SaveToDatabase:                      %.3f s (%s, rows in table %s)\n", saveSeconds,
                saved ? "true" : "false", Sqlite(run.OutputPath, "SELECT count(*) FROM T01").c_str());
    std::printf("sqlite3 .import of the CSV:     %.3f s (exit %d, rows in table %s)\n", importSeconds,
                importStatus, Sqlite(folder + "/import.db", "SELECT count(*) FROM T01").c_str());
    std::printf("ratio SaveToDatabase / .import:      %.2f\n", saveSeconds / importSeconds);
    return saved && importStatus == 0 ? 0 : 1;
}
