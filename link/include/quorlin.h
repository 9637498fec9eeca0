/*
 * quorlin.h - the C interface of libquorlin.so, Gathra's serial link library.
 *
 * PRINCIPLES OF OPERATION
 *
 * The library owns at most one serial port per process and moves CR-terminated lines over it. There is
 * no port object for the caller to keep: every operation works on "the" port, which the open operations
 * set and CloseIrCom clears. The library is not safe for concurrent calls; call it from one thread.
 * Loading the library touches no device (it only reads GATHRA_PROGRAM_FOLDER, below). It never prints or
 * shows anything: every outcome is a result value. There are eight operations: the seven that open, move
 * lines and close, and IrComState, which later callers use to notice an unplugged device.
 *
 * Ports are numbered 1 to 256. Port n is the device <folder>/ports/COM<n>, where <folder> is the program
 * folder, whenever an entry of that name exists there. The program folder is the folder libquorlin.so was
 * loaded from, unless the environment variable GATHRA_PROGRAM_FOLDER names another one when the library
 * is loaded (it is read once, at load, so the program may remove it again at once; Gathra names the
 * folder it holds open as /proc/self/fd/<n>, so a folder renamed or replaced later is never used) -
 * typically a symbolic link the operator makes, e.g.
 *
 *     ln -s /dev/ttyUSB0 ports/COM3
 *
 * A dangling link still names the device, and opening it fails. When the program folder has a ports/
 * folder (one that cannot be searched counts as there), port n is ports/COM<n> and nothing else: without
 * that entry the port cannot be opened. Only a program folder without ports/ falls back to /dev/ttyS<n-1>
 * for port n. The rule is quorlin_ports.h, which the program compiles too, to say why an open failed.
 * A pseudo-terminal works as a port. The port is held exclusively: the library takes
 * flock(LOCK_EX|LOCK_NB) on it, and a port another open file description has locked counts as a port
 * that cannot be opened. While the port is open the device is also marked exclusive (TIOCEXCL), so that
 * any other open of it fails with EBUSY, even by a program that does not lock, unless it runs as root;
 * the mark is cleared before the device is closed.
 *
 * Network ports. A link ports/COM<n> whose target is rfc2217://HOST:PORT or socket://HOST:PORT (IPv6
 * addresses in brackets) is a serial port behind a device server on the network, e.g.
 *
 *     ln -s rfc2217://cradle7.example:4001 ports/COM7
 *
 * The target is read, never followed; every other target is a device. rfc2217:// speaks Telnet with the
 * Com Port Control option (RFC 2217): binary both ways (a server that refuses it is a refused setting),
 * every speed change through the server, its answers checked (a speed answered differently is a refused
 * setting), DTR and RTS set as on a local line without waiting for an acknowledgement, input purged
 * where a local line's would be. A server that refuses Com Port Control runs at its own speed: mode 0
 * works, mode 1 (which must switch the adapter's speed) is a refused setting. socket:// is raw TCP, data
 * only, at the speed the far side is set to, and likewise refuses mode 1. Resolving the host name and
 * connecting take at most 5 s together (a name under .invalid is answered at once, without a resolver); a
 * server that hangs up during the open (ser2net does when its port is busy) is a port that cannot be
 * opened. A write has succeeded once the server has acknowledged every byte. A connection that the
 * server closes, resets, or leaves unacknowledged for 25 s (keep-alive finds a quiet dead one as soon) is
 * a device that is gone. Nothing here is encrypted: use a trusted network or a tunnel.
 *
 * Latency. At open the library asks the driver to pass received bytes on at once (ASYNC_LOW_LATENCY):
 * a USB serial converter otherwise holds them for its latency timer, up to 16 ms for every line. A
 * driver that does not take the request (a pseudo-terminal) is used as it is. The flag is turned off
 * again at close if the library turned it on.
 *
 * Line settings: 8 data bits, no parity, one stop bit, DTR on, RTS on (off only while adapter commands
 * go out), no hardware or software flow control, no input or output processing, reads that return at
 * once. Speeds are 9600, 19200, 38400, 57600 and 115200 bit/s; any other requested speed opens at 9600.
 * A device without modem lines (a pseudo-terminal) is not an error: RTS and DTR are then not there. The
 * device's own settings are restored when the port is closed.
 *
 * Modes. Mode 1 is an infrared cradle or adapter with its own line speed: the library finds it by
 * sending the probe byte 0x0F at 9600, 38400, 115200, 57600 and 19200 bit/s, in this order, and keeps the
 * first speed at which the same byte comes back within 100 ms; it then switches the adapter to the
 * requested speed with the command 0x07, a code ("2" 9600, "3" 19200, "4" 38400, "5" 57600, "6" 115200)
 * and "Q", and follows on the port. Every other mode is an RS-232C infrared unit used directly at the
 * requested speed. Each set-up step is followed by a 100 ms settle delay, so an open takes about 0.1 s
 * in direct mode and 0.9 s (adapter at 9600) to 1.6 s (no adapter) in mode 1.
 *
 * Lines. A line is a run of bytes whose last byte is CR (0x0D), at most 255 bytes with its CR. It is
 * complete when one read from the device ends with CR; a CR in the middle of what has arrived does not
 * end it, so two lines that arrive together are returned as one. A line read gives up 500 ms after the
 * call began; the bytes it assembled are then lost, and bytes still arriving are kept for the next read.
 * Input that grows beyond 255 bytes before a CR is thrown away up to and including its CR (carrying
 * on in the next reads if the CR comes after the time-out), and the read that ends it reports a
 * time-out. A write goes out no earlier than 2 ms after the call began, so the terminal always sees a
 * gap between lines, and must be done within 5 ms per byte plus 50 ms.
 *
 * Text is bytes: the library neither adds nor strips anything (the caller supplies the CR) and does no
 * character conversion.
 *
 * OPERATIONS
 *
 * int32_t vbOpenIrCom(int32_t port, int32_t speed, int32_t mode)
 *     Opens and sets up port `port` at `speed` in `mode` (1 adapter, anything else direct). A port that
 *     is already open is closed first, whatever the outcome.
 *     Returns 1 when the port is open and set up;
 *             0 when `port` is outside 1..256 (no device is touched), or the device is absent, cannot
 *               be opened or is in use;
 *            -1 when the device was opened but the set-up failed: no adapter answered any probe, or the
 *               device refused a line setting. The port has been closed again.
 *     On a network port, 0 also when the host name does not resolve, the connection cannot be made within
 *     5 s, or the server hangs up during the open; -1 for a server's refusal (see Network ports).
 *
 * void* OpenIrCom(int32_t port, int32_t speed, int32_t mode)
 *     The same open. Returns an opaque non-null pointer that identifies the open port (it is not a
 *     descriptor and must not be used as one), or NULL on any failure.
 *
 * int32_t CloseIrCom(void)
 *     Closes the open port, restoring the device's settings (line, latency, exclusive mark) and
 *     releasing its lock. Output still queued
 *     is given the time it needs on the wire (10 bits a byte at the line speed) plus 100 ms, and is then
 *     discarded; the settings are restored at once, not after a drain. The close itself never waits out
 *     the driver's closing delay (a stalled USB converter may hold close() for 30 s): it is done on a
 *     helper thread that CloseIrCom waits for only 50 ms. Returns 1 when a port was closed, 0 when none
 *     was open (nothing is done then).
 *
 * int32_t vbReadIrCom(char* buffer)
 *     Reads one line. On success copies the line, CR included, and a NUL into `buffer` and returns the
 *     number of line bytes (1 to 255; an empty line is CR alone, length 1). Never writes more than 256
 *     bytes into `buffer`. On time-out returns -1 and leaves `buffer` unchanged. With no port open, or
 *     after the other end has hung up, the read sleeps out its 500 ms and returns -1. A NULL `buffer`
 *     returns -1 at once and reads nothing.
 *
 * char* ReadIrCom(void)
 *     The same read. Returns the address of the library's own line buffer (the line, CR included, then
 *     a NUL), which stays valid and unchanged until the next read, or NULL on time-out.
 *
 * int32_t WriteIrCom(const char* text)
 *     Writes the bytes of `text` up to its NUL, no earlier than 2 ms after the call began, retrying
 *     short writes until all are out or the write time-out passes. Returns 1 when every byte was
 *     written (an empty text writes nothing and succeeds), 0 when the write failed or timed out, no
 *     port is open, or `text` is NULL. On a network port every byte is written once the server has
 *     acknowledged it (the socket's send queue is empty), within the same time-out.
 *
 * int32_t ClearIrCom(void)
 *     Discards all input that has arrived and not been read, including what a read kept over or was
 *     still discarding. Returns at once when nothing is pending. Always returns 0.
 *
 * int32_t IrComState(void)
 *     Tells a device that is gone from one that is only silent, so that a caller can close the port
 *     and wait for the device to come back instead of reading a dead device for ever. A device is gone
 *     once poll reports POLLHUP or POLLERR on it, or a read, write or poll fails with EIO, ENXIO or
 *     ENODEV: a USB-serial cradle that was unplugged, a pseudo-terminal whose other end closed, a network
 *     port whose connection was closed, reset or timed out. It asks
 *     the device without waiting and changes nothing about the port.
 *     Returns 1 when a port is open and usable;
 *             0 when no port is open;
 *            -1 when a port is open but its device is gone. It stays gone until the port is closed
 *               (CloseIrCom) or replaced by another open: a device that comes back is a new device,
 *               found by opening the port again.
 *     The seven operations above behave the same whether the device is gone or not: reads time out,
 *     writes fail.
 */
#ifndef QUORLIN_H
#define QUORLIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUORLIN_BUILD)
#define QUORLIN_API __attribute__((visibility("default")))
#else
#define QUORLIN_API
#endif

QUORLIN_API void* OpenIrCom(int32_t port, int32_t speed, int32_t mode);
QUORLIN_API int32_t vbOpenIrCom(int32_t port, int32_t speed, int32_t mode);
QUORLIN_API int32_t CloseIrCom(void);
QUORLIN_API char* ReadIrCom(void);
QUORLIN_API int32_t vbReadIrCom(char* buffer);
QUORLIN_API int32_t WriteIrCom(const char* text);
QUORLIN_API int32_t ClearIrCom(void);
QUORLIN_API int32_t IrComState(void);

#ifdef __cplusplus
}
#endif

#endif /* QUORLIN_H */
