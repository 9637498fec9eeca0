// The exported operations of libquorlin.so: C entry points over the library's one SerialLink, which
// runs on the POSIX platform.
#include "quorlin.h"

#include <cstring>

#include "port_posix.h"
#include "serial_link.h"

namespace {

// Constant-initialised: loading the library runs no code.
constinit quorlin::PosixPlatform g_platform;
constinit quorlin::SerialLink g_link{g_platform};

}  // namespace

extern "C" {

void* OpenIrCom(int32_t port, int32_t speed, int32_t mode) {
    return g_link.Open(port, speed, mode) == quorlin::SerialLink::kOpened ? g_link.port() : nullptr;
}

int32_t vbOpenIrCom(int32_t port, int32_t speed, int32_t mode) {
    return g_link.Open(port, speed, mode);
}

int32_t CloseIrCom(void) {
    return g_link.Close() ? 1 : 0;
}

char* ReadIrCom(void) {
    return g_link.ReadLine() < 0 ? nullptr : g_link.line_buffer();
}

int32_t vbReadIrCom(char* buffer) {
    if (buffer == nullptr) {
        return -1;
    }
    const int32_t length = g_link.ReadLine();
    if (length >= 0) {
        std::memcpy(buffer, g_link.line_buffer(), static_cast<std::size_t>(length) + 1);
    }
    return length;
}

int32_t WriteIrCom(const char* text) {
    const quorlin::Clock::time_point began = g_link.Now();
    if (text == nullptr) {
        return 0;
    }
    return g_link.Write(text, std::strlen(text), began) ? 1 : 0;
}

int32_t ClearIrCom(void) {
    g_link.Clear();
    return 0;
}

int32_t IrComState(void) {
    return g_link.State();
}

}  // extern "C"
