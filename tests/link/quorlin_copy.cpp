#include "quorlin_copy.h"

#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace fs = std::filesystem;

std::string BuiltLibraryPath() {
    if (BinDir().empty()) {
        throw std::runtime_error("GATHRA_BIN_DIR is not set");
    }
    return BinDir() + "/libquorlin.so";
}

QuorlinCopy& QuorlinCopy::Get() {
    static std::unique_ptr<QuorlinCopy> copy(new QuorlinCopy());
    return *copy;
}

QuorlinCopy::QuorlinCopy() {
    if (!folder_.Valid()) {
        throw std::runtime_error("cannot make a temporary program folder");
    }
    fs::create_directory(folder_ / "ports");
    fs::copy_file(BuiltLibraryPath(), folder_ / "libquorlin.so");
    handle_ = dlopen((folder_ / "libquorlin.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("dlopen: ") + dlerror());
    }
    auto bind = [this](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle_, name));
        if (slot == nullptr) {
            throw std::runtime_error(std::string("missing export ") + name);
        }
    };
    bind(OpenIrCom, "OpenIrCom");
    bind(vbOpenIrCom, "vbOpenIrCom");
    bind(CloseIrCom, "CloseIrCom");
    bind(ReadIrCom, "ReadIrCom");
    bind(vbReadIrCom, "vbReadIrCom");
    bind(WriteIrCom, "WriteIrCom");
    bind(ClearIrCom, "ClearIrCom");
    bind(IrComState, "IrComState");
}

QuorlinCopy::~QuorlinCopy() {
    CloseIrCom();
}

void QuorlinCopy::MapPort(int n, const std::string& target) const {
    const fs::path link = fs::path(folder_.Path()) / "ports" / ("COM" + std::to_string(n));
    std::error_code ignored;
    fs::remove(link, ignored);
    if (!target.empty()) {
        fs::create_symlink(target, link);
    }
}
