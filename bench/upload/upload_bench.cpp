// Measures a whole upload of 2,000 records of about 40 bytes: RunUpload with the real libquorlin.so against
// gathra-termsim on a pseudo-terminal, once as fast as the simulator answers and once with the terminal's
// output paced at 115200 bit/s. Prints records per second and the ratio of the measured time to the floor:
// the 2 ms spacing before every PC line plus the time the terminal's bytes need on the wire (10 bits a
// byte). The floor with the PC's own bytes on the wire as well is printed beside it: a pseudo-terminal
// carries the PC's lines at once, so that floor is what a real line would add.
// The same uploads run through a serial device server as well: ser2net on loopback with an RFC 2217 port
// in front of the simulator's pseudo-terminal (chardelay off, and paced once with ser2net's default).
// Then times the engine alone against an in-process terminal that answers at once, and SaveAsText on a
// backup of 32,767 records. Last, the scale of one server: twenty gathra-collect processes, each on an
// RFC 2217 port of its own through one ser2net, idle (CPU and resident memory of all of them), then five
// of them uploading at once, paced at 115200 bit/s (each one's ratio to the floor).
// Through ser2net the simulator hands its paced bytes over in handfuls of 8, each when its last byte is
// due, as the UART in front of a device server does (see kUartFifoBytes): byte by byte the rig, not the
// PC, set the network figures. On the local pseudo-terminal it still writes byte by byte.
//
// Usage: bench_upload [records, default 2000] [local | network | scale]
// With a second word only that part runs: the uploads on the local pseudo-terminal and the engine alone
// (a quick series of pairs against an older build, whose benchmark had only those), the uploads through
// ser2net, or the twenty collectors.
// The library is taken from $GATHRA_BIN_DIR, or from the build's bin folder.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_view.h"
#include "binding/quorlin_binding.h"
#include "output/text/text_store.h"
#include "run/operator_view.h"
#include "support/child_process.h"
#include "support/device_server.h"
#include "support/temp_folder.h"
#include "termsim.h"
#include "upload/upload_engine.h"
#include "upload_test_support.h"

