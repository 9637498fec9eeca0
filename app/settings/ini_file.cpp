#include "settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "codec/text_encoding.h"
#include "common/blanks.h"
#include "common/file_ops.h"
#include "common/system_error.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// A settings file is a few kilobytes; this cap keeps a path that names something huge (or endless,
// through a symlink) from hanging the program at start-up.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;

void SetError(IniError* error, int code) {
    if (error != nullptr) {
        error->Code = code;
        error->Description = SystemErrorText(code);
    }
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The name of a section header line, or nullopt when the line is no header.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = TrimBlanks(line);
    if (line.empty() || line.front() != '[') {
        return std::nullopt;
    }
    line.remove_prefix(1);
    const size_t close = line.find(']');
    return TrimBlanks(line.substr(0, close));
}

struct Entry {
    std::string_view Key;
    std::string_view Value;
};

// The key and value of an entry line, or nullopt for headers, comments and lines without "=".
std::optional<Entry> ParseEntry(std::string_view line) {
    const std::string_view trimmed = TrimBlanks(line);
    if (trimmed.empty() || trimmed.front() == '[' || trimmed.front() == ';' || trimmed.front() == '#') {
        return std::nullopt;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view key = TrimBlanks(line.substr(0, equals));
    if (key.empty()) {
        return std::nullopt;
    }
    return Entry{key, TrimBlanks(line.substr(equals + 1))};
}

bool HasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A file that is not valid UTF-8 as a whole: every line that is valid UTF-8 stays, every other line is
// taken as CP932 (carried over from an older installation), so one stray byte garbles only its own line.
// False when a line needs CP932 and no converter can be opened.
bool DecodeLines(std::string_view content, std::string& text) {
    text.clear();
    size_t start = 0;
    while (start < content.size()) {
        const size_t newline = content.find('\n', start);
        const size_t end = newline == std::string_view::npos ? content.size() : newline + 1;
        const std::string_view line = content.substr(start, end - start);
        if (IsValidUtf8(line)) {
            text += line;
        } else {
            bool converted = false;
            text += Cp932ToUtf8(line, &converted);
            if (!converted) {
                return false;
            }
        }
        start = end;
    }
    return true;
}

// Reads the whole open file from its start. False with errno set.
bool ReadAllFrom(int fd, std::string& bytes) {
    bytes.clear();
    char buffer[8192];
    while (true) {
        const ssize_t got = pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            return true;
        }
        bytes.append(buffer, static_cast<size_t>(got));
        if (bytes.size() > static_cast<size_t>(kMaxFileSize)) {
            errno = EFBIG;
            return false;
        }
    }
}

// Puts `bytes` at the start of the open file, cuts it there and syncs it. False with errno set.
bool RewriteFrom(int fd, std::string_view bytes) {
    return lseek(fd, 0, SEEK_SET) == 0 && WriteAllTo(fd, bytes) &&
           FileOps().Truncate(fd, static_cast<off_t>(bytes.size())) == 0 && FileOps().DataSync(fd) == 0;
}

// Rewrites the existing file `target` in place with `content`, for a folder where no temporary file can
// be made. The new length is reserved first, so a full disk fails before anything is overwritten; after
// the write the file is cut to the new length and synced. On any failure the old text is put back.
bool RewriteInPlace(const FileAt& target, std::string_view content, IniError* error) {
    FileHandle file(FileOps().Open(target, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0));
    std::string old;
    if (!file.IsOpen() || !ReadAllFrom(file.Get(), old)) {
        SetError(error, errno);
        return false;
    }
    if (content.size() > old.size()) {
        const int reserved = posix_fallocate(file.Get(), 0, static_cast<off_t>(content.size()));
        if (reserved != 0) {
            // Nothing was overwritten; a reservation past the old end is given back.
            FileOps().Truncate(file.Get(), static_cast<off_t>(old.size()));
            SetError(error, reserved);
            return false;
        }
    }
    if (RewriteFrom(file.Get(), content)) {
        if (file.Close() == 0) {
            return true;
        }
        SetError(error, errno);
        return false;
    }
    const int code = errno;
    // The old text fits the blocks it had, so putting it back does not need new space.
    RewriteFrom(file.Get(), old);
    SetError(error, code);
    return false;
}

}  // namespace

bool IniFile::Load(const FileAt& path, IniError* error) {
    lines_.clear();
    bom_ = false;

    // A named pipe at the path neither blocks the open nor is read: only a regular file is.
    const int fd = OpenRegularFile(path, O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        SetError(error, errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || info.st_size > kMaxFileSize) {
        const int code = info.st_size > kMaxFileSize ? EFBIG : errno;
        close(fd);
        SetError(error, code);
        return false;
    }
    std::string bytes;
    char buffer[8192];
    while (true) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int code = errno;
            close(fd);
            SetError(error, code);
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
        if (bytes.size() > static_cast<size_t>(kMaxFileSize)) {
            close(fd);
            SetError(error, EFBIG);
            return false;
        }
    }
    close(fd);

    std::string_view content = bytes;
    if (content.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        content.remove_prefix(kUtf8Bom.size());
        bom_ = true;
    }
    std::string text;
    if (IsValidUtf8(content)) {
        text.assign(content);
    } else if (!DecodeLines(content, text)) {
        SetError(error, EILSEQ);
        return false;
    }

    size_t start = 0;
    while (start < text.size()) {
        const size_t newline = text.find('\n', start);
        Line line;
        if (newline == std::string::npos) {
            line.Text = text.substr(start);
            start = text.size();
        } else {
            line.Text = text.substr(start, newline - start);
            line.End = "\n";
            start = newline + 1;
        }
        if (!line.Text.empty() && line.Text.back() == '\r') {
            line.Text.pop_back();
            line.End = "\r" + line.End;
        }
        lines_.push_back(std::move(line));
    }
    return true;
}

