#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "run/operator_view.h"
#include "run/pc_clock.h"
#include "run/run_state.h"
#include "run/upload_result.h"
#include "settings/settings_record.h"

// The seam between the engine and the stores. The engine holds one OutputStore for a run (the stores
// layer decodes SaveFormat and XlsType into it) and knows no format: it asks the store for its word, its
// target check, the output's name, and, at "END", for a PreparedStore that it commits, mails, undoes or
// keeps as the upload's end decides.
//
// The end of an upload, in the order the engine takes it:
//   Prepare   the records are written and durable, not yet the output (or, where the mail attaches the
//             output itself, already in it but still undoable);
//   (mail)    the attachment is mailed;
//   Commit    the records are the output, durable; what the undo needs is still kept;
//   "ACK"     the final answer is written and found out;
//   Keep      only then is the undo given up.
// A failed mail, a failed commit or an "ACK" that is not out leads to Undo instead of Keep, so that after
// "CAN" (or no answer) the output is as it was and the terminal's resend stores each record once.

// Where the output of an upload goes and what the file label shows. Texts are UTF-8.
struct OutputName {
    std::string OutputPath;  // the file, the database file, or the data source's label
    std::string TableName;   // database stores only
    std::string FileLabel;
};

// The option groups of the settings dialog that a store reads.
struct StoreOptions {
    bool FileName = false;   // FixFname and AddDate name the output file
    bool OverWrite = false;  // OverWrite appends or replaces
    bool Workbook = false;   // XlsTemp, XlsType, XlsF1, XlsStartLine
    bool Database = false;   // MdbType, MdbName, MdbTblName
};

// The file the mail attaches: its path (empty when it could not be made, with the reason in Why), the name
// it carries in the mail and its content type.
struct MailAttachment {
    std::string Path;
    std::string Name;
    std::string ContentType;
    std::string Why;
};

// One upload's store between Prepare and its end. Going without Commit abandons it (the output stays as
// it was); going after Commit without Keep or Undo keeps it.
class PreparedStore {
public:
    virtual ~PreparedStore() = default;

    // The attachment of the mail, holding what the store holds.
    virtual MailAttachment Attachment() = 0;
    // The longest the mail may take, in seconds, for a store that holds something up meanwhile (an open
    // transaction); 0 for no cap of its own.
    virtual long MailSecondsCap() const { return 0; }

    // Makes the store the output, durable, keeping what an undo needs. Committed; Failed when the output
    // is as it was (a folder sync that failed after the new file was in place puts the old one back
    // first); UndoFailed when even that failed. Failures are reported through `view`.
    virtual StoreState Commit(OperatorView& view) = 0;
    // Gives the output back as it was before the upload, before or after Commit: Undone; UndoFailed after
    // a reported failure that names the output still holding the records; Committed for a store that
    // cannot be taken back once committed (a server database), which says so through `view`.
    virtual StoreState Undo(OperatorView& view) = 0;
    // The final answer is out: what kept the undo possible (a previous file, a length, row ids) goes.
    virtual void Keep() {}
};

// Commit and Keep of a prepared store (nullptr: a prepare that failed), for a caller that gives no final
// answer. True when stored.
bool CommitAndKeep(std::unique_ptr<PreparedStore> store, OperatorView& view);

// One kind of store: text, workbook, database, ... A run makes one from the settings and uses it for
// every upload of the run.
class OutputStore {
public:
    virtual ~OutputStore() = default;

    // The word for the journal and GATHRA_FORMAT ("text", "xls", "xlsx", "database", "csv").
    virtual std::string Word() const = 0;
    // The settings this store reads, for the settings dialog.
    virtual StoreOptions Options() const = 0;

    // Before the port is opened: true when the store's target is there. Otherwise the operator has been
    // told and the run ends. A store with a target fixed for the run sets run.OutputPath here.
    virtual bool CheckTarget(const SettingsRecord& settings, RunState& run, OperatorView& view);
    // True when the terminal ID becomes part of the output's name under these settings; the engine then
    // refuses an ID that cannot be part of a name.
    virtual bool NameUsesTerminalId(const SettingsRecord& settings) const = 0;
    // After the enquiry answer: the output of this upload (`terminalId` in UTF-8).
    virtual OutputName NameOutput(const SettingsRecord& settings, const RunState& run,
                                  std::string_view terminalId, const PcDateTime& now) const = 0;

    // Stores the backup file's records into run.OutputPath (and run.TableName) as far as Prepare goes;
    // nullptr after a failure reported through `view`, with the output as it was.
    virtual std::unique_ptr<PreparedStore> Prepare(const SettingsRecord& settings, RunState& run,
                                                   OperatorView& view) = 0;

    // Prepare, then CommitAndKeep: the store in one step, for a caller that gives no final answer (a test,
    // a benchmark, a check). True when stored.
    bool Save(const SettingsRecord& settings, RunState& run, OperatorView& view);
};