namespace {

constexpr double kSpacingSeconds = 0.002;

// Behind a device server the terminal's bytes come from a UART, whose receive FIFO hands them over a few
// at a time (a 16550's usual trigger level), not one by one: paced uploads through ser2net get them so.
// Byte by byte, five simulators writing a byte each 87 us and ser2net sending each byte in a segment of
// its own spend most of two cores on the rig itself, and that is what the five-at-once ratio then
// measured (about 1.2 to 1.4 against 1.06 in handfuls of 8).
constexpr int kUartFifoBytes = 8;

// The library's WriteIrCom, stamped when it returns (CLOCK_MONOTONIC, the transcript's clock), and beside
// it when the last read before it returned a line, so the PC side can be split into the terminal's line
// reaching the PC, the PC's own turnaround (from the line in hand to the answer written, which no stamp of
// the simulator's moves) and the pseudo-terminal carrying the answer to the simulator.
const LinkApi* boundLink = nullptr;
std::vector<int64_t> writeReturns;
std::vector<int64_t> lineReads;  // for each write, the return of the last read that gave a line
int64_t lastLineRead = 0;
int32_t StampedRead(char* buffer) {
    const int32_t result = boundLink->vbReadIrCom(buffer);
    if (result > 0) {
        lastLineRead = termsim::MonotonicMicros();
    }
    return result;
}
int32_t StampedWrite(const char* text) {
    const int32_t result = boundLink->WriteIrCom(text);
    writeReturns.push_back(termsim::MonotonicMicros());
    lineReads.push_back(lastLineRead);
    return result;
}

// Text output into `saveFolder` on COM1 at 115200 bit/s, every field taken, the clock left alone, the
// output overwritten.
SettingsRecord BenchSettings(const std::string& saveFolder, const std::string& backFilePath) {
    SettingsRecord settings;
    SetUploadDefaults(settings, saveFolder, backFilePath, 1);
    settings.OverWrite = 1;
    return settings;
}

std::string Record(int i) {
    // About 40 bytes: a code, a quantity, a date, a place and a note.
    char text[64];
    std::snprintf(text, sizeof text, "4901234%06d,%4d,20240102,A-%03d,ITEM%05d", i, i % 997, i % 100, i);
    return text;
}

// Where the simulator's pseudo-terminal is: the program folder's ports/COM1 itself, or behind ser2net's
// RFC 2217 port (with its chardelay off or, as ser2net ships, on).
enum class Path { kLocal, kRfc2217, kRfc2217CharDelay };

// The time of an upload from the enquiry the terminal answered to the PC's final answer, and the floor the
// line sets for it (see the top of this file); the first and the last line are stamped at their first
// byte, so the upload ends a spacing after the last stamp.
struct Timing {
    double measured = 0;
    double floor = 0;
    double lineFloor = 0;  // with the PC's bytes on the wire as well
};
Timing TimeUpload(const std::vector<termsim::TranscriptEntry>& transcript, int pacing) {
    size_t first = 0;
    while (first + 1 < transcript.size() && transcript[first + 1].direction == 'P') {
        ++first;  // enquiries nobody answered
    }
    const double byteTime = pacing > 0 ? 10.0 / pacing : 0.0;
    Timing timing;
    long pcLines = 0;
    for (size_t i = first; i < transcript.size(); ++i) {
        const double bytes = static_cast<double>(transcript[i].bytes.size()) * byteTime;
        pcLines += transcript[i].direction == 'P' ? 1 : 0;
        timing.floor += transcript[i].direction == 'T' ? bytes : 0.0;
        timing.lineFloor += bytes;
    }
    timing.floor += static_cast<double>(pcLines) * kSpacingSeconds;
    timing.lineFloor += static_cast<double>(pcLines) * kSpacingSeconds;
    timing.measured =
        static_cast<double>(transcript.back().micros - transcript[first].micros) / 1e6 + kSpacingSeconds;
    return timing;
}

bool RunOne(const std::string& binDir, const char* label, int records, int pacing, Path path = Path::kLocal) {
    TempFolder program;
    if (!program.CopyLibrary(binDir)) {
        std::fprintf(stderr, "cannot copy libquorlin.so from %s\n", binDir.c_str());
        return false;
    }
    boundLink = BindQuorlin(program.Path());
    if (boundLink == nullptr) {
        std::fprintf(stderr, "cannot bind libquorlin.so\n");
        return false;
    }
    LinkApi stamped = *boundLink;
    stamped.WriteIrCom = &StampedWrite;
    stamped.vbReadIrCom = &StampedRead;
    const LinkApi* link = &stamped;
    writeReturns.clear();
    writeReturns.reserve(static_cast<size_t>(records) * 2 + 16);
    lineReads.clear();
    lineReads.reserve(writeReturns.capacity());
    lastLineRead = 0;
    const std::string save = program.Path() + "/save";
    std::filesystem::create_directory(save);

    termsim::Options options;
    for (int i = 0; i < records; ++i) {
        options.records.push_back(Record(i));
    }
    options.pacingBitsPerSecond = pacing;
    options.pacingChunk = path == Path::kLocal ? 1 : kUartFifoBytes;
    termsim::Simulator sim;
    TempFolder cradle;
    if (!sim.Start(path == Path::kLocal ? program.Path() : cradle.Path(), 1, options)) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return false;
    }
    DeviceServer server({{"telnet(rfc2217)", cradle / "ports/COM1", path == Path::kRfc2217CharDelay}});
    if (path != Path::kLocal) {
        std::filesystem::create_directory(program / "ports");
        if (!server.Start() || ::symlink(server.Url(0).c_str(), (program / "ports/COM1").c_str()) != 0) {
            std::fprintf(stderr, "cannot start ser2net\n");
            return false;
        }
    }

