#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/file_ops.h"
#include "output/output_store.h"

// A file of text lines as one upload's store, appended to (OverWrite 0) or replaced (1); what the text and
// the UTF-8 CSV stores write through. Nothing the store writes is visible as the output before Commit, or
// stays there after Undo:
// - append: the new lines go to the end of the output, whose old size is noted first; they are synced by
//   Prepare, and an undo cuts them away again (or removes the file when this store created it);
// - replace: a DurableReplacement of the output keeping the previous file until Keep; an undo puts the
//   previous file back.
// Only a regular file is an output: a named pipe or a device is refused when the store begins. Failures
// are reported with ReportStoreFailure (the system's text and the output's path).
class TextFileStore : public PreparedStore {
public:
    // `contentType` is the mail attachment's.
    TextFileStore(std::string outputPath, std::string contentType);
    ~TextFileStore() override;
    TextFileStore(const TextFileStore&) = delete;
    TextFileStore& operator=(const TextFileStore&) = delete;

    // Opens the output (append) or the replacement's temporary file. False with Error() set.
    bool Begin(bool overwrite);
    // True when the store's lines start the file: a new or replaced file, or an empty one appended to.
    bool StartsFile() const { return overwrite_ || oldSize_ == 0; }
    bool Write(std::string_view bytes);
    // Makes the new lines durable, not yet in place when replacing. False with Error() set.
    bool Prepare();
    // The errno of the last failure.
    int Error() const { return error_; }
    const std::string& OutputPath() const { return path_; }

    MailAttachment Attachment() override;
    StoreState Commit(OperatorView& view) override;
    StoreState Undo(OperatorView& view) override;
    void Keep() override;

private:
    bool Failed();
    bool BeginAppend();
    // Gives the output back as it was; false with errno set when it cannot.
    bool GiveBack();

    std::string path_;
    std::string contentType_;
    FileHandle file_;  // appending
    DurableReplacement replacement_;
    bool overwrite_ = false;
    bool created_ = false;
    bool prepared_ = false;
    bool committed_ = false;
    bool ended_ = false;  // kept or given back
    off_t oldSize_ = 0;
    int error_ = 0;
};

// How a text store turns its lines into bytes. By default the lines keep the terminal's CP932 bytes.
struct TextEncoding {
    std::string ContentType = "text/plain; charset=Shift_JIS";  // of the mail attachment
    std::string FileStart;  // written first when the store's lines start the file (a byte order mark)
    std::function<std::string(std::string_view)> Encode;  // each piece of lines; empty: kept as they are
};

// Converts the backup file's records into the text lines of `outputPath`: one line per record, the
// selected fields joined by ",", CR LF, encoded by `encoding`, appended (`overwrite` false) or replacing the
// file. The backup is opened first, so a missing backup never touches the output. nullptr after a failure
// reported through `view`, with the output as it was.
std::unique_ptr<TextFileStore> PrepareTextFile(const SettingsRecord& settings, const std::string& outputPath,
                                               bool overwrite, const TextEncoding& encoding,
                                               OperatorView& view);
