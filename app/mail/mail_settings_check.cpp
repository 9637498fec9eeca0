#include "mail/mail_settings_check.h"

#include "mail/mail_message.h"

namespace {

// Stands in for the fields not under test, so that each check names its own field.
constexpr const char* kGoodAddress = "gathra@localhost";

std::string Problem(const char* key, const std::string& value, const std::string& why) {
    return std::string(key) + "=" + value + " : " + why;
}

}  // namespace

std::string MailSettingsProblem(const SettingsRecord& settings) {
    if (settings.SendMail != Switch::On) {
        return {};
    }
    if (auto refused = CheckMailTexts(settings.MailAddress, kGoodAddress, "")) {
        return Problem("MailAddress", settings.MailAddress, refused->Description);
    }
    if (auto refused = CheckMailTexts(kGoodAddress, settings.FromMailAddress, "")) {
        return Problem("FromMailAddress", settings.FromMailAddress, refused->Description);
    }
    if (auto refused = CheckMailTexts(kGoodAddress, kGoodAddress, settings.MailSub)) {
        return Problem("MailSub", settings.MailSub, refused->Description);
    }
    if (const std::string why = MailServerSettingProblem(settings.MailServer); !why.empty()) {
        return Problem("MailServer", settings.MailServer, why);
    }
    return {};
}
