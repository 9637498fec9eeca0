// The network port's Telnet decoder over arbitrary server bytes: read whole or a byte at a time, it gives
// the same data, replies and option states; it never gives more data than it read; and data the client
// encodes comes back unchanged.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "telnet_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input = AsText(data, size);
    quorlin::TelnetClient whole, split;
    std::string wholeData, wholeReplies, splitData, splitReplies;
    whole.Receive(input, wholeData, wholeReplies);
    for (const char c : input) {
        split.Receive(std::string_view(&c, 1), splitData, splitReplies);
    }
    if (wholeData != splitData || wholeReplies != splitReplies || whole.Settled() != split.Settled() ||
        whole.Binary() != split.Binary() || wholeData.size() > input.size() || wholeReplies.size() % 3 != 0) {
        std::abort();
    }
    std::string encoded, decoded;
    quorlin::TelnetClient::EncodeData(input, encoded);
    quorlin::TelnetClient().Receive(encoded, decoded, wholeReplies);
    if (decoded != input || wholeReplies.size() != splitReplies.size()) {
        std::abort();
    }
    return 0;
}
