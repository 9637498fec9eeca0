// The backup record splitter over arbitrary bytes: the records it gives, joined again with CR LF, must be
// the file exactly (a last record without CR LF still counts; nothing is lost or invented), and the same
// bytes fed in chunks of every size the first byte picks must give the same records.
#include <cstdlib>

#include "fuzz_support.h"
#include "output/backup_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = ScratchFolder() + "/Back.txt";
    const std::string_view input = AsText(data, size);
    if (!WriteWholeFile(path, input)) {
        return 0;
    }
    BackupLines lines;
    if (!lines.Open(path)) {
        std::abort();
    }
    std::string joined;
    std::string record;
    bool ended = true;  // the last record read ended with CR LF
    while (lines.Next(record)) {
        joined += record;
        joined += "\r\n";
    }
    if (lines.Failed()) {
        std::abort();
    }
    ended = input.ends_with("\r\n") || input.empty();
    if (!ended) {
        joined.resize(joined.size() - 2);
    }
    if (joined != input) {
        std::abort();
    }

    const size_t chunk = size == 0 ? 1 : 1 + data[0] % 7;
    CrLfRecordSplitter splitter;
    std::string rejoined;
    std::string_view piece;
    for (size_t at = 0; at < input.size(); at += chunk) {
        splitter.Append(input.substr(at, chunk));
        while (splitter.Next(piece)) {
            rejoined.append(piece).append("\r\n");
        }
    }
    if (splitter.TakeRest(piece)) {
        rejoined.append(piece);
    }
    if (rejoined != input) {
        std::abort();
    }
    return 0;
}
