// gathra-termsim: plays a handheld terminal (and optionally its infrared adapter) on a pseudo-terminal
// linked as <folder>/ports/COM<n>, so that Gathra or libquorlin.so can be tried without hardware.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
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

// The help text around the options; the options' own lines come from the option table.
constexpr const char* kHelpIntro = R"(Usage: gathra-termsim --folder DIR --port N [options]

Plays a handheld data terminal on a pseudo-terminal linked as DIR/ports/COM<N>, where
libquorlin.so looks for the device of port N. The link is removed again on exit, SIGINT and SIGTERM.
When the terminal is ready, one line "ready: DIR/ports/COM<N> -> /dev/pts/<m>" is printed.

The PC speaks first: "TW"+14 digits is answered "OK", "VOL" with the frame
"^#<id>@<count>*<checksum>", each "ACK" with the next record and finally "END"; "NAK" makes
the terminal send its last line again. The PC's "ACK" or "CAN" ends an upload.
)";

constexpr const char* kHelpEnd = R"(
Exit codes:
  0  every requested upload was served (or the terminal hung up on purpose)
  1  the time limit passed first
  2  bad command line
  3  set-up failed (records file, pseudo-terminal, link or transcript)
  4  interrupted by SIGINT, SIGTERM or SIGHUP before the requested uploads were served (with
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

// What the command line asks for.
struct CommandLine {
    termsim::Options options;
    std::string folder;
    long long port = 0;
    long long timeLimit = 0;  // seconds; 0 = none
    bool stay = false;        // keep the line after the last upload until stopped
    bool background = false;  // return once the line is ready; the terminal plays on in a child
    std::string recordsPath;
};

// One row of the option table: an option with its help, or (without a name) a heading of the help.
struct OptionRow {
    const char* name;   // nullptr: `help` is a heading
    const char* value;  // what the option takes, as the help names it; nullptr: a flag
    const char* help;   // lines after the first are indented under it
    const char* takes;  // the usage problem when `apply` refuses the value: "<name> takes <takes>"
    std::function<bool(const std::string& value)> apply;
};

// `value` as a whole number from `low` to `high`.
std::optional<long long> NumberIn(const std::string& value, long long low, long long high) {
    long long number = 0;
    if (!ParseInt(value, number) || number < low || number > high) {
        return std::nullopt;
    }
    return number;
}

// The options of the command line in the order of the help text, and what each does to `line`.
std::vector<OptionRow> OptionTable(CommandLine& line) {
    termsim::Options& o = line.options;
    const auto text = [](std::string& field, bool fromUtf8) {
        return [&field, fromUtf8](const std::string& value) {
            field = fromUtf8 ? Utf8ToCp932(value) : value;
            return true;
        };
    };
    const auto flag = [](bool& field, bool set) {
        return [&field, set](const std::string&) {
            field = set;
            return true;
        };
    };
    const auto number = [](auto& field, long long low, long long high) {
        return [&field, low, high](const std::string& value) {
            const std::optional<long long> n = NumberIn(value, low, high);
            if (n) {
                field = static_cast<std::remove_reference_t<decltype(field)>>(*n);
            }
            return n.has_value();
        };
    };
    const auto fault = [&o](termsim::FaultKind kind) {
        return [&o, kind](const std::string& value) {
            termsim::RecordFault fault;
            if (!ParseFault(value, kind, fault)) {
                return false;
            }
            o.faults.push_back(fault);
            return true;
        };
    };
    const auto heading = [](const char* text) { return OptionRow{nullptr, nullptr, text, nullptr, {}}; };
    using termsim::FaultKind;
    return {
        heading("Required:"),
        {"--folder", "DIR", "the program folder (where libquorlin.so or Gathra lives)", nullptr,
         text(line.folder, false)},
        {"--port", "N", "the port number n of ports/COM<n> (1..256)", "a number from 1 to 256",
         number(line.port, 1, 256)},

        heading("The terminal:"),
        {"--id", "TEXT", "the terminal ID (UTF-8, sent as CP932; default T01)", nullptr,
         text(o.terminalId, true)},
        {"--records", "FILE",
         "the records, one per line, UTF-8 (sent as CP932); CR/LF line ends are\n"
         "both accepted; without this option the terminal has no records",
         nullptr, text(line.recordsPath, false)},
        {"--protocol", "0|1",
         "0: records as frames with sequence digits 0-9 (default);\n"
         "1: records as plain lines",
         "0 or 1", number(o.protocol, 0, 1)},
        {"--crc-type", "0|1", "0: the checksum covers \"^\" to \"*\" (default); 1: the payload and \"*\"",
         "0 or 1", number(o.checksumCoverage, 0, 1)},
        {"--uploads", "N", "uploads to serve before ending; 0 serves until stopped (default 1)",
         "a number of 0 or more", number(o.uploads, 0, 1000000)},
        {"--stay", nullptr,
         "after the last upload, keep the line (the pseudo-terminal and its link)\n"
         "without answering until SIGINT, SIGTERM, SIGHUP or the time limit, as a\n"
         "terminal left in its cradle; the exit code is then 0",
         nullptr, flag(line.stay, true)},
        {"--background", nullptr,
         "return at once when the line is ready (after the \"ready:\" line and\n"
         "\"background: <pid>\", exit code 0), the terminal playing on in the\n"
         "background; a script's next command then finds ports/COM<n>",
         nullptr, flag(line.background, true)},
        {"--end-word", "TEXT", "the end marker sent after the last record (default END)", nullptr,
         text(o.endWord, true)},
        {"--no-clock-answer", nullptr, "never answer \"TW...\" with \"OK\"", nullptr,
         flag(o.answerClock, false)},
        {"--no-enquiry-answer", nullptr, "never answer \"VOL\"", nullptr, flag(o.answerEnquiry, false)},

        heading("The infrared adapter (by default it answers at 9600 bit/s once the PC probes for it, so\n"
                "both Mode=1 and Mode=0 work; until the first probe every line is the terminal's):"),
        {"--adapter-speed", "BPS",
         "play the infrared adapter from the start, at BPS bit/s (9600, 19200,\n"
         "38400, 57600 or 115200): echo the probe byte 0x0F only at that speed,\n"
         "follow the speed command 0x07, code, \"Q\"; lines sent at another speed\n"
         "are lost",
         "9600, 19200, 38400, 57600 or 115200",
         [&o](const std::string& value) {
             const std::optional<long long> speed = NumberIn(value, 0, 115200);
             if (!speed || (*speed != 9600 && *speed != 19200 && *speed != 38400 && *speed != 57600 &&
                            *speed != 115200)) {
                 return false;
             }
             o.adapterMode = true;
             o.adapterSpeed = static_cast<int>(*speed);
             return true;
         }},
        {"--no-adapter", nullptr,
         "no adapter at all: the probe byte goes unanswered (a cradle wired directly)", nullptr,
         flag(o.adapterOnProbe, false)},

        heading("Timing and records:"),
        {"--pace", "BPS",
         "pace the terminal's output at BPS bit/s (10 bits per byte);\n"
         "0 = as fast as possible (default)",
         "bits per second (0 = as fast as possible)", number(o.pacingBitsPerSecond, 0, 10000000)},
        {"--transcript", "FILE",
         "write every line of both directions as JSON lines:\n"
         "{\"t\":<microseconds since start>,\"dir\":\"P\"|\"T\",\"speed\":<bit/s>,\n"
         " \"hex\":\"<bytes>\",\"text\":\"<bytes decoded from CP932>\"}",
         nullptr, text(o.transcriptPath, false)},
        // Bounded so that the deadline in microseconds cannot overflow.
        {"--time-limit", "SECONDS", "give up after SECONDS (exit code 1)", "a number of seconds",
         number(line.timeLimit, 1, 1000000000)},

        heading("Faults (K = 0-based record index, N = how many times in a row, default 1; options can "
                "repeat):"),
        {"--bad-checksum", "K[:N]", "record K with a wrong checksum", "K or K:N",
         fault(FaultKind::BadChecksum)},
        {"--lower-case", "K[:N]",
         "record K with its checksum digits in lower case (visible only when\n"
         "the checksum has a letter digit)",
         "K or K:N", fault(FaultKind::LowerCaseHex)},
        {"--wrong-sequence", "K[:N]", "record K with the next sequence digit", "K or K:N",
         fault(FaultKind::WrongSequence)},
        {"--repeat", "K[:N]", "send record K-1 again before record K (K >= 1)", "K or K:N",
         fault(FaultKind::RepeatPrevious)},
        {"--silence", "K[:N]", "do not answer the PC's line that asks for record K", "K or K:N",
         fault(FaultKind::Silence)},
        {"--garbage", "K[:N]", "a line of garbage bytes instead of record K", "K or K:N",
         fault(FaultKind::Garbage)},
        {"--over-long", "K[:N]", "a line of 300 bytes instead of record K", "K or K:N",
         fault(FaultKind::OverLong)},
        {"--hang-up", "K", "close the pseudo-terminal instead of sending record K", "a record index",
         [&o](const std::string& value) {
             const std::optional<long long> record = NumberIn(value, 0, 1000000);
             if (record) {
                 o.faults.push_back({FaultKind::HangUp, static_cast<int>(*record), 1});
             }
             return record.has_value();
         }},
        {"--enquiry-bad-checksum", "N", "the first N enquiry answers carry a wrong checksum", "a count",
         number(o.enquiryBadChecksum, 0, 1000000)},
        {"--enquiry-silence", "N", "the first N \"VOL\" are not answered", "a count",
         number(o.enquirySilence, 0, 1000000)},
        {"--enquiry-without-at", nullptr, "the enquiry answer carries no \"@\" and no count", nullptr,
         flag(o.enquiryWithoutAt, true)},
        {"--announced-count", "N", "announce N records instead of the number of records", "a count",
         number(o.announcedCount, 0, LLONG_MAX)},

        heading("Unplugging (the PC sees a device that is gone: end of file, EIO, POLLHUP):"),
        {"--hang-up-after", "MS",
         "close the pseudo-terminal MS milliseconds after start, whatever the\n"
         "terminal is doing",
         "a number from 1", number(o.hangUpAfterMs, 1, 1000000000)},
        {"--hang-up-at-enquiry", "N",
         "do not answer the N-th \"VOL\" (from 1): close the pseudo-terminal instead", "a number from 1",
         number(o.hangUpAtEnquiry, 1, 1000000000)},
        {"--replug-after", "MS",
         "after every hang-up, link a NEW pseudo-terminal as DIR/ports/COM<N> MS\n"
         "milliseconds later and play the terminal afresh on it (an upload in\n"
         "progress is forgotten; faults already used stay used); until then the\n"
         "link dangles, as a /dev/serial/by-id/ link does when a cradle is pulled.\n"
         "Each hang-up prints \"unplugged: DIR/ports/COM<N>\", each replug another\n"
         "\"ready:\" line.",
         "milliseconds", number(o.replugAfterMs, 0, 1000000000)},
    };
}

// The help: the introduction, the option table and the exit codes. An option's text starts in column
// 27, or in column 30 when the option and its value leave less than two blanks before column 27.
std::string HelpText(const std::vector<OptionRow>& table) {
    constexpr size_t kTextColumn = 26;
    constexpr size_t kLongOptionTextColumn = 29;
    std::string help = kHelpIntro;
    for (const OptionRow& row : table) {
        if (row.name == nullptr) {
            help += std::string("\n") + row.help + "\n";
            continue;
        }
        std::string left =
            std::string("  ") + row.name + (row.value != nullptr ? std::string(" ") + row.value : "");
        left.resize(left.size() + 2 <= kTextColumn ? kTextColumn : kLongOptionTextColumn, ' ');
        help += left;
        for (const char* c = row.help; *c != '\0'; ++c) {
            help += *c;
            if (*c == '\n') {
                help.append(kTextColumn, ' ');
            }
        }
        help += '\n';
    }
    return help + kHelpEnd;
}

// Reads the command line into `line`; an exit code when the program ends here (help, usage problem).
std::optional<int> ParseCommandLine(const std::vector<std::string>& args, CommandLine& line) {
    const std::vector<OptionRow> table = OptionTable(line);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(HelpText(table).c_str(), stdout);
            return kExitServed;
        }
        const auto row = std::find_if(table.begin(), table.end(), [&arg](const OptionRow& r) {
            return r.name != nullptr && arg == r.name;
        });
        if (row != table.end() && row->value == nullptr) {
            row->apply({});
            continue;
        }
        if (i + 1 >= args.size()) {
            return Usage("unknown option or missing value: " + arg);
        }
        const std::string& value = args[++i];
        if (row == table.end()) {
            return Usage("unknown option: " + arg);
        }
        if (!row->apply(value)) {
            return Usage(arg + " takes " + row->takes);
        }
    }
    if (line.folder.empty() || line.port == 0) {
        return Usage("--folder and --port are required");
    }
    return std::nullopt;
}

