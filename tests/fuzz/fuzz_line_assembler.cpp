// The link library's line assembly over arbitrary device input. The input is cut into read chunks at
// each 0xFF byte (the byte itself is dropped); after every chunk a complete line must end with CR and fit
// the caller's buffer, and a timed-out read (every 0xFE byte) must leave the assembler usable.
#include <cstdlib>
#include <string_view>

#include "fuzz_support.h"
#include "line_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    quorlin::LineAssembler assembler;
    const std::string_view input = AsText(data, size);
    auto check = [&](quorlin::LineAssembler::Outcome outcome) {
        if (outcome == quorlin::LineAssembler::Outcome::kLine) {
            const std::string_view line = assembler.line();
            if (line.empty() || line.back() != '\r' || line.size() > quorlin::LineAssembler::kMaxLine) {
                std::abort();
            }
        }
    };
    size_t start = 0;
    for (size_t i = 0; i <= input.size(); ++i) {
        if (i < input.size() && static_cast<unsigned char>(input[i]) < 0xFE) {
            continue;
        }
        if (assembler.TakeCarriedLine()) {
            check(quorlin::LineAssembler::Outcome::kLine);
        }
        check(assembler.Append(input.substr(start, i - start)));
        if (i < input.size() && static_cast<unsigned char>(input[i]) == 0xFE) {
            assembler.DropPartial();
        }
        start = i + 1;
    }
    return 0;
}
