#pragma once

// Why a network port (quorlin_ports.h: rfc2217:// or socket://) did not open. The link library only says
// that an open failed; Gathra compiles the library's own network code (the static library quorlin_net) to
// look again, by the same steps, and names the reason. Not part of the library's exported interface.

#include <cstdint>
#include <string>

#include "quorlin_ports.h"

namespace quorlin {

enum class NetProblem {
    kNone,            // the port opens now
    kNoName,          // the host name does not resolve (a name under .invalid never does)
    kNoConnection,    // refused, unreachable or timed out: `error` is the errno
    kBusy,            // the server says its serial port is in use
    kHungUp,          // the server closed the connection at once; `said` is its first words, if any
    kNoBinary,        // the server refuses binary transfer (it would stuff a NUL after each CR)
    kNoSpeedControl,  // mode 1 on a port that cannot change speeds (raw TCP, or a server without RFC 2217)
    kSettingRefused,  // the server set another speed (`answer`) than asked (`asked`), another format, or
                      // did not answer
};

struct NetDiagnosis {
    NetProblem problem = NetProblem::kNone;
    int error = 0;
    uint32_t asked = 0;
    uint32_t answer = 0;  // 0 when the speed was not what the server refused
    std::string said;     // printable ASCII only, one line
};

// Connects to `device` as the library does, sets it up for `speed` in `mode` (1 adapter, else direct)
// without the adapter probe, waits the settle delay for a server that hangs up at once, and closes again.
// Bounded as the library's open: 5 s to connect, 2 s for each answer the server owes.
NetDiagnosis DiagnoseNetworkPort(const PortDevice& device, int32_t speed, int32_t mode);

}  // namespace quorlin
