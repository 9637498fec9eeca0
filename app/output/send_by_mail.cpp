#include "output/mail_transport.h"
#include "output/server_database.h"
#include "output/writers.h"

// The engine reports the result itself (the recipient with "宛 ﾒｰﾙ登録完了" or "宛 ﾒｰﾙ登録失敗:" and
// MailErrorText), so nothing is shown here and the window is not yielded to while the mail goes out.
// Stop, a close or SIGTERM (IsRunning going false) cancel the mail part-way; the stored file stays.
bool SendByMail(const SettingsRecord& settings, RunState& run, OperatorView&) {
    MailRequest request;
    request.To = settings.MailAddress;
    request.From = settings.FromMailAddress;
    request.Subject = settings.MailSub;
    request.AttachmentPath = run.OutputPath;
    request.Server = settings.MailServer;
    request.KeepGoing = [&run] { return run.IsRunning.load(); };
    // A server database has no file to attach: the upload's records go as a text file of their own.
    ServerUploadAttachment attachment;
    if (UsesServerDatabase(settings)) {
        std::string why;
        if (!attachment.Make(settings, run, why)) {
            run.MailErrorText = FormatMailError({kMailErrorAttachment, why, kMailSourceGathra});
            return false;
        }
        request.AttachmentPath = attachment.Path();
    }
    if (const auto failure = SendMailOverSmtp(request)) {
        run.MailErrorText = FormatMailError(*failure);
        return false;
    }
    return true;
}
