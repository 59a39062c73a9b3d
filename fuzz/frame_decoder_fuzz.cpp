// Feeds arbitrary bytes, split at arbitrary points, to the channel's frame reader. Every frame it
// yields must encode back to the bytes it came from.
#include "platform/xpc/xpc_frame.h"

#include <cstdlib>

using namespace korvane::xpc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = 1 + data[0] % 16;
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    FrameReader reader;
    std::size_t consumed = 0;
    try {
        for (std::size_t i = 0; i < input.size(); i += step) {
            reader.feed(input.subspan(i, std::min(step, input.size() - i)));
            while (auto frame = reader.next()) {
                const Data again = encodeFrame(*frame);
                if (consumed + again.size() > input.size() ||
                    !std::equal(again.begin(), again.end(), input.begin() + static_cast<std::ptrdiff_t>(consumed))) {
                    std::abort();   // a decoded frame that does not re-encode to its own bytes
                }
                consumed += again.size();
            }
        }
    } catch (const FrameError&) {
    }
    return 0;
}