size_t IniFile::FindSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        const auto name = SectionName(lines_[i].Text);
        if (name && EqualsIgnoringCase(*name, section)) {
            return i;
        }
    }
    return std::string::npos;
}

size_t IniFile::FindKey(size_t header, std::string_view key) const {
    for (size_t i = header + 1; i < lines_.size(); ++i) {
        if (SectionName(lines_[i].Text)) {
            break;
        }
        const auto entry = ParseEntry(lines_[i].Text);
        if (entry && EqualsIgnoringCase(entry->Key, key)) {
            return i;
        }
    }
    return std::string::npos;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    const size_t header = FindSection(section);
    if (header == std::string::npos) {
        return std::nullopt;
    }
    const size_t at = FindKey(header, key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    return std::string(ParseEntry(lines_[at].Text)->Value);
}

std::string IniFile::NewLineEnd() const {
    for (const Line& line : lines_) {
        if (line.End == "\r\n" || line.End == "\n") {
            return line.End;
        }
    }
    return "\n";
}

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    // A name must read back as itself: no blanks around it, nothing that would make the line a header
    // or a comment, no "=" inside a key, no "]" inside a section name.
    const auto badName = [](std::string_view name) {
        return name.empty() || TrimBlanks(name) != name || HasLineBreakOrNul(name) || name.front() == '[' ||
               name.front() == ';' || name.front() == '#' || !IsValidUtf8(name);
    };
    if (badName(key) || badName(section) || key.find('=') != std::string_view::npos ||
        section.find(']') != std::string_view::npos) {
        return false;
    }
    // A line break would split the entry and put the rest of the value into the file as a line of its
    // own; a NUL would cut it; invalid UTF-8 would make the whole file read as CP932 next time.
    if (HasLineBreakOrNul(value) || !IsValidUtf8(value)) {
        return false;
    }

    const std::string end = NewLineEnd();
    const auto terminateLast = [this, &end] {
        if (!lines_.empty() && lines_.back().End != "\n" && lines_.back().End != "\r\n") {
            lines_.back().End = lines_.back().End == "\r" ? "\r\n" : end;
        }
    };

    const size_t header = FindSection(section);
    if (header == std::string::npos) {
        terminateLast();
        lines_.push_back({"[" + std::string(section) + "]", end});
        lines_.push_back({std::string(key) + "=" + std::string(value), end});
        return true;
    }
    const size_t at = FindKey(header, key);
    if (at != std::string::npos) {
        // Keep the key as the file spells it, with its indentation and the blanks around "="; only the
        // value changes.
        std::string& text = lines_[at].Text;
        const size_t valueStart = text.find_first_not_of(" \t", text.find('=') + 1);
        text =
            text.substr(0, valueStart == std::string::npos ? text.size() : valueStart) + std::string(value);
        return true;
    }
    size_t last = header;
    for (size_t i = header + 1; i < lines_.size() && !SectionName(lines_[i].Text); ++i) {
        if (!TrimBlanks(lines_[i].Text).empty()) {
            last = i;
        }
    }
    if (last + 1 == lines_.size()) {
        terminateLast();
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(last + 1),
                  Line{std::string(key) + "=" + std::string(value), end});
    return true;
}

std::string IniFile::Text() const {
    std::string text;
    if (bom_) {
        text += kUtf8Bom;
    }
    for (const Line& line : lines_) {
        text += line.Text;
        text += line.End;
    }
    return text;
}

bool IniFile::Save(const FileAt& path, IniError* error) const {
    return ReplaceFileAtomically(path, Text(), error);
}

bool ReplaceFileAtomically(const FileAt& path, std::string_view content, IniError* error) {
    if (const int code = CheckRegularOrAbsent(path); code != 0) {
        SetError(error, code);
        return false;
    }
    DurableReplacement replacement;
    if (!replacement.Begin(path, 0666)) {
        // A folder this user may not write to, holding a settings file the user may write: the file is
        // rewritten where it is, since no temporary file can stand beside it.
        if (replacement.FolderRefusedTemporaryFile()) {
            return RewriteInPlace(replacement.Target(), content, error);
        }
        SetError(error, errno);
        return false;
    }
    // The new file is in place once renamed; a folder sync that then fails does not undo that.
    if (!replacement.Write(content) || (!replacement.Commit() && !replacement.Committed())) {
        SetError(error, errno);
        return false;
    }
    return true;
}
