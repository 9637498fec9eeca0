#include "settings/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>

#include "codec/text_encoding.h"
#include "common/blanks.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
// A settings file is a few kilobytes; this cap keeps a path that names something huge (or endless,
// through a symlink) from hanging the program at start-up.
constexpr off_t kMaxFileSize = 16 * 1024 * 1024;
// Symlink hops followed before giving up with ELOOP, as the kernel does.
constexpr int kMaxSymlinkHops = 40;

void SetError(IniError* error, int code) {
    if (error != nullptr) {
        error->Code = code;
        error->Description = std::generic_category().message(code);
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

bool ReadUmask(mode_t* mask) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            *mask = static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
            return true;
        }
    }
    return false;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Follows `path` through symlinks to the file that a write should replace. A dangling link resolves to
// the path it names, so the file is created there.
bool ResolveTarget(const std::string& path, std::string* target, IniError* error) {
    std::string current = path;
    for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                *target = current;
                return true;
            }
            SetError(error, errno);
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            *target = current;
            return true;
        }
        std::string link(static_cast<size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
        const ssize_t length = readlink(current.c_str(), link.data(), link.size());
        if (length < 0) {
            SetError(error, errno);
            return false;
        }
        link.resize(static_cast<size_t>(length));
        if (!link.empty() && link.front() != '/') {
            link = DirectoryOf(current) + "/" + link;
        }
        current = link;
    }
    SetError(error, ELOOP);
    return false;
}

// Writes all of `data` at `offset`, retrying short writes and EINTR. False with errno set.
bool WriteAllAt(int fd, std::string_view data, off_t offset) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote =
            pwrite(fd, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(wrote);
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

// Closes a descriptor when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }
    // Closes now; false with errno set when the close reports a failure.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

// Rewrites the existing file `target` in place with `content`, for a folder where no temporary file can
// be made. The new length is reserved first, so a full disk fails before anything is overwritten; after
// the write the file is cut to the new length and synced. On any failure the old text is put back.
bool RewriteInPlace(const std::string& target, std::string_view content, IniError* error) {
    Descriptor file(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    std::string old;
    if (file.Get() < 0 || !ReadAllFrom(file.Get(), old)) {
        SetError(error, errno);
        return false;
    }
    if (content.size() > old.size()) {
        const int reserved = posix_fallocate(file.Get(), 0, static_cast<off_t>(content.size()));
        if (reserved != 0) {
            // Nothing was overwritten; a reservation past the old end is given back.
            [[maybe_unused]] const int ignored = ftruncate(file.Get(), static_cast<off_t>(old.size()));
            SetError(error, reserved);
            return false;
        }
    }
    if (WriteAllAt(file.Get(), content, 0) &&
        ftruncate(file.Get(), static_cast<off_t>(content.size())) == 0 && fsync(file.Get()) == 0) {
        if (file.Close()) {
            return true;
        }
        SetError(error, errno);
        return false;
    }
    const int code = errno;
    // The old text fits the blocks it had, so putting it back does not need new space.
    if (WriteAllAt(file.Get(), old, 0)) {
        [[maybe_unused]] const int truncated = ftruncate(file.Get(), static_cast<off_t>(old.size()));
        [[maybe_unused]] const int synced = fsync(file.Get());
    }
    SetError(error, code);
    return false;
}

// Closes a descriptor and removes a temporary file unless released.
class TempFile {
public:
    explicit TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~TempFile() {
        if (fd_ >= 0) {
            close(fd_);
        }
        if (!path_.empty()) {
            unlink(path_.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }
    void Release() { path_.clear(); }

private:
    std::string path_;
    int fd_;
};

}  // namespace

bool IniFile::Load(const std::string& path, IniError* error) {
    lines_.clear();
    bom_ = false;

    // O_NONBLOCK keeps a FIFO at the path from blocking the open; it is rejected below.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        SetError(error, errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kMaxFileSize) {
        const int code = S_ISDIR(info.st_mode) ? EISDIR : info.st_size > kMaxFileSize ? EFBIG : EINVAL;
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

bool IniFile::Save(const std::string& path, IniError* error) const {
    return ReplaceFileAtomically(path, Text(), error);
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content, IniError* error) {
    std::string target;
    if (!ResolveTarget(path, &target, error)) {
        return false;
    }

    mode_t mode = 0;
    bool exists = false;
    struct stat info {};
    if (stat(target.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            SetError(error, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
            return false;
        }
        // Replacing by rename would get past a file the operator made read-only; writing in place would not.
        if (access(target.c_str(), W_OK) != 0) {
            SetError(error, errno);
            return false;
        }
        exists = true;
        mode = info.st_mode & 07777;
    } else if (errno == ENOENT) {
        mode_t mask = 022;
        ReadUmask(&mask);
        mode = 0666 & ~mask;
    } else {
        SetError(error, errno);
        return false;
    }

    const size_t slash = target.rfind('/');
    const std::string directory = DirectoryOf(target);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    std::string pattern = directory + "/." + base + ".XXXXXX";
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        // A folder this user may not write to, holding a settings file the user may write: the file is
        // rewritten where it is, since no temporary file can stand beside it.
        if (exists && (errno == EACCES || errno == EPERM)) {
            return RewriteInPlace(target, content, error);
        }
        SetError(error, errno);
        return false;
    }
    TempFile temp(pattern, fd);

    if (!WriteAllAt(temp.Fd(), content, 0)) {
        SetError(error, errno);
        return false;
    }
    if (fchmod(temp.Fd(), mode) != 0) {
        SetError(error, errno);
        return false;
    }
    if (exists && (info.st_uid != geteuid() || info.st_gid != getegid())) {
        // Only a privileged process can hand the file back to its owner; others keep their own.
        [[maybe_unused]] const int ignored = fchown(temp.Fd(), info.st_uid, info.st_gid);
    }
    // The data must be on disk before the rename makes it the settings file.
    if (fsync(temp.Fd()) != 0) {
        SetError(error, errno);
        return false;
    }
    if (!temp.Close()) {
        SetError(error, errno);
        return false;
    }
    if (rename(temp.Path().c_str(), target.c_str()) != 0) {
        SetError(error, errno);
        return false;
    }
    temp.Release();

    const int dirFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}
