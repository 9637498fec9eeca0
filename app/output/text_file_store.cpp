#include "output/text_file_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "output/backup_lines.h"
#include "output/record_fields.h"
#include "output/writers.h"

namespace {

// Converted lines are written in pieces of about this size.
constexpr size_t kWriteChunk = 65536;

// True when `path` names the file already open as `fd` (the same file through any name or link).
bool IsSameFile(int fd, const std::string& path) {
    const FileAt file(path);
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::fstatat(file.Folder, file.Name.c_str(), &named, 0) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

TextFileStore::TextFileStore(std::string outputPath, std::string contentType)
    : path_(std::move(outputPath)), contentType_(std::move(contentType)) {}

TextFileStore::~TextFileStore() {
    if (!ended_ && !committed_) {
        GiveBack();
    }
}

bool TextFileStore::Failed() {
    error_ = errno;
    return false;
}

bool TextFileStore::Begin(bool overwrite) {
    overwrite_ = overwrite;
    if (overwrite) {
        replacement_.KeepPrevious();
        return replacement_.Begin(path_, 0666) || Failed();
    }
    return BeginAppend() || Failed();
}

bool TextFileStore::BeginAppend() {
    file_.Reset(OpenRegularFile(path_, O_WRONLY | O_APPEND | O_CLOEXEC, 0));
    if (!file_.IsOpen() && errno == ENOENT) {
        file_.Reset(OpenRegularFile(path_, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        created_ = file_.IsOpen();
        if (!file_.IsOpen() && errno == EEXIST) {  // a link to a file that does not exist yet
            file_.Reset(OpenRegularFile(path_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
        }
    }
    struct stat info {};
    if (!file_.IsOpen() || ::fstat(file_.Get(), &info) != 0) {
        return false;
    }
    oldSize_ = info.st_size;
    return true;
}

bool TextFileStore::Write(std::string_view bytes) {
    return (overwrite_ ? replacement_.Write(bytes) : WriteAllTo(file_.Get(), bytes)) || Failed();
}

bool TextFileStore::Prepare() {
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

MailAttachment TextFileStore::Attachment() {
    // A replacement waits in its temporary file until Commit; appended lines are in the output already.
    return {overwrite_ ? replacement_.TemporaryPath() : path_, FileNamePart(path_), contentType_, {}};
}

StoreState TextFileStore::Commit(OperatorView& view) {
    if (overwrite_ ? replacement_.Commit() : Prepare()) {
        committed_ = true;
        return StoreState::Committed;
    }
    if (overwrite_) {
        error_ = errno;  // Prepare has noted its own
    }
    // A replacement that failed has put the previous file back itself when it could; appended lines go.
    const bool givenBack = overwrite_ ? !replacement_.Committed() : GiveBack();
    ended_ = true;  // what is reported stands
    ReportStoreFailure(view, error_, path_);
    return givenBack ? StoreState::Failed : StoreState::UndoFailed;
}

StoreState TextFileStore::Undo(OperatorView& view) {
    // Once only: an undo reported as failed is not tried again unseen.
    ended_ = true;
    if (overwrite_ ? replacement_.Undo() : GiveBack()) {
        return StoreState::Undone;
    }
    ReportStoreFailure(view, errno, path_);
    return StoreState::UndoFailed;
}

void TextFileStore::Keep() {
    ended_ = true;
    replacement_.Keep();
    file_.Close();
}

bool TextFileStore::GiveBack() {
    if (overwrite_) {
        return replacement_.Undo();
    }
    if (!file_.IsOpen()) {
        return true;  // given back already
    }
    if (created_) {
        if (FileOps().Unlink(path_) != 0 && errno != ENOENT) {
            return false;
        }
        file_.Close();
        if (const int error = SyncParentFolder(path_); error != 0) {
            errno = error;
            return false;
        }
        return true;
    }
    if (FileOps().Truncate(file_.Get(), oldSize_) != 0 || FileOps().DataSync(file_.Get()) != 0) {
        return false;
    }
    file_.Close();
    return true;
}

std::unique_ptr<TextFileStore> PrepareTextFile(const SettingsRecord& settings, const std::string& outputPath,
                                               bool overwrite, const TextEncoding& encoding,
                                               OperatorView& view) {
    view.SetBusyPointer(true);
    const auto fail = [&](int number, const std::string& path) {
        ReportStoreFailure(view, number, path);
        return nullptr;
    };

    BackupLines backup;
    if (!backup.Open(ProgramFile(settings, settings.BackFilePath))) {
        return fail(backup.ErrorNumber(), settings.BackFilePath);
    }
    // Writing the backup into itself would empty it (overwrite) or never reach its end (append).
    if (IsSameFile(backup.Descriptor(), outputPath)) {
        return fail(kStoreFailureOutputIsBackup, outputPath);
    }
    auto store = std::make_unique<TextFileStore>(outputPath, encoding.ContentType);
    // The output is given back (by the store going) before the operator is told, as the message box may
    // wait a long time.
    const auto failOutput = [&](int number, const std::string& path) {
        store.reset();
        return fail(number, path);
    };
    if (!store->Begin(overwrite)) {
        return failOutput(store->Error(), outputPath);
    }

    if (store->StartsFile() && !encoding.FileStart.empty() && !store->Write(encoding.FileStart)) {
        return failOutput(store->Error(), outputPath);
    }
    std::string out;
    const auto flush = [&] {
        const bool written = store->Write(encoding.Encode ? encoding.Encode(out) : out);
        out.clear();
        return written;
    };
    std::string record;
    while (backup.Next(record)) {
        out += BuildTextLine(SelectFields(SplitRecord(record), settings.SelectedFields));
        out += "\r\n";
        if (out.size() >= kWriteChunk && !flush()) {
            return failOutput(store->Error(), outputPath);
        }
    }
    if (backup.Failed()) {
        return failOutput(backup.ErrorNumber(), settings.BackFilePath);
    }
    if (!flush() || !store->Prepare()) {
        return failOutput(store->Error(), outputPath);
    }
    view.SetBusyPointer(false);
    return store;
}
