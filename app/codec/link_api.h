#pragma once

#include <cstdint>
#include <string>

// The operations of libquorlin.so that Gathra uses: five it needs, and IrComState, which it uses when the
// library has it. The program fills the table from the shared library (binding/quorlin_binding.h); unit
// tests fill it with scripted fakes.
struct LinkApi {
    int32_t (*vbOpenIrCom)(int32_t port, int32_t speed, int32_t mode) = nullptr;
    int32_t (*ClearIrCom)() = nullptr;
    int32_t (*WriteIrCom)(const char* text) = nullptr;
    int32_t (*vbReadIrCom)(char* buffer) = nullptr;
    int32_t (*CloseIrCom)() = nullptr;
    // Optional: 1 a port is open and usable, 0 none is open, -1 the device is gone (unplugged, hung up).
    // nullptr with an older library, whose device is then never reported gone.
    int32_t (*IrComState)() = nullptr;
};
