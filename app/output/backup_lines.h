#pragma once

#include <cstdio>
#include <string>

// The backup file read record by record, as the workbook and database writers need it. CR LF ends a
// record, as the upload writes it; a CR or LF alone is part of the record (the text writer reads it the
// same way), and a last line without CR LF still counts.
class BackupLines {
public:
    BackupLines() = default;
    ~BackupLines();
    BackupLines(const BackupLines&) = delete;
    BackupLines& operator=(const BackupLines&) = delete;

    // False when the file cannot be opened; ErrorNumber() then holds the system's error number.
    bool Open(const std::string& path);
    bool IsOpen() const { return file_ != nullptr; }
    void Close();

    // The next record into `line`. False at the end of the file and at a read failure; Failed() tells
    // the two apart.
    bool Next(std::string& line);
    bool Failed() const { return error_ != 0; }
    int ErrorNumber() const { return error_; }

private:
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;  // grown by getline
    size_t capacity_ = 0;
    int error_ = 0;
};
