// The frame check over arbitrary terminal lines: the first byte picks the frame type and checksum
// coverage, the rest is the line. The check must return one of its three outcomes and never read past the
// line; a frame it accepts must carry two checksum digits before its last "*"-free end.
#include <cstdlib>

#include "codec/frame_codec.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    static const char kTypes[] = {'#', '0', '1', '5', '9', '^'};
    const char type = kTypes[data[0] % sizeof(kTypes)];
    const auto coverage = static_cast<ChecksumCoverage>((data[0] >> 4) & 1);
    const std::string line(AsText(data + 1, size - 1));
    const FrameCheck result = CheckFrame(line, type, coverage);
    if (result != FrameCheck::Ok && result != FrameCheck::FormatError &&
        result != FrameCheck::ChecksumError) {
        std::abort();
    }
    return 0;
}
