#include "output/output_naming.h"

#include <algorithm>
#include <cstdio>

#include "common/digits.h"

std::string DateDigits(const PcDateTime& now) {
    return ZeroPadded(now.Year, 4) + ZeroPadded(now.Month, 2) + ZeroPadded(now.Day, 2);
}

std::string TimeDigits(const PcDateTime& now) {
    return ZeroPadded(now.Hour, 2) + ZeroPadded(now.Minute, 2);
}

std::string ClockDigits(const PcDateTime& now) {
    return DateDigits(now) + TimeDigits(now) + ZeroPadded(now.Second, 2);
}

std::string DropTrailingSlash(std::string_view folder) {
    if (!folder.empty() && folder.back() == '/') {
        folder.remove_suffix(1);
    }
    return std::string(folder);
}

bool FileNameUsesTerminalId(const SettingsRecord& settings) {
    return settings.FixFname.empty() && settings.AddDate != 1 && settings.AddDate != 2;
}

bool IsUsableTerminalId(std::string_view terminalId) {
    const auto refused = [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return c == '/' || byte < 0x20 || byte == 0x7F;
    };
    return !terminalId.empty() && std::none_of(terminalId.begin(), terminalId.end(), refused);
}

OutputName NameOutputFile(const SettingsRecord& settings, std::string_view terminalId, const PcDateTime& now,
                          std::string_view extension) {
    const std::string base = settings.FixFname.empty() ? std::string(terminalId) : settings.FixFname;
    const std::string ext(extension);
    std::string relative;
    switch (settings.AddDate) {
        case 1:
            relative = "/" + DateDigits(now) + ext;
            break;
        case 2:
            relative = "/" + DateDigits(now) + "-" + TimeDigits(now) + ext;
            break;
        case 3:
            relative = "/" + base + "-" + DateDigits(now) + ext;
            break;
        case 4:
            relative = "/" + base + "-" + DateDigits(now) + "-" + TimeDigits(now) + ext;
            break;
        default:
            relative = "/" + base + ext;
            break;
    }
    OutputName name;
    // Joined without dropping a trailing "/" of the save folder: "/data/" gives "/data//T01.txt",
    // which names the same file on this platform.
    name.OutputPath = settings.SaveFolder + relative;
    name.FileLabel = relative;
    return name;
}
