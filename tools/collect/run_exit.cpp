#include "run_exit.h"

int RunExitCode(RunOutcome outcome, const SettingsRecord& settings, const RunState& run,
                const std::string& failure, const std::string& lastAppended, std::string& reason) {
    switch (outcome) {
        case RunOutcome::Stored:
        case RunOutcome::StoppedIdle:
            return kExitStored;
        case RunOutcome::Failed:
            reason = failure.empty() ? "異常終了" : failure;
            return kExitFailed;
        case RunOutcome::StoppedMidUpload:
            reason = "受信中に停止しました";
            return kExitFailed;
        case RunOutcome::PortNotOpened:
            reason = lastAppended != "異常終了" ? lastAppended
                                                : "COM" + std::to_string(settings.Port) + " ｵｰﾌﾟﾝｴﾗｰ";
            return kExitPort;
        case RunOutcome::DatabaseMissing:
            reason = run.OutputPath + " が存在しません。";
            return kExitPrerequisite;
    }
    return kExitFailed;
}
