#pragma once

#include <sqlite3.h>

#include <chrono>
#include <string>

#include "journal/upload_journal.h"

// A journal of `count` uploads from 20 terminals, one every 25 s back from now (100,000 span the last
// 29 days, so the history window's default range shows them all), every 17th failed. The rows go in
// with one statement: the journal's own Add syncs each entry and would take minutes.
inline bool FillJournal(const std::string& path, int count) {
    {
        UploadJournal journal(path);
        if (!journal.OpenForWriting()) {
            return false;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        return false;
    }
    const long long now = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const std::string sql =
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
        ") INSERT INTO uploads (started, ended, port, terminal, announced, stored, format, output, "
        "output_table, outcome, failure, mail) SELECT " +
        std::to_string(now) + " - i * 25000, " + std::to_string(now) +
        " - i * 25000 + 4000, 1, printf('T%02d', i % 20), 20 + i % 80, "
        "CASE WHEN i % 17 = 0 THEN 0 ELSE 20 + i % 80 END, 'text', "
        "printf('/home/operator/データ/T%02d.txt', i % 20), '', "
        "CASE WHEN i % 17 = 0 THEN 'failed' ELSE 'stored' END, "
        "CASE WHEN i % 17 = 0 THEN 'ﾚｺｰﾄﾞ受信 : CRC ｴﾗｰ' ELSE '' END, '' FROM n";
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}
