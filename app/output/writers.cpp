#include "output/writers.h"

#include "common/system_error.h"
#include "run/operator_view.h"
#include "settings/settings_record.h"

namespace {

// The failure's description and, with no separator, the component that raised it.
std::string FailureText(int number, const std::string& path) {
    const std::string description =
        number == kStoreFailureOutputIsBackup ? "Output file is the backup file" : SystemErrorText(number);
    return description + " (" + path + ")" + kAppTitle;
}

}  // namespace

void ReportStoreFailure(OperatorView& view, int number, const std::string& path) {
    const std::string text = FailureText(number, path);
    view.ShowMessage(kAppTitle, text, MessageIcon::None);
    view.AppendStatus(text);
}

std::string FileNamePart(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
