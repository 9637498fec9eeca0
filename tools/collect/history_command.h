#pragma once

#include <optional>
#include <string>

// `gathra-collect --history`: prints the upload journal of a program folder and exits. It only reads, so
// it works while a collector or the window writes the same journal.
struct HistoryRequest {
    std::optional<std::string> Since;  // YYYY-MM-DD, local, inclusive
    std::optional<std::string> Until;  // YYYY-MM-DD, local, inclusive
    std::optional<std::string> Terminal;
    bool Csv = false;
};

// The exit status: 0 printed (a folder without a journal prints nothing), 2 the journal cannot be read,
// 64 a malformed date. Reasons go to standard error.
int PrintHistory(const std::string& programFolder, const HistoryRequest& request);