    SettingsRecord settings = BenchSettings(save, program.Path() + "/Back.txt");
    RunState run;
    run.IsRunning = true;
    BenchView view;
    UploadContext context{settings, run, view, link};

    // The time from the first line on the wire to the PC's final answer, from the simulator's transcript;
    // the port opening before it is not part of the upload.
    RunUpload(context);
    sim.WaitFinished(5000);
    const auto transcript = sim.Transcript();
    if (sim.FinalAnswers() != std::vector<std::string>{"ACK"} || transcript.empty()) {
        std::fprintf(stderr, "%s: the upload did not end with ACK (%s)\n", label, view.last.c_str());
        return false;
    }
    const Timing timing = TimeUpload(transcript, pacing);
    const double measured = timing.measured;
    const double floor = timing.floor;
    const double byteTime = pacing > 0 ? 10.0 / pacing : 0.0;
    long pcLines = 0;
    for (const auto& entry : transcript) {
        pcLines += entry.direction == 'P' ? 1 : 0;
    }
    std::printf("%-30s %5d records  %7.3f s  %7.1f records/s  floor %7.3f s  ratio %.3f", label, records,
                measured, records / measured, floor, measured / floor);
    if (pacing > 0) {
        std::printf("  (floor with PC bytes %7.3f s, ratio %.3f)", timing.lineFloor,
                    measured / timing.lineFloor);
    }
    // Where the time above the floor goes: the PC's side (a terminal line's last byte to the PC's next
    // line, less the 2 ms spacing: the engine, the link and the scheduler) and the terminal's side (a PC
    // line to the end of the answer, less the answer's bytes on the wire: the simulator).
    double pcSide = 0;
    std::vector<double> pcGaps;  // each line's PC side, for a median that one slow wake-up does not move
    double terminalSide = 0;
    long pcTurns = 0;
    long terminalTurns = 0;
    // The PC side split at the moment WriteIrCom returned: the PC's turnaround (the terminal's line
    // reaching the PC, the engine, the spacing, the write: on a network port until the server has
    // acknowledged it) and the delivery of the PC's line to the simulator's read (by the pseudo-terminal,
    // or by ser2net as well).
    double pcTurnaround = 0;
    double pcDelivery = 0;
    long splitTurns = 0;
    // The turnaround split once more at the return of the read that gave the PC the terminal's line: the
    // line reaching the PC (the simulator's write, the pseudo-terminal or ser2net, the PC's wake-up) and
    // the PC's own part (the engine, the spacing's precision, the write).
    double lineReaching = 0;
    double pcOwn = 0;
    const int64_t origin = sim.OriginMicros();
    size_t pcIndex = 0;
    for (size_t i = 0; i < transcript.size(); ++i) {
        const auto& entry = transcript[i];
        if (entry.direction == 'P') {
            if (i > 0 && transcript[i - 1].direction == 'T' && pcIndex < writeReturns.size()) {
                const double returned = static_cast<double>(writeReturns[pcIndex] - origin);
                pcTurnaround +=
                    returned - static_cast<double>(transcript[i - 1].micros) - kSpacingSeconds * 1e6;
                pcDelivery += static_cast<double>(entry.micros) - returned;
                const double lineRead = static_cast<double>(lineReads[pcIndex] - origin);
                lineReaching += lineRead - static_cast<double>(transcript[i - 1].micros);
                pcOwn += returned - lineRead - kSpacingSeconds * 1e6;
                ++splitTurns;
            }
            ++pcIndex;
        }
        if (i == 0) {
            continue;
        }
        const auto& previous = transcript[i - 1];
        const double gap = static_cast<double>(entry.micros - previous.micros);
        if (previous.direction == 'T' && entry.direction == 'P') {
            pcSide += gap - kSpacingSeconds * 1e6;
            pcGaps.push_back(gap - kSpacingSeconds * 1e6);
            ++pcTurns;
        } else if (previous.direction == 'P' && entry.direction == 'T') {
            terminalSide += gap - static_cast<double>(entry.bytes.size()) * byteTime * 1e6;
            ++terminalTurns;
        }
    }
    std::printf(
        "\n    above the floor per record: %.1f us (PC side %.1f us per line, terminal side %.1f us per "
        "line); %ld PC lines, %ld status updates\n",
        (measured - floor) / records * 1e6, pcTurns > 0 ? pcSide / pcTurns : 0.0,
        terminalTurns > 0 ? terminalSide / terminalTurns : 0.0, pcLines, view.statusCalls);
    if (!pcGaps.empty()) {
        const auto middle = pcGaps.begin() + static_cast<std::ptrdiff_t>(pcGaps.size() / 2);
        std::nth_element(pcGaps.begin(), middle, pcGaps.end());
        std::printf("    PC side median: %.1f us per line\n", *middle);
    }
    if (splitTurns > 0 && pcIndex == writeReturns.size()) {
        std::printf(
            "    PC side split: %.1f us the PC's turnaround to its write's return, %.1f us carrying the line "
            "to the simulator\n",
            pcTurnaround / splitTurns, pcDelivery / splitTurns);
        std::printf(
            "    turnaround split: %.1f us the terminal's line reaching the PC's read, %.1f us the PC's own "
            "(its read's return to its write's return, less the spacing)\n",
            lineReaching / splitTurns, pcOwn / splitTurns);
    }
    sim.Stop();
    return true;
}

