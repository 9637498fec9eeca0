#include "database_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "support/child_process.h"

std::string RunSqlite(const std::string& database, const std::string& sql) {
    ChildProcess::Options options;
    options.Input = sql;
    const SpawnResult result = Spawn({"sqlite3", "-batch", "-nullvalue", "NULL", database}, options);
    std::cerr << result.Errors;
    return result.Output;
}
