#pragma once

#include <string>
#include <string_view>

#include "common/file_ops.h"

// The record rule of the backup file: CR LF ends a record, as the upload writes it; a CR or LF alone is
// part of the record, and a last line without CR LF still counts. Bytes go in in chunks of any size (a
// CR LF may straddle two chunks); records come out without their CR LF.
class CrLfRecordSplitter {
public:
    void Append(std::string_view bytes);
    // The next complete record. False when the bytes so far hold none; the view stays valid until the
    // next Append.
    bool Next(std::string_view& record);
    // At the end of the input: the bytes after the last CR LF, if any, as the last record.
    bool TakeRest(std::string_view& record);

private:
    std::string buffer_;
    size_t start_ = 0;     // first byte of the next record
    size_t searched_ = 0;  // no CR LF starts before this position (from start_ on)
};

// The backup file read record by record, by every writer, with the rule above.
class BackupLines {
public:
    BackupLines() = default;
    ~BackupLines();
    BackupLines(const BackupLines&) = delete;
    BackupLines& operator=(const BackupLines&) = delete;

    // False when the file cannot be opened; ErrorNumber() then holds the system's error number.
    bool Open(const FileAt& path);
    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    void Close();

    // The next record into `line`. False at the end of the file and at a read failure; Failed() tells
    // the two apart.
    bool Next(std::string& line);
    bool Failed() const { return error_ != 0; }
    int ErrorNumber() const { return error_; }

private:
    int fd_ = -1;
    bool atEnd_ = false;
    int error_ = 0;
    CrLfRecordSplitter splitter_;
};
