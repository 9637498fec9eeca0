#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "binding/quorlin_binding.h"

#include "common/program_folder.h"

namespace {

// One bound library per program folder. Handles are never closed: the function pointers handed out stay
// valid for the life of the process.
std::mutex bindingMutex;
std::map<std::string, LinkApi>& BoundLibraries() {
    static std::map<std::string, LinkApi> libraries;
    return libraries;
}

// Program folders bound by BindQuorlinFor whose library could not be bound: never tried again.
std::set<std::string>& FailedFolders() {
    static std::set<std::string> folders;
    return folders;
}

// The reason the last binding of each folder failed.
std::map<std::string, std::string>& LoadProblems() {
    static std::map<std::string, std::string> problems;
    return problems;
}

constexpr const char* kProgramFolderVariable = "GATHRA_PROGRAM_FOLDER";

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(dlsym(handle, name));
    return slot != nullptr;
}

// Loads the library of `libraryFolder` and resolves its entry points; nullopt when that fails, with the
// loader's text or the missing entry point in `problem`.
std::optional<LinkApi> Load(const std::string& libraryFolder, std::string& problem) {
    // An explicit path: the library is taken from the program folder only, never from the search path.
    const std::string path = (libraryFolder.empty() ? std::string(".") : libraryFolder) + "/libquorlin.so";
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        // The loader names the path it tried, which may be the held program folder's.
        problem = ShownPath(why != nullptr ? why : path);
        return std::nullopt;
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
        problem = ShownPath(path) + ": " + missing + " がありません";
        // A library without all five entry points is no link at all; a later call tries again.
        dlclose(handle);
        return std::nullopt;
    }
    // Optional: a library without it never reports a device that is gone.
    Resolve(handle, "IrComState", api.IrComState);
    return api;
}

// Records the outcome of binding `folder`: the bound library, or the reason it failed.
const LinkApi* Keep(const std::string& folder, const std::optional<LinkApi>& api,
                    const std::string& problem) {
    if (!api) {
        LoadProblems()[folder] = problem;
        return nullptr;
    }
    LoadProblems().erase(folder);
    return &BoundLibraries().emplace(folder, *api).first->second;
}

}  // namespace

const LinkApi* BindQuorlin(const std::string& folder) {
    std::lock_guard<std::mutex> lock(bindingMutex);
    auto& libraries = BoundLibraries();
    if (auto found = libraries.find(folder); found != libraries.end()) {
        return &found->second;
    }
    if (FailedFolders().count(folder) != 0) {
        return nullptr;
    }
    std::string problem;
    const std::optional<LinkApi> api = Load(folder, problem);
    return Keep(folder, api, problem);
}

const LinkApi* BindQuorlinFor(const std::string& programFolder, const std::string& libraryFolder) {
    std::lock_guard<std::mutex> lock(bindingMutex);
    auto& libraries = BoundLibraries();
    if (auto found = libraries.find(programFolder); found != libraries.end()) {
        return &found->second;
    }
    ::setenv(kProgramFolderVariable, programFolder.c_str(), 1);
    std::string problem;
    const std::optional<LinkApi> api = Load(libraryFolder, problem);
    ::unsetenv(kProgramFolderVariable);
    if (!api) {
        FailedFolders().insert(programFolder);
    }
    return Keep(programFolder, api, problem);
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
