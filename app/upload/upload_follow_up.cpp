#include "upload/upload_follow_up.h"

#include <unistd.h>

#include <utility>

#include "common/visible_text.h"
#include "journal/history_text.h"
#include "journal/journal_words.h"
#include "settings/setting_text.h"

namespace {

constexpr const char* kJournalWriteError = "履歴ﾌｧｲﾙ書込ｴﾗｰ : ";
constexpr const char* kJournalMovedAside = "履歴ﾌｧｲﾙが壊れているため移動しました : ";
constexpr const char* kCommandTooLong = "AfterUpload が254ﾊﾞｲﾄを超えています : ｺﾏﾝﾄﾞは実行しません";
constexpr const char* kCommandDone = "ｺﾏﾝﾄﾞ終了 : ";
constexpr const char* kCommandWarning = "ｺﾏﾝﾄﾞ警告 : ";
constexpr const char* kCommandNotStarted = "ｺﾏﾝﾄﾞ起動ｴﾗｰ : ";
constexpr const char* kCommandSkipped = "ｺﾏﾝﾄﾞ省略 : 待ちが8件あります";
constexpr const char* kCommandCancelled = "ｺﾏﾝﾄﾞ中止 : 終了のため実行しません";

}  // namespace

std::vector<std::pair<std::string, std::string>> AfterUploadEnvironment(const UploadResult& result) {
    return {
        // A command runs only after an upload that reached its store: stored, or failed there.
        {"GATHRA_OUTCOME", OutcomeWord(result.Outcome == UploadOutcome::Stored ? UploadOutcome::Stored
                                                                               : UploadOutcome::Failed)},
        {"GATHRA_OUTPUT", result.Output},
        {"GATHRA_TABLE", result.Table},
        {"GATHRA_TERMINAL_ID", result.TerminalId},
        {"GATHRA_RECORDS", std::to_string(result.RecordsStored)},
        {"GATHRA_FORMAT", result.Format},
        {"GATHRA_STARTED", IsoTimeText(result.Started)},
        {"GATHRA_ENDED", IsoTimeText(result.Ended)},
    };
}

UploadFollowUp::UploadFollowUp(std::string programFolder, StatusSink status, std::function<void()> changed,
                               CommandRunner::Limits limits)
    : status_(std::move(status)),
      changed_(std::move(changed)),
      journal_(UploadJournal::PathIn(programFolder)),
      commands_(std::make_unique<CommandRunner>(limits)) {}

UploadFollowUp::~UploadFollowUp() {
    // The commands end (and write their outcomes) before the journal closes.
    commands_.reset();
}

void UploadFollowUp::BeginRun(const SettingsRecord& settings) {
    {
        std::lock_guard lock(mutex_);
        journalReported_ = false;
        saveFolder_ = settings.SaveFolder;
        commandLine_ = settings.AfterUpload;
        if (!FitsSettingValue(commandLine_)) {
            commandLine_.clear();
            status_(kCommandTooLong);
        }
    }
    // An existing journal is opened (and pruned) at the start; a new one is made by the first upload, so
    // a run that never serves one leaves the program folder as it was.
    if (!journal_.IsOpen() && ::access(journal_.Path().c_str(), F_OK) == 0) {
        if (!journal_.OpenForWriting()) {
            JournalFailed();
        } else if (!journal_.MovedAside().empty()) {
            status_(kJournalMovedAside + journal_.MovedAside());
        }
    }
}

void UploadFollowUp::JournalFailed() {
    std::lock_guard lock(mutex_);
    if (!journalReported_) {
        journalReported_ = true;
        status_(kJournalWriteError + journal_.Error());
    }
}

void UploadFollowUp::UploadEnded(const UploadResult& result) {
    const auto id = journal_.Add(result, result.Ended);
    if (!id) {
        JournalFailed();
    } else {
        if (!journal_.MovedAside().empty()) {
            status_(kJournalMovedAside + journal_.MovedAside());
        }
        if (changed_) {
            changed_();
        }
    }
    std::string commandLine;
    std::string folder;
    {
        std::lock_guard lock(mutex_);
        commandLine = commandLine_;
        folder = saveFolder_;
    }
    if (!result.ReachedStore() || commandLine.empty()) {
        return;
    }
    const int64_t entry = id.value_or(0);
    // Values from outside (the terminal ID, names made from it) reach the command without control
    // characters or line breaks, so one variable is one line of `env` and moves no terminal.
    auto environment = AfterUploadEnvironment(result);
    for (auto& [name, value] : environment) {
        value = VisibleText(value);
    }
    CommandJob job{commandLine, folder, std::move(environment),
                   [this, entry](const CommandResult& result) { CommandEnded(entry, result); }};
    if (!commands_->Submit(std::move(job))) {
        status_(kCommandSkipped);
        if (id) {
            RecordCommand(entry, CommandWord(CommandEnd::Skipped), "");
        }
    }
}

void UploadFollowUp::CommandEnded(int64_t id, const CommandResult& result) {
    std::string word;
    std::string detail = result.LastLine();
    std::string line;
    switch (result.Outcome) {
        case CommandResult::Kind::Exited:
            word = CommandWord(CommandEnd::Exited, result.Status);
            line = result.Status == 0
                       ? std::string(kCommandDone) + "0"
                       : kCommandWarning + std::string("終了ｺｰﾄﾞ ") + std::to_string(result.Status);
            break;
        case CommandResult::Kind::Signalled:
            word = CommandWord(CommandEnd::Signalled, result.Status);
            line = kCommandWarning + std::string("ｼｸﾞﾅﾙ ") + std::to_string(result.Status);
            break;
        case CommandResult::Kind::TimedOut:
            word = CommandWord(CommandEnd::TimedOut);
            line = kCommandWarning + std::string("時間切れのため終了しました");
            break;
        case CommandResult::Kind::NotStarted:
            word = CommandWord(CommandEnd::NotStarted);
            detail = result.Reason;
            line = kCommandNotStarted + result.Reason;
            break;
        case CommandResult::Kind::Cancelled:
            word = CommandWord(CommandEnd::Cancelled);
            line = kCommandCancelled;
            break;
        case CommandResult::Kind::Failed:
            word = CommandWord(CommandEnd::Failed);
            detail = result.Reason;
            line = kCommandWarning + result.Reason;
            break;
    }
    if (!detail.empty() && result.Outcome != CommandResult::Kind::NotStarted &&
        result.Outcome != CommandResult::Kind::Failed) {
        line += " : " + detail;
    }
    status_(line);
    if (id != 0) {
        RecordCommand(id, word, detail);
    }
}

void UploadFollowUp::RecordCommand(int64_t id, const std::string& word, const std::string& detail) {
    if (!journal_.SetCommand(id, word, detail)) {
        JournalFailed();
    } else if (changed_) {
        changed_();
    }
}

void UploadFollowUp::Finish(bool hurry) {
    commands_->Finish(hurry);
}

void UploadFollowUp::Hurry() {
    commands_->Hurry();
}
