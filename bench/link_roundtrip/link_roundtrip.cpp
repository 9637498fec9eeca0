// Measures one round trip — SendLine("VOL") and ReceiveLine() of the terminal's answer — through the real
// libquorlin.so against gathra-termsim on a pseudo-terminal, and prints it beside the 2 ms floor that the
// write spacing imposes on every line the PC sends.
//
// Usage: bench_link_roundtrip [round trips per run, default 1000]
// The library is taken from $GATHRA_BIN_DIR, or from the build's bin folder.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <string>
#include <vector>

#include "binding/quorlin_binding.h"
#include "codec/frame_codec.h"
#include "support/temp_folder.h"
#include "termsim.h"

namespace {

constexpr double kFloorMicros = 2000.0;

struct Figures {
    double mean = 0;
    double median = 0;
    double p95 = 0;
    double min = 0;
    double max = 0;
};

Figures Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    Figures f;
    f.mean = std::accumulate(samples.begin(), samples.end(), 0.0) / static_cast<double>(samples.size());
    f.median = samples[samples.size() / 2];
    f.p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
    f.min = samples.front();
    f.max = samples.back();
    return f;
}

// One run: a fresh program folder and simulator, the port opened direct at `speed`, then `count` round
// trips. Returns false when the set-up fails or an answer is wrong.
bool Run(const std::string& binDir, const char* label, int speed, int pacing, int count) {
    TempFolder folder;
    if (!folder.CopyLibrary(binDir)) {
        std::fprintf(stderr, "cannot copy libquorlin.so from %s\n", binDir.c_str());
        return false;
    }
    const LinkApi* link = BindQuorlin(folder.Path());
    if (link == nullptr) {
        std::fprintf(stderr, "cannot bind libquorlin.so\n");
        return false;
    }
    termsim::Options options;
    options.uploads = 0;
    options.pacingBitsPerSecond = pacing;
    termsim::Simulator sim;
    if (!sim.Start(folder.Path(), 1, options) || link->vbOpenIrCom(1, speed, 0) != 1) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        return false;
    }
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(count));
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const int64_t start = termsim::MonotonicMicros();
        SendLine(*link, "VOL");
        const std::string answer = ReceiveLine(*link);
        samples.push_back(static_cast<double>(termsim::MonotonicMicros() - start));
        ok = answer == "^#T01@0*D0";
    }
    link->CloseIrCom();
    sim.Stop();
    if (!ok) {
        std::fprintf(stderr, "%s: wrong answer from the terminal\n", label);
        return false;
    }
    const Figures f = Summarise(samples);
    std::printf("%-34s %6d  %8.0f %8.0f %8.0f %8.0f %8.0f  %6.3f\n", label, count, f.mean, f.median, f.p95,
                f.min, f.max, f.mean / kFloorMicros);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const std::string binDir = BinDir(GATHRA_DEFAULT_BIN_DIR);

    std::printf("Round trip = SendLine(\"VOL\") + ReceiveLine() of the 11-byte answer, in microseconds.\n");
    std::printf("Floor: %.0f us (the minimum spacing before every write).\n\n", kFloorMicros);
    std::printf("%-34s %6s  %8s %8s %8s %8s %8s  %6s\n", "case", "trips", "mean", "median", "p95", "min",
                "max", "mean/floor");
    bool ok = Run(binDir, "as fast as possible", 115200, 0, count);
    ok = Run(binDir, "terminal paced at 115200 bit/s", 115200, 115200, count) && ok;
    ok = Run(binDir, "terminal paced at 9600 bit/s", 9600, 9600, std::max(1, count / 10)) && ok;
    return ok ? 0 : 1;
}
