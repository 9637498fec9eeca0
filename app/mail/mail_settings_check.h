#pragma once

#include <string>

#include "settings/settings_record.h"

// With SendMail 1, the mail settings are checked before the port is opened, by the same checks the mail
// itself makes: a recipient or sender that is empty or that our address check refuses, a subject with a
// line break, a mail server that is missing or not "host" / "host:port". A server that does not answer is
// not found here.

// The first mail setting that would refuse every mail, as "<key>=<value> : <what is wrong>"; empty when
// SendMail is not 1 or the settings would do.
std::string MailSettingsProblem(const SettingsRecord& settings);
