// Remote Desktop sessions are Windows'.
#include "platform/DynamicChannel.h"

namespace platform {

struct DynamicChannel {};

DynamicChannel* OpenDynamicChannel(const std::string&, std::uint32_t* error) {
    *error = 50;  // ERROR_NOT_SUPPORTED
    return nullptr;
}
bool DynamicChannelWrite(DynamicChannel*, const std::string&, std::uint32_t* error) {
    *error = 50;
    return false;
}
ChunkWait DynamicChannelRead(DynamicChannel*, std::uint32_t, std::vector<std::uint8_t>*) {
    return ChunkWait::Closed;
}
void CloseDynamicChannel(DynamicChannel*) {}

}  // namespace platform
