#pragma once

#include <sqlite3.h>

#include <cstring>
#include <string>

// For the layers that link SQLite (the journal, the SQLite store); header-only, so that the layers that do
// not never link it.
//
// SQLite makes every name absolute and resolves the links in it, "/proc/self/fd/<n>" included: a database
// in a held folder would be opened, and its -journal, -wal and -shm files later, by the folder's path
// again. The VFS for such a name is the default one except that it takes the name as it is, so that every
// file of the database is opened through the descriptor. nullptr (the default VFS) for any other name.
inline const char* HeldFolderVfsFor(const std::string& path) {
    static constexpr const char* kHeldPrefix = "/proc/self/fd/";
    if (path.rfind(kHeldPrefix, 0) != 0) {
        return nullptr;
    }
    // Made on first use, from the default VFS of that time.
    static sqlite3_vfs* base = sqlite3_vfs_find(nullptr);
    static sqlite3_vfs vfs = [] {
        sqlite3_vfs copy = *base;
        copy.pNext = nullptr;
        copy.zName = "gathra-held-folder";
        copy.xFullPathname = [](sqlite3_vfs*, const char* name, int size, char* out) {
            if (std::strncmp(name, kHeldPrefix, std::strlen(kHeldPrefix)) != 0) {
                return base->xFullPathname(base, name, size, out);
            }
            if (std::strlen(name) >= static_cast<size_t>(size)) {
                return SQLITE_CANTOPEN;
            }
            std::strcpy(out, name);
            return SQLITE_OK;
        };
        return copy;
    }();
    static const bool registered = sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    return registered ? vfs.zName : nullptr;
}
