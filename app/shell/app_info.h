#pragma once

#include <string>

// The program's own version information, shown by the version box.
struct AppInfo {
    std::string Title;
    int Major = 0;
    int Minor = 0;
    int Revision = 0;
    std::string CompanyName;
};

// This build's information: title "Gathra", the project's version numbers and the maker.
AppInfo ThisAppInfo();

// "Ver." followed by major, minor and revision joined by "." (plain decimal numbers).
std::string VersionText(const AppInfo& info);
