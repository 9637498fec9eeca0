#include "shell/app_info.h"

#include "gathra_version.h"
#include "settings/settings_record.h"

AppInfo ThisAppInfo() {
    AppInfo info;
    info.Title = kAppTitle;
    info.Major = kGathraVersionMajor;
    info.Minor = kGathraVersionMinor;
    info.Revision = kGathraVersionPatch;
    info.CompanyName = "Gathra Data Systems";
    return info;
}

std::string VersionText(const AppInfo& info) {
    return "Ver." + std::to_string(info.Major) + "." + std::to_string(info.Minor) + "." +
           std::to_string(info.Revision);
}