// A terminal that answers at once, inside the process: what RunUpload itself costs per record (frame
// checks, the backup and log writes, the status update), without a line or a scheduler between.
namespace instant {
std::vector<std::string> lines;  // the terminal's answers in order
size_t next = 0;
int32_t Open(int32_t, int32_t, int32_t) {
    return 1;
}
int32_t Clear() {
    return 0;
}
int32_t Write(const char*) {
    return 1;
}
int32_t Read(char* buffer) {
    if (next >= lines.size()) {
        return -1;
    }
    const std::string bytes = lines[next++] + "\r";
    std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
    return static_cast<int32_t>(bytes.size());
}
int32_t Close() {
    return 0;
}
}  // namespace instant

bool TimeEngineAlone(int records) {
    const std::string folder = std::filesystem::temp_directory_path() / "gathra-bench-engine";
    std::filesystem::create_directories(folder);
    instant::lines = {Frame('#', "T01@" + std::to_string(records))};
    for (int i = 0; i < records; ++i) {
        instant::lines.push_back(Frame(static_cast<char>('0' + i % 10), Record(i)));
    }
    instant::lines.push_back("END");
    instant::next = 0;
    LinkApi link;
    link.vbOpenIrCom = &instant::Open;
    link.ClearIrCom = &instant::Clear;
    link.WriteIrCom = &instant::Write;
    link.vbReadIrCom = &instant::Read;
    link.CloseIrCom = &instant::Close;

    SettingsRecord settings = BenchSettings(folder, folder + "/Back.txt");
    RunState run;
    run.IsRunning = true;
    BenchView view;
    UploadContext context{settings, run, view, &link};
    const auto start = std::chrono::steady_clock::now();
    RunUpload(context);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool ok = view.last.find("正常終了") != std::string::npos;
    std::printf(
        "engine alone (instant link) %5d records  %7.3f s  %7.1f us per record, the text store "
        "included  (%s)\n",
        records, seconds, seconds / records * 1e6, ok ? "ok" : "FAILED");
    std::filesystem::remove_all(folder);
    return ok;
}

