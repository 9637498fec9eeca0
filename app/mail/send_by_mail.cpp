#include "mail/send_by_mail.h"

#include "mail/mail_transport.h"
#include "settings/settings_store.h"

bool SendByMail(const SettingsRecord& settings, RunState& run, const std::string& attachmentPath) {
    MailRequest request;
    request.To = settings.MailAddress;
    request.From = settings.FromMailAddress;
    request.Subject = settings.MailSub;
    request.AttachmentPath = attachmentPath;
    request.Server = settings.MailServer;
    request.Tls = static_cast<MailTls>(MailTlsMode(settings));
    request.KeepGoing = [&run] { return run.IsRunning.load(); };
    if (const auto failure = SendMailOverSmtp(request)) {
        run.MailErrorText = FormatMailError(*failure);
        return false;
    }
    return true;
}
