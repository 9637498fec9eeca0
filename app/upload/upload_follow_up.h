#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "journal/upload_journal.h"
#include "run/upload_result.h"
#include "settings/settings_record.h"
#include "upload/command_runner.h"

// What follows each upload once the terminal has its final answer: the journal entry, and the
// AfterUpload command with the upload in its environment. A front end (the window, gathra-collect) keeps
// one for the program's life and hands UploadEnded to the engine.
//
// The journal entry is written on the engine's thread before the next upload begins; the command runs on
// the runner's thread, and its outcome goes into the same entry and one status line. A journal that
// cannot be written costs one status line per run and nothing else.
class UploadFollowUp {
public:
    // Status lines for the operator, from either thread; `changed` is told after every journal write.
    using StatusSink = std::function<void(const std::string&)>;

    UploadFollowUp(std::string programFolder, StatusSink status, std::function<void()> changed = {},
                   CommandRunner::Limits limits = {});
    ~UploadFollowUp();

    // At the start of a run, on the thread that starts it: opens an existing journal when it is not open
    // (which prunes it) and takes the command line and the save folder. An AfterUpload value too long for the
    // settings file is reported, and no command runs in this run.
    void BeginRun(const SettingsRecord& settings);
    // The engine's UploadContext::UploadEnded.
    void UploadEnded(const UploadResult& result);
    // Ends the commands: without `hurry` they run to their ends (a normal end of the program); with it
    // they get two seconds in all (stop, close, SIGTERM).
    void Finish(bool hurry);
    // Lets the commands still running or waiting end within two seconds, without waiting for them.
    void Hurry();

    const std::string& JournalPath() const { return journal_.Path(); }

private:
    void JournalFailed();
    void CommandEnded(int64_t id, const CommandResult& result);
    // The command's outcome into entry `id`; a failure is shown as the journal's write error.
    void RecordCommand(int64_t id, const std::string& word, const std::string& detail);

    StatusSink status_;
    std::function<void()> changed_;
    UploadJournal journal_;
    std::mutex mutex_;  // the run's settings below
    std::string commandLine_;
    std::string saveFolder_;
    bool journalReported_ = false;  // this run has shown its journal failure
    std::unique_ptr<CommandRunner> commands_;
};

// The environment of the command after one upload.
std::vector<std::pair<std::string, std::string>> AfterUploadEnvironment(const UploadResult& result);
