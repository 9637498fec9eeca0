#pragma once

#include <cstdint>
#include <string>

// Why the port did not open, in words an operator and IT can act on. The link library only says that an
// open failed; this looks again, after the fact, at the device the library tried: the same rule that maps
// COM<n> to a device (quorlin_ports.h), then the entry, an open and a lock of our own, each undone at
// once.

// The device COM<port> stands for in `programFolder`, by the link library's rule (ports/COM<n> even when
// that entry is missing), or the URL of a port on the network.
std::string PortDevicePath(const std::string& programFolder, int32_t port);

// The status line for COM<port> after vbOpenIrCom(port, speed, mode) returned `openResult` (0 or -1),
// with the program folder whose ports/ the library reads. Empty when a second look finds nothing wrong
// (the port came free in between). A device is opened once more, only when it is a character device; a
// port on the network is connected to and set up again (at most 5 s to connect, 2 s for each answer the
// server owes), and named by its URL.
std::string PortOpenProblem(const std::string& programFolder, int32_t port, int32_t speed, int32_t mode,
                            int32_t openResult);

// The line for a link library that could not be loaded or lacks an entry point, with the loader's reason.
std::string LinkLoadProblemLine(const std::string& reason);