// Plays the terminal until the requested uploads are served, a signal of `signals` arrives or the time
// limit passes, telling whoever watches when the device goes and comes back; the exit code.
int Serve(termsim::Simulator& simulator, const sigset_t& signals, const CommandLine& line) {
    const int64_t deadline = line.timeLimit > 0 ? termsim::MonotonicMicros() + line.timeLimit * 1000000 : 0;
    int hangUpsShown = 0;
    int replugsShown = 0;
    while (line.stay || !simulator.Finished()) {
        for (; hangUpsShown < simulator.HangUps(); ++hangUpsShown) {
            std::printf("unplugged: %s\n", simulator.LinkPath().c_str());
        }
        for (; replugsShown < simulator.Replugs(); ++replugsShown) {
            std::printf("ready: %s -> %s\n", simulator.LinkPath().c_str(), simulator.DevicePath().c_str());
        }
        std::fflush(stdout);
        const timespec slice{0, 100 * 1000 * 1000};
        if (sigtimedwait(&signals, nullptr, &slice) > 0) {
            // Serving until stopped ends normally with a signal.
            return line.options.uploads == 0 || simulator.Finished() ? kExitServed : kExitInterrupted;
        }
        if (deadline != 0 && termsim::MonotonicMicros() >= deadline) {
            return simulator.Finished() ? kExitServed : kExitTimeLimit;
        }
    }
    // A terminal that leaves its cradle after its last upload leaves the cradle's line up: the line stays a
    // moment longer, so that the PC finds its final answer out before the device goes.
    const timespec linger{1, 0};
    sigtimedwait(&signals, nullptr, &linger);
    return kExitServed;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    // Gathra's settings expect the adapter (Mode=1) unless told otherwise; a PC in direct mode never probes.
    line.options.adapterOnProbe = true;
    if (const std::optional<int> exit =
            ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line)) {
        return *exit;
    }
    if (!line.recordsPath.empty() && !ReadRecords(line.recordsPath, line.options.records)) {
        std::fprintf(stderr, "gathra-termsim: cannot read the records file %s\n", line.recordsPath.c_str());
        return kExitSetUp;
    }

    // In the background: the parent returns once the child has linked the line (a byte on the pipe), or
    // with the child's exit code when its set-up failed. Before any thread exists.
    int readyPipe[2] = {-1, -1};
    if (line.background) {
        if (::pipe2(readyPipe, O_CLOEXEC) != 0) {
            std::perror("gathra-termsim: pipe");
            return kExitSetUp;
        }
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("gathra-termsim: fork");
            return kExitSetUp;
        }
        if (child > 0) {
            ::close(readyPipe[1]);
            char byte = 0;
            ssize_t got = 0;
            while ((got = ::read(readyPipe[0], &byte, 1)) < 0 && errno == EINTR) {
            }
            if (got == 1) {
                std::printf("background: %d\n", static_cast<int>(child));  // the process to stop, if need be
                return kExitServed;
            }
            int status = 0;
            ::waitpid(child, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : kExitSetUp;
        }
        ::close(readyPipe[0]);
    }

    // SIGINT and SIGTERM are taken synchronously in Serve, so the link is always removed. Blocked before
    // the simulator thread starts, so that thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    termsim::Simulator simulator;
    if (!simulator.Start(line.folder, static_cast<int>(line.port), line.options)) {
        std::fprintf(stderr, "gathra-termsim: %s\n", simulator.StartProblem().c_str());
        return kExitSetUp;
    }
    std::printf("ready: %s -> %s\n", simulator.LinkPath().c_str(), simulator.DevicePath().c_str());
    std::fflush(stdout);
    if (readyPipe[1] >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(readyPipe[1], "r", 1);
        ::close(readyPipe[1]);
    }

    const int result = Serve(simulator, signals, line);
    simulator.Stop();

    const std::vector<std::string> answers = simulator.FinalAnswers();
    for (size_t i = 0; i < answers.size(); ++i) {
        std::printf("upload %zu: %s\n", i + 1, answers[i].c_str());
    }
    std::printf("lines from the PC: %zu\n", simulator.LinesFromPc().size());
    return result;
}
