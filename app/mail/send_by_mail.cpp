#include "mail/send_by_mail.h"

#include <algorithm>

#include "mail/mail_transport.h"
#include "settings/settings_store.h"

bool SendByMail(const SettingsRecord& settings, RunState& run, const std::string& attachmentPath,
                const std::string& attachmentName, const std::string& attachmentType, long maxSeconds) {
    MailRequest request;
    request.To = settings.MailAddress;
    request.From = settings.FromMailAddress;
    request.Subject = settings.MailSub;
    request.AttachmentPath = attachmentPath;
    request.AttachmentName = attachmentName;
    request.AttachmentType = attachmentType;
    request.Server = settings.MailServer;
    request.Tls = static_cast<MailTls>(MailTlsMode(settings));
    request.KeepGoing = [&run] { return run.IsRunning.load(); };
    MailLimits limits;
    if (maxSeconds > 0) {
        limits.MaxTransferTimeoutSeconds = std::min(limits.MaxTransferTimeoutSeconds, maxSeconds);
        limits.TransferTimeoutSeconds = std::min(limits.TransferTimeoutSeconds, maxSeconds);
        limits.ConnectTimeoutSeconds = std::min(limits.ConnectTimeoutSeconds, maxSeconds);
    }
    if (const auto failure = SendMailOverSmtp(request, limits)) {
        run.MailErrorText = FormatMailError(*failure);
        return false;
    }
    return true;
}
