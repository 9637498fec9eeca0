#include "database_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "support/child_process.h"

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    EXPECT_TRUE(out.good()) << path;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string RunSqlite(const std::string& database, const std::string& sql) {
    ChildProcess::Options options;
    options.Input = sql;
    const SpawnResult result = Spawn({"sqlite3", "-batch", "-nullvalue", "NULL", database}, options);
    std::cerr << result.Errors;
    return result.Output;
}
