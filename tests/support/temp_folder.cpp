#include "temp_folder.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& parent) {
    std::string pattern = (parent.empty() ? fs::temp_directory_path().string() : parent) + "/gathra-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
        path_ = pattern;
    }
}

TempFolder::~TempFolder() {
    if (path_.empty()) {
        return;
    }
    // A test may have taken the owner's rights away to provoke a failure.
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

bool TempFolder::CopyFile(const std::string& source, const std::string& name) const {
    std::error_code error;
    return !path_.empty() &&
           fs::copy_file(source, fs::path(path_) / name, fs::copy_options::overwrite_existing, error) &&
           !error;
}

bool TempFolder::CopyLibrary(const std::string& binDir) const {
    return CopyFile(binDir + "/libquorlin.so", "libquorlin.so");
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string BinDir(const std::string& fallback) {
    const char* dir = std::getenv("GATHRA_BIN_DIR");
    return dir != nullptr && *dir != '\0' ? dir : fallback;
}
