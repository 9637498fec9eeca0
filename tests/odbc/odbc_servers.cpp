#include "odbc_servers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>

#include <gtest/gtest.h>

#include "support/child_process.h"

namespace {

std::unique_ptr<OdbcServers> instance;

class StopServersAtEnd : public ::testing::Environment {
public:
    void TearDown() override { OdbcServers::StopAll(); }
};
[[maybe_unused]] ::testing::Environment* const stopAtEnd =
    ::testing::AddGlobalTestEnvironment(new StopServersAtEnd);
std::string failure;

std::string Script() {
    const char* source = std::getenv("GATHRA_SOURCE_DIR");
    return std::string(source != nullptr ? source : GATHRA_SOURCE_DIR_DEFAULT) + "/tests/odbc/db_servers.sh";
}

bool Run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

const char* kDrivers = "/usr/lib/x86_64-linux-gnu/odbc";

}  // namespace

std::string RunWithInput(const std::string& command, const std::string& input) {
    ChildProcess::Options options;
    options.Input = input;
    const SpawnResult result = Spawn({"/bin/sh", "-c", command}, options);
    std::cerr << result.Errors;
    return result.Output;
}

OdbcServers* OdbcServers::Get(bool wantMaria, std::string* why) {
    if (!instance && failure.empty()) {
        // Each file with the Debian package that brings it.
        const struct {
            const char* file;
            const char* package;
        } needed[] = {
            {"/usr/lib/postgresql/15/bin/initdb", "postgresql-15"},
            {"/usr/sbin/mariadbd", "mariadb-server"},
            {"/usr/bin/setpriv", "util-linux"},
            {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so", "odbc-postgresql"},
            {"/usr/lib/x86_64-linux-gnu/odbc/libmaodbc.so", "odbc-mariadb"},
            {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "libsqliteodbc"},
        };
        for (const auto& [file, package] : needed) {
            if (access(file, X_OK) != 0 && access(file, R_OK) != 0) {
                failure = std::string("missing ") + file + ": add the Debian package " + package +
                          " to scripts/install-deps.sh";
            }
        }
        if (failure.empty()) {
            auto servers = std::make_unique<OdbcServers>();
            // The servers run as nobody and must reach their folder.
            chmod(servers->Folder().c_str(), 0755);
            WriteBytes(servers->folder_ / "password", kPassword);
            WriteBytes(servers->folder_ / "odbcinst.ini",
                       std::string("[PostgreSQL Unicode]\nDriver=") + kDrivers + "/psqlodbcw.so\n\n" +
                           "[MariaDB Unicode]\nDriver=" + kDrivers + "/libmaodbc.so\n\n" +
                           "[SQLite3]\nDriver=" + kDrivers + "/libsqlite3odbc.so\n");
            setenv("ODBCSYSINI", servers->Folder().c_str(), 1);
            setenv("GATHRA_WATCH_PID", std::to_string(getpid()).c_str(), 1);
            setenv("ODBCINI", (servers->folder_ / "odbc.ini").c_str(), 1);
            servers->pgPort_ = FreePort();
            if (!servers->StartPg()) {
                failure = "PostgreSQL did not start (see " + servers->Folder() + "/pg.log)";
            } else {
                instance = std::move(servers);
            }
        }
    }
    if (instance && wantMaria && !instance->mariaRunning_ && failure.empty() && !instance->StartMaria()) {
        failure = "MariaDB did not start";
    }
    if (!failure.empty() || !instance) {
        if (why != nullptr) {
            *why = failure;
        }
        return nullptr;
    }
    return instance.get();
}

void OdbcServers::StopAll() {
    if (!instance) {
        return;
    }
    instance->StopPg();
    if (instance->mariaRunning_) {
        Run(Script() + " maria-stop " + instance->Folder());
    }
    instance.reset();
}

bool OdbcServers::StartPg() {
    pgRunning_ =
        Run(Script() + " pg-start " + Folder() + " " + std::to_string(pgPort_) + " '" + kPassword + "'");
    return pgRunning_;
}

bool OdbcServers::StopPg(const char* mode) {
    if (!pgRunning_) {
        return true;
    }
    pgRunning_ = false;
    return Run(Script() + " pg-stop " + Folder() + " " + mode);
}

bool OdbcServers::KillMaria() {
    mariaRunning_ = false;
    std::string pid = ReadBytes(Folder() + "/maria.pid");
    pid.erase(pid.find_last_not_of("\n ") + 1);
    return !pid.empty() &&
           Run("kill -9 " + pid + " && while kill -0 " + pid + " 2>/dev/null; do sleep 0.05; done");
}

bool OdbcServers::StartMaria() {
    if (mariaPort_ == 0) {
        mariaPort_ = FreePort();
    }
    mariaRunning_ = Run(Script() + " maria-start " + Folder() + " " + std::to_string(mariaPort_) + " '" +
                        kPassword + "'");
    return mariaRunning_;
}

std::string OdbcServers::PgConnection(const std::string& password) const {
    return "Driver={PostgreSQL Unicode};Servername=" + Folder() + ";Port=" + std::to_string(pgPort_) +
           ";Database=gathra;UID=gathra;PWD=" + password;
}

std::string OdbcServers::MariaConnection(const std::string& password) const {
    return "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" + std::to_string(mariaPort_) +
           ";Database=gathra;UID=gathra;PWD=" + password;
}

std::string OdbcServers::SqliteConnection(const std::string& database) const {
    return "Driver={SQLite3};Database=" + database;
}

std::string OdbcServers::Pg(const std::string& sql) const {
    return RunWithInput(Script() + " pg-sql " + Folder() + " " + std::to_string(pgPort_), sql);
}

std::string OdbcServers::Maria(const std::string& sql) const {
    return RunWithInput(Script() + " maria-sql " + Folder(), sql);
}
