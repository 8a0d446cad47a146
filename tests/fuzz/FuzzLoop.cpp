// Any bytes as one message on the local loop's pipe, as the listener and the
// programs' end decode them: refused, or a frame that encodes back to the
// very same bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "server/LoopProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    loop::Frame frame;
    if (!loop::Decode(data, size, &frame)) return 0;
    std::vector<std::uint8_t> again;
    loop::Encode(frame, &again);
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) __builtin_trap();
    return 0;
}
