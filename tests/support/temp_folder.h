#pragma once

#include <string>
#include <string_view>

// A fresh folder under the system's temporary folder (or under `parent`), removed with everything in it
// when the object goes. Path() is empty when the folder could not be made.
class TempFolder {
public:
    explicit TempFolder(const std::string& parent = {});
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return path_; }
    bool Valid() const { return !path_.empty(); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Copies the file at `source` into the folder as `name` (replacing one there). False when it cannot.
    bool CopyFile(const std::string& source, const std::string& name) const;
    // Copies libquorlin.so from `binDir`, so the folder is a program folder the link library runs from.
    bool CopyLibrary(const std::string& binDir) const;

private:
    std::string path_;
};

// A whole file's bytes; empty when it cannot be read.
std::string ReadBytes(const std::string& path);
// Replaces the file's contents with `bytes` (making the file when needed).
void WriteBytes(const std::string& path, std::string_view bytes);

// The build's program folder (GATHRA_BIN_DIR, set by CTest); `fallback` when the variable is unset.
std::string BinDir(const std::string& fallback = {});
