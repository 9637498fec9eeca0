#include "exit_code.h"

int ExitCodeFor(RunOutcome outcome, const SettingsRecord& settings, const RunState& run,
                const UploadReport& lastUpload, const ConsoleView& view, std::string& reason) {
    switch (outcome) {
        case RunOutcome::Stored:
        case RunOutcome::StoppedIdle:
            return kExitStored;
        case RunOutcome::Failed:
            reason = lastUpload.FailureText.empty() ? "異常終了" : lastUpload.FailureText;
            return kExitFailed;
        case RunOutcome::StoppedMidUpload:
            reason = "受信中に停止しました";
            return kExitFailed;
        case RunOutcome::PortNotOpened:
            reason = view.LastAppended() != "異常終了" ? view.LastAppended()
                                                       : "COM" + std::to_string(settings.Port) + " ｵｰﾌﾟﾝｴﾗｰ";
            return kExitPort;
        case RunOutcome::DatabaseMissing:
            reason = run.OutputPath + " が存在しません。";
            return kExitPrerequisite;
    }
    return kExitFailed;
}