bool TimeSaveAsText(int records) {
    const std::string folder = std::filesystem::temp_directory_path() / "gathra-bench-text";
    std::filesystem::create_directories(folder);
    SettingsRecord settings;
    settings.BackFilePath = folder + "/Back.txt";
    settings.OverWrite = 1;
    settings.SelectedFields.fill(1);
    settings.SelectedFields[1] = 0;  // field 2 left out
    {
        std::ofstream backup(settings.BackFilePath, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < records; ++i) {
            backup << Record(i) << "\r\n";
        }
    }
    RunState run;
    run.OutputPath = folder + "/T01.txt";
    BenchView view;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = TextStore().Save(settings, run, view);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("SaveAsText                 %5d records  %7.3f s  %9.0f records/s  (%s, output %ju bytes)\n",
                records, seconds, records / seconds, ok ? "ok" : "FAILED",
                static_cast<uintmax_t>(std::filesystem::file_size(run.OutputPath)));
    std::filesystem::remove_all(folder);
    return ok;
}

// CPU time of all of a process's threads (ns, from each thread's schedstat), and its resident and
// proportional memory (KiB: the proportional set counts a page shared by n processes as 1/n of a page).
struct Usage {
    double cpuNs = 0;
    long residentKb = 0;
    long proportionalKb = 0;
};
Usage UsageOf(pid_t pid) {
    Usage usage;
    const std::string proc = "/proc/" + std::to_string(pid);
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = 0;
        usage.cpuNs += schedstat >> ns ? ns : 0;
    }
    std::ifstream rollup(proc + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
        if (line.rfind("Rss:", 0) == 0) {
            usage.residentKb = std::stol(line.substr(4));
        } else if (line.rfind("Pss:", 0) == 0) {
            usage.proportionalKb = std::stol(line.substr(4));
        }
    }
    return usage;
}

