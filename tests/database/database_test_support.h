#pragma once

#include <string>

// A temporary folder removed with everything in it when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
std::string ReadBytes(const std::string& path);

// Runs the sqlite3 client on `database` with `sql` on its standard input and returns its standard
// output (NULL shown as "NULL", columns joined by "|"); errors go to the test's standard error.
std::string RunSqlite(const std::string& database, const std::string& sql);
