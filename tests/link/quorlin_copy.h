#pragma once

#include <cstdint>
#include <string>

#include "support/temp_folder.h"

// A private program folder holding a copy of libquorlin.so, loaded from there the way Gathra loads it,
// so that the library finds its ports/ mapping in this folder. One per test process; the folder is
// removed at exit.
class QuorlinCopy {
public:
    static QuorlinCopy& Get();

    const std::string& folder() const { return folder_.Path(); }

    // Points ports/COM<n> at `target` (replacing an earlier link); an empty target removes the entry.
    void MapPort(int n, const std::string& target) const;

    void* (*OpenIrCom)(int32_t, int32_t, int32_t) = nullptr;
    int32_t (*vbOpenIrCom)(int32_t, int32_t, int32_t) = nullptr;
    int32_t (*CloseIrCom)() = nullptr;
    char* (*ReadIrCom)() = nullptr;
    int32_t (*vbReadIrCom)(char*) = nullptr;
    int32_t (*WriteIrCom)(const char*) = nullptr;
    int32_t (*ClearIrCom)() = nullptr;
    int32_t (*IrComState)() = nullptr;

    ~QuorlinCopy();

private:
    QuorlinCopy();
    TempFolder folder_;
    void* handle_ = nullptr;
};

// The built libquorlin.so (GATHRA_BIN_DIR).
std::string BuiltLibraryPath();
