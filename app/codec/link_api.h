#pragma once

#include <cstdint>
#include <string>

// The five operations of libquorlin.so that Gathra uses. The program fills the table from the shared
// library (BindQuorlin); unit tests fill it with scripted fakes.
struct LinkApi {
    int32_t (*vbOpenIrCom)(int32_t port, int32_t speed, int32_t mode) = nullptr;
    int32_t (*ClearIrCom)() = nullptr;
    int32_t (*WriteIrCom)(const char* text) = nullptr;
    int32_t (*vbReadIrCom)(char* buffer) = nullptr;
    int32_t (*CloseIrCom)() = nullptr;
};

// Binds libquorlin.so from `folder` (the program folder) at the first call and caches the result for
// the process. Returns nullptr when the library or one of the five entry points cannot be found; a later
// call with the same folder tries again.
const LinkApi* BindQuorlin(const std::string& folder);

// The folder of the running executable (from /proc/self/exe), without a trailing "/".
std::string ExecutableFolder();
