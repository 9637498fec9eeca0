#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/file_ops.h"
#include "upload/upload_engine.h"

// The two files of an upload's record phase: the backup "Back.txt" (one stored record per line, the
// writers' only input) and the log "LOG.TXT" (every line the terminal sent, time-stamped). Both hold
// CP932 bytes exactly as received, lines end with CR LF, and both are emptied when an upload opens them.

inline constexpr const char* kLogFileName = "LOG.TXT";

// An operating-system failure: its number and its description as the platform words it.
struct FileError {
    int Number = 0;
    std::string Description;
};

// The status line of a file failure: the tag, the number with one leading blank for values of 0 and
// above, ":", the description. Example: "<BackFile>  2:No such file or directory".
std::string FileErrorLine(std::string_view tag, const FileError& error);

// A count as decimal text with one leading blank for values of 0 and above (" 0", " 12", "-1").
std::string SignedCountText(int value);

// One log line without its line end: "yyyy/mm/dd","hh:mm:ss"," n","received line". Quotes inside the
// received line are written unchanged, not doubled.
std::string FormatLogLine(const PcDateTime& now, int16_t receivedCount, std::string_view received);

// A file opened for writing from scratch, written line by line without buffering in the process, so
// every line that was acknowledged survives the program ending abruptly. Sync makes the lines durable
// against a power cut as well; the upload does it once, before its final "ACK". Closed on destruction.
class LineFile {
public:
    LineFile() = default;
    ~LineFile();
    LineFile(const LineFile&) = delete;
    LineFile& operator=(const LineFile&) = delete;

    // Creates or empties `file`. On failure fills `error` and leaves the file closed.
    bool OpenForWriting(const FileAt& file, FileError& error);
    // Writes `text` and CR LF.
    bool WriteLine(std::string_view text, FileError& error);
    // Puts the lines written so far on disk (fdatasync), and the file's folder entry too when this
    // opening created the file.
    bool Sync(FileError& error);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

private:
    int fd_ = -1;
    FileAt file_{std::string()};
    bool created_ = false;  // the folder entry is new and not yet synced
};

// The description of an errno value as the platform words it.
FileError ErrnoError(int number);
