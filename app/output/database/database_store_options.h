#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "output/database/odbc_table_writer.h"
#include "output/database/statement_watch.h"

// What a database store may be told beyond the settings: the upload uses the defaults; tests and
// benchmarks pass their own to the store they make, so that no setting outlives its caller.
struct DatabaseStoreOptions {
    // How long one statement may run (or wait for a lock) before it is cancelled.
    std::chrono::milliseconds StatementTimeout = kStatementTimeout;
    // Rows sent per group to a server database (at least 1).
    size_t RowsPerGroup = OdbcTableWriter::kDefaultRowsPerGroup;
    // The naming rules a server store uses instead of its driver's (drivers not at hand); none: the driver's.
    std::optional<OdbcNaming> Naming;
};
