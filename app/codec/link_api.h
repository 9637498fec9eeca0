#pragma once

#include <cstdint>
#include <string>

// The five operations of libquorlin.so that Gathra uses. The program fills the table from the shared
// library (binding/quorlin_binding.h); unit tests fill it with scripted fakes.
struct LinkApi {
    int32_t (*vbOpenIrCom)(int32_t port, int32_t speed, int32_t mode) = nullptr;
    int32_t (*ClearIrCom)() = nullptr;
    int32_t (*WriteIrCom)(const char* text) = nullptr;
    int32_t (*vbReadIrCom)(char* buffer) = nullptr;
    int32_t (*CloseIrCom)() = nullptr;
};
