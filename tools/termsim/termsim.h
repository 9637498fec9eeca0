#pragma once

// termsim: a simulated handheld terminal (and, on demand, its infrared adapter) on a pseudo-terminal.
//
// The simulator makes a pseudo-terminal, links its slave side as <programFolder>/ports/COM<n> (where
// libquorlin.so looks for the device of port n) and plays the terminal on the master side in a thread of
// its own. The PC speaks first; the terminal only ever answers:
//
//   PC "TW" + 14 digits        -> "OK" (unless told never to answer it)
//   PC "VOL"                   -> "^#<id>@<count>*<checksum>"
//   PC "ACK" after the enquiry -> the first record (or "END" when there is none)
//   PC "ACK" after a record    -> the next record, "END" after the last one
//   PC "NAK"                   -> the last line again
//   PC "ACK"/"CAN" after "END" -> the upload is over (the PC's final answer); with more uploads to serve
//                                 the terminal waits for the next "TW"/"VOL" (automatic restart)
//   PC "CAN" at any other time -> the upload is over (the PC gave up or was stopped)
//
// Records travel as frames "^<digit><record>*<checksum>" with sequence digits 0-9 (dedicated protocol)
// or as the bare record text (simple protocol). Everything on the wire is CP932 bytes; lines end with CR.
//
// In adapter mode the simulator first plays the infrared adapter: it echoes the probe byte 0x0F only while
// the line speed the PC set on the pseudo-terminal (read with tcgetattr) equals the adapter's own speed,
// and it follows the speed command 0x07, code "2".."6", "Q". Lines from the PC at any other speed than the
// adapter's are lost, as they would be on a real infrared link. One exception: the PC's answer to the end
// marker is also taken at the line's opening speed (9600), which the PC restores when it closes the port.
//
// The simulator never blocks forever: it waits with poll() and short time-outs, so a slow or absent PC
// costs nothing, and Stop() returns promptly.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/checksum_coverage.h"

namespace termsim {

// One way of misbehaving at a given record. `record` is the 0-based index of the record concerned;
// `times` is how many times in a row the fault replaces the correct line (NAK makes the terminal send the
// record again, which is correct once the faults are used up).
enum class FaultKind {
    BadChecksum,     // the frame's checksum is off by one
    LowerCaseHex,    // the checksum digits are sent in lower case
    WrongSequence,   // the frame carries the sequence digit after the expected one
    RepeatPrevious,  // before record k (k >= 1), the previous record is sent again, unchanged
    Silence,         // the terminal does not answer the PC's line that asks for record k
    Garbage,         // a line of garbage bytes instead of record k
    OverLong,        // a line of 300 bytes (no CR inside) instead of record k
    HangUp,          // instead of sending record k the terminal hangs up (closes the pseudo-terminal)
};

// Unplugging: the terminal (or its cradle) hangs up by closing the pseudo-terminal, which the PC sees
// as a device that is gone (reads at end of file, writes failing with EIO, poll reporting POLLHUP).
// The link ports/COM<n> is then left dangling, as a /dev/serial/by-id/ link is when a USB cradle is
// pulled out. With a replug, a NEW pseudo-terminal is linked as ports/COM<n> after a while and the
// terminal plays afresh on it: an upload in progress is forgotten, faults already spent stay spent,
// uploads served so far still count, and the adapter (in adapter mode) is back at its own speed.

struct RecordFault {
    FaultKind kind = FaultKind::BadChecksum;
    int record = 0;
    int times = 1;
};

struct Options {
    std::string terminalId = "T01";    // CP932 bytes
    std::vector<std::string> records;  // CP932 byte strings, without CR
    int protocol = 0;                  // 0 dedicated frames, 1 simple (plain lines)
    ChecksumCoverage checksumCoverage = ChecksumCoverage::WholeFrame;  // what the checksums add up
    bool answerClock = true;                                           // answer "TW..." with "OK"
    bool answerEnquiry = true;                                         // answer "VOL" at all
    int uploads = 1;              // uploads to serve; 0 = serve until stopped
    std::string endWord = "END";  // the end marker (change it to test a PC that compares exactly)

    // Enquiry answer.
    long long announcedCount = -1;  // -1: the number of records
    bool enquiryWithoutAt = false;  // "^#<id>*<checksum>": no "@" and no count
    int enquiryBadChecksum = 0;     // the first n enquiry answers carry a wrong checksum
    int enquirySilence = 0;         // the first n "VOL" are not answered

