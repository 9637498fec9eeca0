#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_ops.h"

// A private-profile (INI) file held in memory, with the semantics the settings store relies on:
//
// - "[name]" starts a section; "key=value" is an entry; lines starting with ";" or "#" are comments.
//   Section and key names compare without regard to (ASCII) case; blanks around names and values are
//   not part of them. The first section of a name and the first entry of a key count; later repeats
//   are kept but not looked at. A line without "=" is kept and is no entry.
// - Values are plain text: quotes are not stripped, so whatever was written reads back the same.
// - Changing a value rewrites only that entry's line; a missing key is added after the last non-blank
//   line of its section, a missing section is added at the end of the file. Every other line, comment
//   and blank line stays byte for byte, each with its own line end.
// - The file is UTF-8. In a file that is not valid UTF-8 as a whole, each line that is not valid UTF-8 is
//   taken as CP932 (carried over from an older installation), converted on load and so saved as UTF-8;
//   the other lines stay as they are. A UTF-8 byte order mark is kept.
// - Lines end with LF or CR LF. New lines take the line end of the file's first line (LF in a new file).
// - Save writes a new file beside the old one and renames it over the old one: a crash or a full disk
//   leaves either the old or the new file, never a mix. The old file's permission bits are kept, a file
//   this user may not write is refused as it would be by a write in place, and a path that is a symlink
//   is replaced at its target so the link stays. Only when the folder does not let this user create the
//   temporary file, but the file itself is writable, is the file rewritten in place: the new length is
//   reserved first (a full disk fails before anything is overwritten), then written, cut and synced, and
//   on any failure the old text is put back.

struct IniError {
    int Code = 0;             // an errno value
    std::string Description;  // the system's text for it
};

class IniFile {
public:
    // Reads `path`. A missing file gives an empty document and success; any other failure (no
    // permission, not a regular file, too large) gives false with the error.
    bool Load(const FileAt& path, IniError* error = nullptr);

    // The value of `key` in `section`, or nullopt when the section or the key is missing.
    std::optional<std::string> Get(std::string_view section, std::string_view key) const;

    // Sets `key` in `section` to `value`. False (and nothing changed) when the key name could not be
    // read back as that key, or when the value would not stay one line of valid UTF-8.
    bool Set(std::string_view section, std::string_view key, std::string_view value);

    // The whole file as it would be saved.
    std::string Text() const;

    // Replaces `path` atomically with Text(); see the notes above.
    bool Save(const FileAt& path, IniError* error = nullptr) const;

private:
    struct Line {
        std::string Text;  // without its line end
        std::string End;   // "\n", "\r\n" or "" (last line without a line end)
    };

    // Index of the section's header line, or npos.
    size_t FindSection(std::string_view section) const;
    // Index of the first entry line of `key` in the section starting at `header`, or npos.
    size_t FindKey(size_t header, std::string_view key) const;
    std::string NewLineEnd() const;

    std::vector<Line> lines_;
    bool bom_ = false;
};

// Atomically replaces the file at `path` (following symlinks to their target) with `content`.
bool ReplaceFileAtomically(const FileAt& path, std::string_view content, IniError* error = nullptr);
