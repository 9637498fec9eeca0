// gathra-termsim: plays a handheld terminal (and optionally its infrared adapter) on a pseudo-terminal
// linked as <folder>/ports/COM<n>, so that Gathra or libquorlin.so can be tried without hardware.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "codec/text_encoding.h"
#include "termsim.h"

namespace {

enum ExitCode {
    kExitServed = 0,       // every requested upload was served (or the terminal hung up on purpose)
    kExitTimeLimit = 1,    // --time-limit passed first
    kExitUsage = 2,        // bad command line
    kExitSetUp = 3,        // the records file, the pseudo-terminal, the link or the transcript failed
    kExitInterrupted = 4,  // SIGINT or SIGTERM before the requested uploads were served
};

constexpr const char* kHelp = R"(Usage: gathra-termsim --folder DIR --port N [options]

Plays a handheld data terminal on a pseudo-terminal linked as DIR/ports/COM<N>, where
libquorlin.so looks for the device of port N. The link is removed again on exit, SIGINT and SIGTERM.
When the terminal is ready, one line "ready: DIR/ports/COM<N> -> /dev/pts/<m>" is printed.

The PC speaks first: "TW"+14 digits is answered "OK", "VOL" with the frame
"^#<id>@<count>*<checksum>", each "ACK" with the next record and finally "END"; "NAK" makes
the terminal send its last line again. The PC's "ACK" or "CAN" ends an upload.

Required:
  --folder DIR            the program folder (where libquorlin.so or Gathra lives)
  --port N                the port number n of ports/COM<n> (1..256)

The terminal:
  --id TEXT               the terminal ID (UTF-8, sent as CP932; default T01)
  --records FILE          the records, one per line, UTF-8 (sent as CP932); CR/LF line ends are
                          both accepted; without this option the terminal has no records
  --protocol 0|1          0: records as frames with sequence digits 0-9 (default);
                          1: records as plain lines
  --crc-type 0|1          0: the checksum covers "^" to "*" (default); 1: the payload and "*"
  --uploads N             uploads to serve before ending; 0 serves until stopped (default 1)
  --end-word TEXT         the end marker sent after the last record (default END)
  --no-clock-answer       never answer "TW..." with "OK"
  --no-enquiry-answer     never answer "VOL"

The infrared adapter:
  --adapter-speed BPS     play the infrared adapter first, at BPS bit/s (9600, 19200, 38400, 57600
                          or 115200): echo the probe byte 0x0F only at that speed, follow the speed
                          command 0x07, code, "Q"; lines sent at another speed are lost

Timing and records:
  --pace BPS              pace the terminal's output at BPS bit/s (10 bits per byte);
                          0 = as fast as possible (default)
  --transcript FILE       write every line of both directions as JSON lines:
                          {"t":<microseconds since start>,"dir":"P"|"T","speed":<bit/s>,
                           "hex":"<bytes>","text":"<bytes decoded from CP932>"}
  --time-limit SECONDS    give up after SECONDS (exit code 1)

Faults (K = 0-based record index, N = how many times in a row, default 1; options can repeat):
  --bad-checksum K[:N]    record K with a wrong checksum
  --lower-case K[:N]      record K with its checksum digits in lower case (visible only when
                          the checksum has a letter digit)
  --wrong-sequence K[:N]  record K with the next sequence digit
  --repeat K[:N]          send record K-1 again before record K (K >= 1)
  --silence K[:N]         do not answer the PC's line that asks for record K
  --garbage K[:N]         a line of garbage bytes instead of record K
  --over-long K[:N]       a line of 300 bytes instead of record K
  --hang-up K             close the pseudo-terminal instead of sending record K
  --enquiry-bad-checksum N   the first N enquiry answers carry a wrong checksum
  --enquiry-silence N        the first N "VOL" are not answered
  --enquiry-without-at       the enquiry answer carries no "@" and no count
  --announced-count N        announce N records instead of the number of records

Unplugging (the PC sees a device that is gone: end of file, EIO, POLLHUP):
  --hang-up-after MS      close the pseudo-terminal MS milliseconds after start, whatever the
                          terminal is doing
  --hang-up-at-enquiry N  do not answer the N-th "VOL" (from 1): close the pseudo-terminal instead
  --replug-after MS       after every hang-up, link a NEW pseudo-terminal as DIR/ports/COM<N> MS
                          milliseconds later and play the terminal afresh on it (an upload in
                          progress is forgotten; faults already used stay used); until then the
                          link dangles, as a /dev/serial/by-id/ link does when a cradle is pulled.
                          Each hang-up prints "unplugged: DIR/ports/COM<N>", each replug another
                          "ready:" line.

Exit codes:
  0  every requested upload was served (or the terminal hung up on purpose)
  1  the time limit passed first
  2  bad command line
  3  set-up failed (records file, pseudo-terminal, link or transcript)
  4  interrupted by SIGINT or SIGTERM before the requested uploads were served (with
     --uploads 0 a signal is the normal end: 0)

At the end the PC's final answer to each upload is printed, one line each ("upload 1: ACK").
)";

