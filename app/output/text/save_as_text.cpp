#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "common/file_ops.h"
#include "common/system_error.h"
#include "output/backup_lines.h"
#include "output/record_fields.h"
#include "output/text/save_as_text.h"
#include "output/writers.h"
#include "run/silent_operator_view.h"

namespace {

// Converted lines are written in pieces of about this size.
constexpr size_t kWriteChunk = 65536;

// True when `path` names the file already open as `fd` (the same file through any name or link).
bool IsSameFile(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// The output file during one store. Nothing the store writes is visible as the output until Commit has
// made it durable, and a store that does not commit leaves the output byte for byte as it was:
// - append: the new lines go to the end of the output, whose old size is noted first; abandoning
//   truncates back to it (or removes the file when this store created it);
// - overwrite: a DurableReplacement of the output; abandoning removes its temporary file.
// Only a regular file is an output: a named pipe or a device is refused when the store begins.
class TextOutput {
public:
    TextOutput() = default;
    ~TextOutput() { Abandon(); }
    TextOutput(const TextOutput&) = delete;
    TextOutput& operator=(const TextOutput&) = delete;

    bool Begin(const std::string& path, bool overwrite) {
        overwrite_ = overwrite;
        return (overwrite ? BeginReplace(path) : BeginAppend(path)) || Failed();
    }

    bool Write(std::string_view bytes) {
        return (overwrite_ ? replacement_.Write(bytes) : WriteAllTo(file_.Get(), bytes)) || Failed();
    }

    // Makes the new lines durable, not yet in place when replacing: appended lines are synced, a
    // replacement waits in its temporary file.
    bool Prepare() {
        if (prepared_) {
            return true;
        }
        if (overwrite_) {
            prepared_ = replacement_.Prepare();
            return prepared_ || Failed();
        }
        if (FileOps().DataSync(file_.Get()) != 0) {
            return Failed();
        }
        if (created_) {
            if (const int error = SyncParentFolder(path_); error != 0) {
                error_ = error;
                return false;
            }
        }
        prepared_ = true;
        return true;
    }

    // Prepares when not done yet and, when replacing, puts the new output in place of the old.
    bool Commit() {
        if (overwrite_) {
            return replacement_.Commit() || Failed();
        }
        if (!Prepare()) {
            return false;
        }
        if (file_.Close() != 0) {
            return Failed();
        }
        committed_ = true;
        return true;
    }

    // The file that holds the new output once prepared: the temporary file of a replacement, else the
    // output itself.
    const std::string& PreparedPath(const std::string& output) const {
        return overwrite_ ? replacement_.TemporaryPath() : output;
    }

    // Gives back the output as it was before Begin.
    void Abandon() {
        if (overwrite_) {
            replacement_.Abandon();
        }
        if (committed_ || overwrite_) {
            return;
        }
        committed_ = true;  // once only
        if (created_) {
            file_.Close();
            FileOps().Unlink(path_);
        } else if (file_.IsOpen()) {
            FileOps().Truncate(file_.Get(), oldSize_);
            FileOps().DataSync(file_.Get());
            file_.Close();
        }
    }

    int Error() const { return error_; }

private:
    bool Failed() {
        error_ = errno;
        return false;
    }

    bool BeginAppend(const std::string& path) {
        path_ = path;
        file_.Reset(OpenRegularFile(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0));
        if (!file_.IsOpen() && errno == ENOENT) {
            file_.Reset(OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
            created_ = file_.IsOpen();
            if (!file_.IsOpen() && errno == EEXIST) {  // a link to a file that does not exist yet
                file_.Reset(OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
            }
        }
        struct stat info {};
        if (!file_.IsOpen() || ::fstat(file_.Get(), &info) != 0) {
            return false;
        }
        oldSize_ = info.st_size;
        return true;
    }

    bool BeginReplace(const std::string& path) { return replacement_.Begin(path, 0666); }

    std::string path_;  // appending
    FileHandle file_;   // appending
    DurableReplacement replacement_;
    bool overwrite_ = false;
    bool created_ = false;
    bool prepared_ = false;
    bool committed_ = false;
    off_t oldSize_ = 0;
    int error_ = 0;
};

// The text output written and durable, waiting to be committed or abandoned.
class TextStore : public PreparedStore {
public:
    explicit TextStore(const std::string& outputPath) : outputPath_(outputPath) {}

    TextOutput& Output() { return output_; }

    const std::string& AttachmentPath() const override { return output_.PreparedPath(outputPath_); }
    std::string AttachmentName() const override { return FileNamePart(outputPath_); }

    bool Commit(OperatorView& view) override {
        if (output_.Commit()) {
            return true;
        }
        output_.Abandon();
        ReportStoreFailure(view, output_.Error(), outputPath_);
        return false;
    }
    void Abandon(OperatorView&) override { output_.Abandon(); }

private:
    std::string outputPath_;
    TextOutput output_;
};

}  // namespace

// Converts the backup file into the text output: one line per record, the selected fields joined by ",",
// CR LF. The backup is opened first, so a missing backup never touches the output file; any failure
// leaves the output as it was.
std::unique_ptr<PreparedStore> PrepareText(const SettingsRecord& settings, RunState& run,
                                           OperatorView& view) {
    view.SetBusyPointer(true);
    const auto fail = [&](int number, const std::string& path) {
        ReportStoreFailure(view, number, path);
        return nullptr;
    };

    BackupLines backup;
    if (!backup.Open(settings.BackFilePath)) {
        return fail(backup.ErrorNumber(), settings.BackFilePath);
    }
    // Writing the backup into itself would empty it (overwrite) or never reach its end (append).
    if (IsSameFile(backup.Descriptor(), run.OutputPath)) {
        return fail(kStoreFailureOutputIsBackup, run.OutputPath);
    }
    auto store = std::make_unique<TextStore>(run.OutputPath);
    TextOutput& output = store->Output();
    // The output is given back before the operator is told, as the message box may wait a long time.
    const auto failOutput = [&](int number, const std::string& path) {
        output.Abandon();
        return fail(number, path);
    };
    if (!output.Begin(run.OutputPath, settings.OverWrite == 1)) {
        return failOutput(output.Error(), run.OutputPath);
    }

    std::string record;
    std::string out;
    while (backup.Next(record)) {
        out += BuildTextLine(SelectFields(SplitRecord(record), settings.SelectedFields));
        out += "\r\n";
        if (out.size() >= kWriteChunk) {
            if (!output.Write(out)) {
                return failOutput(output.Error(), run.OutputPath);
            }
            out.clear();
        }
    }
    if (backup.Failed()) {
        return failOutput(backup.ErrorNumber(), settings.BackFilePath);
    }
    if (!output.Write(out) || !output.Prepare()) {
        return failOutput(output.Error(), run.OutputPath);
    }
    view.SetBusyPointer(false);
    return store;
}

bool SaveAsText(const SettingsRecord& settings, RunState& run, OperatorView& view) {
    const std::unique_ptr<PreparedStore> store = PrepareText(settings, run, view);
    return store != nullptr && store->Commit(view);
}

namespace {

// A view that shows nothing and keeps the last message: the text writer's report, when it makes the
// mail attachment, becomes the mail's failure text instead of a box.
class QuietView : public SilentOperatorView {
public:
    void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
        LastMessage = text;
    }
    std::string LastMessage;
};

}  // namespace

TextAttachment::~TextAttachment() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool TextAttachment::Make(const SettingsRecord& settings, const std::string& tableName, std::string& why) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/gathra-mail-XXXXXX";
    // mkdtemp makes the folder readable by its owner only.
    if (::mkdtemp(pattern.data()) == nullptr) {
        why = "temporary folder " + pattern + ": " + SystemErrorText(errno);
        return false;
    }
    folder_ = pattern;
    // The name may hold what a file name cannot.
    std::string name = tableName.empty() ? "upload" : tableName;
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    path_ = folder_ + "/" + name + ".txt";

    SettingsRecord text = settings;
    text.OverWrite = 1;
    RunState target;
    target.OutputPath = path_;
    QuietView quiet;
    if (!SaveAsText(text, target, quiet)) {
        why = quiet.LastMessage;
        return false;
    }
    return true;
}