    std::vector<RecordFault> faults;

    // Adapter mode: the simulator plays the infrared adapter first, at `adapterSpeed` bit/s.
    bool adapterMode = false;
    int adapterSpeed = 9600;
    // The adapter only when asked for: until the PC sends the probe byte every line is the terminal's (a
    // PC in direct mode), from the first probe on the simulator plays the adapter as in adapter mode.
    bool adapterOnProbe = false;

    // Hanging up besides FaultKind::HangUp; each happens once.
    int hangUpAfterMs = 0;    // this long after Start(); 0 = never
    int hangUpAtEnquiry = 0;  // the n-th "VOL" (from 1) is not answered: the terminal hangs up instead
    // After every hang-up, a new pseudo-terminal is linked as ports/COM<n> this long after it; -1 never.
    int replugAfterMs = -1;

    // Output pacing in bits per second (10 bits per byte); 0 = as fast as possible.
    int pacingBitsPerSecond = 0;
    // Paced output is handed to the line this many bytes at a time, each handful when its last byte is due,
    // as a UART's receive FIFO hands bytes to a device server; the line still ends when its last byte is
    // due. 1: byte by byte.
    int pacingChunk = 1;

    // When not empty, a transcript in JSON lines is written here as the exchange goes on.
    std::string transcriptPath;
};

// One line (or one adapter byte) of the exchange. `micros` counts from Start(). For a line from the PC
// ('P') it is the moment its first byte was read; for a line from the terminal ('T') the moment its last
// byte was handed to the pseudo-terminal. `speed` is the line speed set on the pseudo-terminal then.
struct TranscriptEntry {
    int64_t micros = 0;
    char direction = 'T';  // 'T' terminal -> PC, 'P' PC -> terminal
    std::string bytes;     // the raw bytes, CR included
    int speed = 0;
};

class Simulator {
public:
    Simulator();
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Makes the pseudo-terminal, links it as <programFolder>/ports/COM<port> (making ports/ when needed,
    // replacing an existing link of that name) and starts the terminal thread. False when any step fails
    // (StartProblem() then says which, naming the file), and when the simulator is running already. After
    // Stop() it starts again from scratch: the results of the last run (finished, final answers, lines,
    // transcript) are cleared.
    bool Start(const std::string& programFolder, int port, const Options& options);

    // Waits until every requested upload has been served (or the terminal hung up on purpose and will
    // not be plugged back).
    bool WaitFinished(int timeoutMs);

    // Hangs up now, whatever the terminal is doing; a replug follows when Options ask for one.
    void HangUpNow();

    // Waits until the terminal has been plugged back `count` times in all.
    bool WaitReplugged(int count, int timeoutMs);

    // Waits until at least `count` lines have come from the PC.
    bool WaitLinesFromPc(size_t count, int timeoutMs);

    // Stops the thread, closes the pseudo-terminal and removes the link. Safe to call more than once.
    void Stop();

    bool Finished() const;
    std::vector<std::string> FinalAnswers() const;  // the word ("ACK"/"CAN") that ended each upload
    std::vector<std::string> LinesFromPc() const;   // every line from the PC, without CR
    std::vector<TranscriptEntry> Transcript() const;
    int AdapterSpeed() const;      // the adapter's current speed (adapter mode)
    int HangUps() const;           // how often the terminal has hung up
    int Replugs() const;           // how often it has been plugged back
    std::string LinkPath() const;  // <programFolder>/ports/COM<port>
    // Why the last Start() failed: the step and the file it could not make or write, with the reason.
    const std::string& StartProblem() const { return startProblem_; }
    std::string DevicePath() const;  // the current slave device, e.g. /dev/pts/7
    int64_t OriginMicros() const;    // CLOCK_MONOTONIC of Start(), in microseconds

private:
    struct State;
    void Run();

    std::unique_ptr<State> state_;
    std::thread thread_;
    std::string startProblem_;
};

// CLOCK_MONOTONIC in microseconds (the clock of the transcript).
int64_t MonotonicMicros();

// Formats one transcript entry as a JSON line (without the newline):
// {"t":123,"dir":"P","speed":9600,"hex":"564F4C0D","text":"VOL\r"}
std::string TranscriptJson(const TranscriptEntry& entry);

}  // namespace termsim
