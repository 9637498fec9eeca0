#pragma once

#include <string>

#include "run/run_state.h"
#include "settings/settings_record.h"

// Mails `attachmentPath` to settings.MailAddress. The engine reports the result itself (the recipient
// with "宛 ﾒｰﾙ登録完了" or "宛 ﾒｰﾙ登録失敗:" and MailErrorText), so nothing is shown here. Stop, a
// close or SIGTERM (IsRunning going false) cancel the mail part-way. On failure sets run.MailErrorText
// and returns false. The attachment carries `attachmentName` (empty: the file's own name) and the
// content type `attachmentType` (the store's); a `maxSeconds` above 0 caps the time the whole mail may
// take.
bool SendByMail(const SettingsRecord& settings, RunState& run, const std::string& attachmentPath,
                const std::string& attachmentName = {}, const std::string& attachmentType = {},
                long maxSeconds = 0);
