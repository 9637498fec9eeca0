#pragma once

#include <string>

#include "database_test_support.h"

// The database servers of the ODBC tests: PostgreSQL 15 and MariaDB, each started once per test
// program by tests/odbc/db_servers.sh as an unprivileged user, with its data in a temporary folder,
// on a Unix socket in that folder and on 127.0.0.1 at a free port. ODBC finds the drivers through a
// test-local odbcinst.ini (ODBCSYSINI), never the system's.
class OdbcServers {
public:
    // The servers of this program, started on first use. Null (with the reason in `why`) when the
    // tools are missing; a test then skips, or fails under CI.
    static OdbcServers* Get(bool wantMaria, std::string* why);
    // Stops whatever was started; called once at the end of the program.
    static void StopAll();

    const std::string& Folder() const { return folder_.Path(); }
    int PgPort() const { return pgPort_; }
    int MariaPort() const { return mariaPort_; }

    // Connection strings of the three data sources (password included, as an operator would set it).
    std::string PgConnection(const std::string& password = kPassword) const;
    std::string MariaConnection(const std::string& password = kPassword) const;
    std::string SqliteConnection(const std::string& database) const;

    // SQL run by the servers' own clients; the output rows, one per line, columns joined by "|"
    // (PostgreSQL, SQLite) or a tab (MariaDB).
    std::string Pg(const std::string& sql) const;
    std::string Maria(const std::string& sql) const;

    bool StopPg(const char* mode = "fast");
    bool StartPg();
    // Kills MariaDB outright (SIGKILL, like a crash) and starts it again on the same data.
    bool KillMaria();
    bool StartMaria();

    static constexpr const char* kPassword = "Gathra-s3cret!";

private:
    TempFolder folder_;
    int pgPort_ = 0;
    int mariaPort_ = 0;
    bool pgRunning_ = false;
    bool mariaRunning_ = false;
};

// Skips the test when `servers` is null, except under CI (CI=true), where it fails.
#define REQUIRE_SERVERS(servers, why)                         \
    do {                                                      \
        if ((servers) == nullptr) {                           \
            const char* ci = std::getenv("CI");               \
            if (ci != nullptr && std::string(ci) == "true") { \
                FAIL() << (why);                              \
            }                                                 \
            GTEST_SKIP() << (why);                            \
        }                                                     \
    } while (0)

// Runs a shell command with `input` on its standard input; returns its standard output.
std::string RunWithInput(const std::string& command, const std::string& input);
