#include "shell/app_info.h"

#include "settings/settings_record.h"

#ifndef GATHRA_VERSION_MAJOR
#error "the build defines the version numbers"
#endif

AppInfo ThisAppInfo() {
    AppInfo info;
    info.Title = kAppTitle;
    info.Major = GATHRA_VERSION_MAJOR;
    info.Minor = GATHRA_VERSION_MINOR;
    info.Revision = GATHRA_VERSION_PATCH;
    info.CompanyName = "Gathra Data Systems";
    return info;
}

std::string VersionText(const AppInfo& info) {
    return "Ver." + std::to_string(info.Major) + "." + std::to_string(info.Minor) + "." +
           std::to_string(info.Revision);
}
