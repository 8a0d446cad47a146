// Any bytes as each frame of the driver host protocol: a decoder either
// rejects them or fills a record that encodes back to the very same bytes.
#include <cstdint>
#include <cstring>
#include <vector>

#include "driver/HostProtocol.h"

namespace {

template <typename Record>
void RoundTrip(const std::uint8_t* data, std::size_t size) {
    Record record;
    if (!driverhost::Decode(data, size, &record)) return;
    std::vector<std::uint8_t> again;
    driverhost::Encode(record, &again);
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RoundTrip<driverhost::SetUp>(data, size);
    RoundTrip<driverhost::Handshake>(data, size);
    RoundTrip<driverhost::Request>(data, size);
    RoundTrip<driverhost::Answer>(data, size);
    (void)driverhost::ClaimedLength(data, size);
    return 0;
}