bool ParseInt(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

bool ParseFault(const std::string& text, termsim::FaultKind kind, termsim::RecordFault& fault) {
    long long record = 0;
    long long times = 1;
    const size_t colon = text.find(':');
    if (!ParseInt(text.substr(0, colon), record) || record < 0 || record > 1000000) {
        return false;
    }
    if (colon != std::string::npos &&
        (!ParseInt(text.substr(colon + 1), times) || times < 1 || times > 1000000)) {
        return false;
    }
    fault = {kind, static_cast<int>(record), static_cast<int>(times)};
    return true;
}

bool ReadRecords(const std::string& path, std::vector<std::string>& records) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        records.push_back(Utf8ToCp932(line));
    }
    return true;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "gathra-termsim: %s\nTry 'gathra-termsim --help'.\n", problem.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    termsim::Options options;
    std::string folder;
    long long port = 0;
    long long timeLimit = 0;
    std::string recordsPath;

    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kExitServed;
        }
        // Flags without a value.
        if (arg == "--no-clock-answer") {
            options.answerClock = false;
            continue;
        }
        if (arg == "--no-enquiry-answer") {
            options.answerEnquiry = false;
            continue;
        }
        if (arg == "--enquiry-without-at") {
            options.enquiryWithoutAt = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return Usage("unknown option or missing value: " + arg);
        }
        const std::string value = args[++i];
        long long number = 0;
        const bool isNumber = ParseInt(value, number);
        termsim::RecordFault fault;
        auto addFault = [&](termsim::FaultKind kind) {
            if (!ParseFault(value, kind, fault)) {
                return false;
            }
            options.faults.push_back(fault);
            return true;
        };

        if (arg == "--folder") {
            folder = value;
        } else if (arg == "--port") {
            if (!isNumber || number < 1 || number > 256) {
                return Usage("--port takes a number from 1 to 256");
            }
            port = number;
        } else if (arg == "--id") {
            options.terminalId = Utf8ToCp932(value);
        } else if (arg == "--records") {
            recordsPath = value;
        } else if (arg == "--protocol" || arg == "--crc-type") {
            if (!isNumber || (number != 0 && number != 1)) {
                return Usage(arg + " takes 0 or 1");
            }
            if (arg == "--protocol") {
                options.protocol = static_cast<int>(number);
            } else {
                options.checksumCoverage = static_cast<ChecksumCoverage>(number);
            }
        } else if (arg == "--uploads") {
            if (!isNumber || number < 0 || number > 1000000) {
                return Usage("--uploads takes a number of 0 or more");
            }
            options.uploads = static_cast<int>(number);
        } else if (arg == "--end-word") {
            options.endWord = Utf8ToCp932(value);
        } else if (arg == "--adapter-speed") {
            if (!isNumber || (number != 9600 && number != 19200 && number != 38400 && number != 57600 &&
                              number != 115200)) {
                return Usage("--adapter-speed takes 9600, 19200, 38400, 57600 or 115200");
            }
            options.adapterMode = true;
            options.adapterSpeed = static_cast<int>(number);
        } else if (arg == "--pace") {
            if (!isNumber || number < 0 || number > 10000000) {
                return Usage("--pace takes bits per second (0 = as fast as possible)");
            }
            options.pacingBitsPerSecond = static_cast<int>(number);
        } else if (arg == "--transcript") {
            options.transcriptPath = value;
        } else if (arg == "--time-limit") {
            // Bounded so that the deadline in microseconds cannot overflow.
            if (!isNumber || number < 1 || number > 1000000000) {
                return Usage("--time-limit takes a number of seconds");
            }
            timeLimit = number;
        } else if (arg == "--enquiry-bad-checksum" || arg == "--enquiry-silence") {
            if (!isNumber || number < 0 || number > 1000000) {
                return Usage(arg + " takes a count");
            }
            (arg == "--enquiry-silence" ? options.enquirySilence : options.enquiryBadChecksum) =
                static_cast<int>(number);
        } else if (arg == "--announced-count") {
            if (!isNumber || number < 0) {
                return Usage("--announced-count takes a count");
            }
            options.announcedCount = number;
        } else if (arg == "--hang-up-after" || arg == "--hang-up-at-enquiry") {
            if (!isNumber || number < 1 || number > 1000000000) {
                return Usage(arg + " takes a number from 1");
            }
            (arg == "--hang-up-after" ? options.hangUpAfterMs : options.hangUpAtEnquiry) =
                static_cast<int>(number);
        } else if (arg == "--replug-after") {
            if (!isNumber || number < 0 || number > 1000000000) {
                return Usage("--replug-after takes milliseconds");
            }
            options.replugAfterMs = static_cast<int>(number);
        } else if (arg == "--hang-up") {
            if (!isNumber || number < 0 || number > 1000000) {
                return Usage("--hang-up takes a record index");
            }
            options.faults.push_back({termsim::FaultKind::HangUp, static_cast<int>(number), 1});
        } else {
            static const std::pair<const char*, termsim::FaultKind> kFaults[] = {
                {"--bad-checksum", termsim::FaultKind::BadChecksum},
                {"--lower-case", termsim::FaultKind::LowerCaseHex},
                {"--wrong-sequence", termsim::FaultKind::WrongSequence},
                {"--repeat", termsim::FaultKind::RepeatPrevious},
                {"--silence", termsim::FaultKind::Silence},
                {"--garbage", termsim::FaultKind::Garbage},
                {"--over-long", termsim::FaultKind::OverLong},
            };
            bool known = false;
            for (const auto& [name, kind] : kFaults) {
                if (arg == name) {
                    known = true;
                    if (!addFault(kind)) {
                        return Usage(arg + " takes K or K:N");
                    }
                }
            }
            if (!known) {
                return Usage("unknown option: " + arg);
            }
        }
    }
    if (folder.empty() || port == 0) {
        return Usage("--folder and --port are required");
    }
    if (!recordsPath.empty() && !ReadRecords(recordsPath, options.records)) {
        std::fprintf(stderr, "gathra-termsim: cannot read the records file %s\n", recordsPath.c_str());
        return kExitSetUp;
    }

    // SIGINT and SIGTERM are taken synchronously below, so the link is always removed. Blocked before the
    // simulator thread starts, so that thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    termsim::Simulator simulator;
    if (!simulator.Start(folder, static_cast<int>(port), options)) {
        std::fprintf(stderr, "gathra-termsim: cannot set up the pseudo-terminal as %s/ports/COM%lld: %s\n",
                     folder.c_str(), port, std::strerror(errno));
        return kExitSetUp;
    }
    std::printf("ready: %s -> %s\n", simulator.LinkPath().c_str(), simulator.DevicePath().c_str());
    std::fflush(stdout);

    const int64_t deadline = timeLimit > 0 ? termsim::MonotonicMicros() + timeLimit * 1000000 : 0;
    int result = kExitServed;
    int hangUpsShown = 0;
    int replugsShown = 0;
    while (!simulator.Finished()) {
        // Tell whoever watches when the device goes and comes back.
        for (; hangUpsShown < simulator.HangUps(); ++hangUpsShown) {
            std::printf("unplugged: %s\n", simulator.LinkPath().c_str());
        }
        for (; replugsShown < simulator.Replugs(); ++replugsShown) {
            std::printf("ready: %s -> %s\n", simulator.LinkPath().c_str(), simulator.DevicePath().c_str());
        }
        std::fflush(stdout);
        const timespec slice{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &slice);
        if (signal > 0) {
            // Serving until stopped ends normally with a signal.
            result = options.uploads == 0 ? kExitServed : kExitInterrupted;
            break;
        }
        if (deadline != 0 && termsim::MonotonicMicros() >= deadline) {
            result = kExitTimeLimit;
            break;
        }
    }
    simulator.Stop();

    const std::vector<std::string> answers = simulator.FinalAnswers();
    for (size_t i = 0; i < answers.size(); ++i) {
        std::printf("upload %zu: %s\n", i + 1, answers[i].c_str());
    }
    std::printf("lines from the PC: %zu\n", simulator.LinesFromPc().size());
    return result;
}
