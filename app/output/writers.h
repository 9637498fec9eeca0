#pragma once

#include <memory>
#include <string>

#include "run/operator_view.h"

// What the three writers (output/text, output/workbook, output/database) share: each reads the backup
// file (SettingsRecord::BackFilePath), writes RunState::OutputPath (the database: OutputPath and
// TableName), reports its own failures through the view, and returns true on success.

// The `number` of ReportStoreFailure for an output that names the backup file itself.
inline constexpr int kStoreFailureOutputIsBackup = -1;

// The writers' failure report: the system's description of `number` and `path`, then the component,
// in a message box and as a status line. Also used for a backup file that could not be made durable.
void ReportStoreFailure(OperatorView& view, int number, const std::string& path);

// A store that is written and durable but not yet final: what a writer hands back when the upload mails
// its output, so that a failed mail gives the old output back (after "CAN" the terminal sends the same
// records again, which a kept store would hold twice). Going without Commit abandons the store.
class PreparedStore {
public:
    virtual ~PreparedStore() = default;

    // The file the mail attaches (it holds the stored output) and the name it carries in the mail.
    virtual const std::string& AttachmentPath() const = 0;
    virtual std::string AttachmentName() const = 0;
    // The longest the mail may take, in seconds, for a store that holds something up meanwhile (an open
    // transaction); 0 for no cap of its own.
    virtual long MailSecondsCap() const { return 0; }

    // Puts the store in place for good (durable when it returns true). A failure is reported through
    // `view` with the writer's failure text.
    virtual bool Commit(OperatorView& view) = 0;
    // Undoes the store: the output is as it was before. A failure to undo is reported through `view`.
    virtual void Abandon(OperatorView& view) = 0;
};

// The last part of a path, the name a file carries in a mail.
std::string FileNamePart(const std::string& path);
