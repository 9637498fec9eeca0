#include "output/writers.h"

// Placeholder until the mail dispatch lands: never reports success.
bool SendByMail(const SettingsRecord&, RunState& run, OperatorView&) {
    run.MailErrorText = "-1 ﾒｰﾙ送信はこの版では使えません";
    return false;
}