// Total CPU (percent of one core) and memory (MiB) of `pids` over `seconds`.
void PrintUsage(const char* label, const std::vector<pid_t>& pids, double seconds) {
    double before = 0;
    for (const pid_t pid : pids) {
        before += UsageOf(pid).cpuNs;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Usage total;
    for (const pid_t pid : pids) {
        const Usage usage = UsageOf(pid);
        total.cpuNs += usage.cpuNs;
        total.residentKb += usage.residentKb;
        total.proportionalKb += usage.proportionalKb;
    }
    std::printf("    %-24s CPU %6.3f %% of one core  resident %6.1f MiB  proportional %6.1f MiB\n", label,
                (total.cpuNs - before) / 1e9 / seconds * 100.0,
                static_cast<double>(total.residentKb) / 1024.0,
                static_cast<double>(total.proportionalKb) / 1024.0);
}

// Twenty collectors, each in its own program folder with ports/COM1 linked to an RFC 2217 port of one
// ser2net, each port in front of a simulated terminal: first all of them waiting for a terminal, then five
// uploading at once (their terminals stay silent for the first 40 enquiries, about 20 s, then answer).
bool MeasureScale(const std::string& binDir, int records) {
    constexpr int kCollectors = 20;
    constexpr int kUploading = 5;
    constexpr int kPacing = 115200;
    TempFolder root;
    TempFolder cradles;
    std::vector<termsim::Simulator> terminals(kCollectors);
    std::vector<DeviceServer::Port> ports;
    for (int i = 0; i < kCollectors; ++i) {
        termsim::Options options;
        options.answerEnquiry = i < kUploading;
        options.enquirySilence = 40;
        options.pacingBitsPerSecond = kPacing;
        options.pacingChunk = kUartFifoBytes;
        for (int r = 0; i < kUploading && r < records; ++r) {
            options.records.push_back(Record(r));
        }
        if (!terminals[i].Start(cradles.Path(), i + 1, options)) {
            return false;
        }
        ports.push_back({"telnet(rfc2217)", cradles / ("ports/COM" + std::to_string(i + 1))});
    }
    DeviceServer server(ports);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start ser2net\n");
        return false;
    }
    std::vector<std::unique_ptr<ChildProcess>> collectors;
    std::vector<pid_t> pids;
    for (int i = 0; i < kCollectors; ++i) {
        const std::string folder = root / ("c" + std::to_string(i));
        std::filesystem::create_directory(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        const std::string collect = binDir + "/gathra-collect";
        if (Spawn({collect, "--folder", folder, "--init"}).ExitCode != 0) {
            return false;
        }
        std::string ini = ReadBytes(folder + "/Gathra.ini");
        ini.replace(ini.find("\nMode=1"), 7, "\nMode=0");
        ini.replace(ini.find("\nTimeAdjust=1"), 13, "\nTimeAdjust=0");
        WriteBytes(folder + "/Gathra.ini", ini);
        std::filesystem::create_symlink(server.Url(static_cast<size_t>(i)), folder + "/ports/COM1");
        collectors.push_back(std::make_unique<ChildProcess>());
        if (!collectors.back()->Start({collect, "--folder", folder})) {
            return false;
        }
        pids.push_back(collectors.back()->Pid());
    }
    for (const auto& collector : collectors) {
        if (!collector->WaitForOutput("ｵｰﾌﾟﾝ成功", std::chrono::seconds(10))) {
            std::fprintf(stderr, "a collector did not open its port: %s\n", collector->Output().c_str());
            return false;
        }
    }
    std::printf("scale: %d collectors, each on an RFC 2217 port of one ser2net (chardelay off)\n",
                kCollectors);
    PrintUsage("idle, the collectors", pids, 8.0);
    PrintUsage("idle, ser2net", {server.Pid()}, 4.0);
    // Once the five uploads run: what they cost (the simulators hand their lines over as a UART's FIFO
    // does, and ser2net passes each handful on in a segment of its own).
    for (int i = 0; i < kUploading; ++i) {
        terminals[i].WaitLinesFromPc(44, 60000);  // 40 silent enquiries, the answered one, 3 records
    }
    PrintUsage("5 uploading, collectors", pids, 4.0);
    PrintUsage("5 uploading, ser2net", {server.Pid()}, 4.0);
    bool ok = true;
    for (int i = 0; i < kUploading; ++i) {
        ok = terminals[i].WaitFinished(120000) &&
             terminals[i].FinalAnswers() == std::vector<std::string>{"ACK"} && ok;
        const Timing timing = TimeUpload(terminals[i].Transcript(), kPacing);
        std::printf(
            "    uploading %d of %d at once, collector %d: %d records  %7.3f s  floor %7.3f s  ratio %.3f\n",
            kUploading, kCollectors, i + 1, records, timing.measured, timing.floor,
            timing.measured / timing.floor);
    }
    for (const auto& collector : collectors) {
        collector->Stop();
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string binDir = BinDir(GATHRA_DEFAULT_BIN_DIR);
    const std::string only = argc > 2 ? argv[2] : "";
    const bool local = only.empty() || only == "local";
    const bool network = only.empty() || only == "network";
    bool ok = true;
    if (local) {
        ok = RunOne(binDir, "upload, full speed", records, 0) && ok;
    }
    if (network) {
        ok = RunOne(binDir, "upload, full speed, RFC 2217", records, 0, Path::kRfc2217) && ok;
    }
    if (local) {
        ok = RunOne(binDir, "upload, 115200 bit/s", records, 115200) && ok;
    }
    if (network) {
        ok = RunOne(binDir, "upload, 115200 bit/s, RFC 2217", records, 115200, Path::kRfc2217) && ok;
        ok = RunOne(binDir, "  the same, ser2net chardelay on", records, 115200, Path::kRfc2217CharDelay) &&
             ok;
    }
    if (local) {
        ok = TimeEngineAlone(records) && ok;
    }
    if (only.empty()) {
        ok = TimeSaveAsText(32767) && ok;
    }
    if (only.empty() || only == "scale") {
        ok = MeasureScale(binDir, records) && ok;
    }
    return ok ? 0 : 1;
}
