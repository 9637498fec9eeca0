#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "settings/settings_record.h"
#include "support/recording_operator_view.h"
#include "support/temp_folder.h"

inline bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

// A frame "^" type payload "*" checksum: the sum of the covered bytes modulo 256 as two upper-case hex
// digits; coverage 0 covers everything before the digits, 1 the payload and "*". Written here on its own
// (not with the codec's FrameChecksum) so that a fault in the codec cannot agree with itself; the worked
// frames of the two-record example check this helper.
inline std::string Frame(char type, const std::string& payload, int coverage = 0) {
    const std::string body = std::string("^") + type + payload + "*";
    unsigned sum = 0;
    for (const char c : coverage == 0 ? body : payload + "*") {
        sum += static_cast<unsigned char>(c);
    }
    static const char kHex[] = "0123456789ABCDEF";
    return body + kHex[(sum >> 4) & 0xF] + kHex[sum & 0xF];
}

// Lines joined with CR LF, each line ended by it.
inline std::string CrLfLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

// The settings a test upload starts from: the given port at 115200 baud, the terminal's clock left alone,
// every field taken, the backup at `backFilePath` and the output in `saveFolder`.
inline void SetUploadDefaults(SettingsRecord& settings, const std::string& saveFolder,
                              const std::string& backFilePath, int port) {
    settings.SaveFolder = saveFolder;
    settings.BackFilePath = backFilePath;
    settings.Port = port;
    settings.Baud = 115200;
    settings.TimeAdjust = "0";
    settings.SelectedFields.fill(1);
}

// The lines appended to the status display (AppendStatus), in order.
inline std::vector<std::string> AppendedStatusLines(const RecordingOperatorView& view) {
    std::vector<std::string> lines;
    for (const auto& call : view.StatusCalls) {
        if (call.Append) {
            lines.push_back(call.Text);
        }
    }
    return lines;
}
