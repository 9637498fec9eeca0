#include <dlfcn.h>
#include <unistd.h>

#include <map>
#include <mutex>

#include "binding/quorlin_binding.h"

namespace {

// One bound library per program folder. Handles are never closed: the function pointers handed out stay
// valid for the life of the process.
std::mutex bindingMutex;
std::map<std::string, LinkApi>& BoundLibraries() {
    static std::map<std::string, LinkApi> libraries;
    return libraries;
}

// The reason the last binding of each folder failed.
std::map<std::string, std::string>& LoadProblems() {
    static std::map<std::string, std::string> problems;
    return problems;
}

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    return slot != nullptr;
}

}  // namespace

const LinkApi* BindQuorlin(const std::string& folder) {
    std::lock_guard<std::mutex> lock(bindingMutex);
    auto& libraries = BoundLibraries();
    if (auto found = libraries.find(folder); found != libraries.end()) {
        return &found->second;
    }

    // An explicit path: the library is taken from the program folder only, never from the search path.
    const std::string path = (folder.empty() ? std::string(".") : folder) + "/libquorlin.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        LoadProblems()[folder] = why != nullptr ? why : path;
        return nullptr;
    }
    LinkApi api;
    const char* missing = nullptr;
    const auto need = [&](const char* name, auto& slot) {
        if (missing == nullptr && !Resolve(handle, name, slot)) {
            missing = name;
        }
    };
    need("vbOpenIrCom", api.vbOpenIrCom);
    need("ClearIrCom", api.ClearIrCom);
    need("WriteIrCom", api.WriteIrCom);
    need("vbReadIrCom", api.vbReadIrCom);
    need("CloseIrCom", api.CloseIrCom);
    if (missing != nullptr) {
        LoadProblems()[folder] = path + ": " + missing + " がありません";
        // A library without all five entry points is no link at all; a later call tries again.
        dlclose(handle);
        return nullptr;
    }
    // Optional: a library without it never reports a device that is gone.
    Resolve(handle, "IrComState", api.IrComState);
    LoadProblems().erase(folder);
    return &libraries.emplace(folder, api).first->second;
}

std::string QuorlinLoadProblem(const std::string& folder) {
    std::lock_guard<std::mutex> lock(bindingMutex);
    const auto found = LoadProblems().find(folder);
    return found != LoadProblems().end() ? found->second : std::string();
}

std::string ExecutableFolder() {
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0) {
        return ".";
    }
    path.resize(static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}
