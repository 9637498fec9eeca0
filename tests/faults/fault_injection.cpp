#include "fault_injection.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace faults {

void FaultPlan::Arm(int failAt, Failure failure) {
    std::lock_guard lock(mutex_);
    armed_ = true;
    failAt_ = failAt;
    failure_ = failure;
    names_.clear();
}

void FaultPlan::Disarm() {
    std::lock_guard lock(mutex_);
    armed_ = false;
}

bool FaultPlan::Next(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (!armed_) {
        return false;
    }
    names_.push_back(what);
    if (static_cast<int>(names_.size()) != failAt_) {
        return false;
    }
    if (failure_ == Failure::Kill) {
        ::kill(::getpid(), SIGKILL);
    }
    return true;
}

std::vector<std::string> FaultPlan::Names() const {
    std::lock_guard lock(mutex_);
    return names_;
}

FaultPlan& Plan() {
    static FaultPlan plan;
    return plan;
}

std::string ShortName(const std::string& path) {
    const std::string base = path.substr(path.find_last_of('/') + 1);
    return base.ends_with(".gathra-previous")           ? "<previous>"
           : base.find(".gathra-") != std::string::npos ? "<temp>"
                                                        : base;
}

// ---- SQLite ----

namespace {

sqlite3_vfs* realVfs = nullptr;

// A file of the counting VFS: the real VFS's file follows it in the same allocation.
struct CountedFile {
    sqlite3_file base;
    sqlite3_file* real;
    char name[80];
};

sqlite3_file* Real(sqlite3_file* file) {
    return reinterpret_cast<CountedFile*>(file)->real;
}

bool Counted(sqlite3_file* file, const char* call) {
    return Plan().Next(std::string("sqlite ") + call + " " + reinterpret_cast<CountedFile*>(file)->name);
}

const sqlite3_io_methods kMethods = {
    3,
    [](sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); },
    [](sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
        return Counted(f, "read") ? SQLITE_IOERR_READ
                                  : Real(f)->pMethods->xRead(Real(f), data, amount, offset);
    },
    [](sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
        return Counted(f, "write") ? SQLITE_FULL : Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
    },
    [](sqlite3_file* f, sqlite3_int64 size) {
        return Counted(f, "truncate") ? SQLITE_IOERR_TRUNCATE : Real(f)->pMethods->xTruncate(Real(f), size);
    },
    [](sqlite3_file* f, int flags) {
        return Counted(f, "sync") ? SQLITE_IOERR_FSYNC : Real(f)->pMethods->xSync(Real(f), flags);
    },
    [](sqlite3_file* f, sqlite3_int64* size) { return Real(f)->pMethods->xFileSize(Real(f), size); },
    [](sqlite3_file* f, int lock) { return Real(f)->pMethods->xLock(Real(f), lock); },
    [](sqlite3_file* f, int lock) { return Real(f)->pMethods->xUnlock(Real(f), lock); },
    [](sqlite3_file* f, int* out) { return Real(f)->pMethods->xCheckReservedLock(Real(f), out); },
    [](sqlite3_file* f, int op, void* arg) { return Real(f)->pMethods->xFileControl(Real(f), op, arg); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); },
    [](sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); },
    [](sqlite3_file* f, int page, int size, int extend, void volatile** out) {
        return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
    },
    [](sqlite3_file* f, int offset, int n, int flags) {
        return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
    },
    [](sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); },
    [](sqlite3_file* f, int remove) { return Real(f)->pMethods->xShmUnmap(Real(f), remove); },
    [](sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
        return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
    },
    [](sqlite3_file* f, sqlite3_int64 offset, void* page) {
        return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
    },
};

int OpenFile(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* counted = reinterpret_cast<CountedFile*>(file);
    counted->base.pMethods = nullptr;
    counted->real = reinterpret_cast<sqlite3_file*>(counted + 1);
    std::memset(counted->real, 0, static_cast<size_t>(realVfs->szOsFile));
    const std::string shortName = name != nullptr ? ShortName(name) : "<temp>";
    std::snprintf(counted->name, sizeof counted->name, "%s", shortName.c_str());
    if (Plan().Next("sqlite open " + shortName)) {
        return SQLITE_CANTOPEN;
    }
    const int result = realVfs->xOpen(realVfs, name, counted->real, flags, outFlags);
    // SQLite closes a file whose methods are set, even after a failed open.
    counted->base.pMethods = counted->real->pMethods != nullptr ? &kMethods : nullptr;
    return result;
}

int DeleteFile(sqlite3_vfs*, const char* name, int syncFolder) {
    if (Plan().Next("sqlite delete " + ShortName(name))) {
        return SQLITE_IOERR_DELETE;
    }
    return realVfs->xDelete(realVfs, name, syncFolder);
}

}  // namespace

void InstallCountingVfs() {
    static sqlite3_vfs vfs = [] {
        realVfs = sqlite3_vfs_find("unix");
        sqlite3_vfs copy = *realVfs;
        copy.zName = "gathra-counting";
        copy.szOsFile = static_cast<int>(sizeof(CountedFile)) + realVfs->szOsFile;
        copy.pNext = nullptr;
        copy.xOpen = OpenFile;
        copy.xDelete = DeleteFile;
        return copy;
    }();
    sqlite3_vfs_register(&vfs, 1);
}

// ---- the port ----

namespace {

const LinkApi* realLink = nullptr;

int32_t CountedWrite(const char* text) {
    std::string line(text != nullptr ? text : "");
    while (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (Plan().Next("port " + line)) {
        return 0;
    }
    return realLink->WriteIrCom(text);
}

}  // namespace

const LinkApi* CountingLink(const LinkApi* real) {
    static LinkApi counting;
    realLink = real;
    counting = *real;
    counting.WriteIrCom = CountedWrite;
    return &counting;
}

}  // namespace faults
