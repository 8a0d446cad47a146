#include "server/ChunkReassembly.h"

namespace kestav {
namespace detail {

namespace {
std::uint32_t U32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}
}  // namespace

ChunkReassembler::Result ChunkReassembler::Feed(const std::uint8_t* chunk, std::size_t size,
                                                std::string* message, std::string* problem) {
    using Joined = relay::ChunkJoiner::Result;
    if (chunk == nullptr || size < kChunkHeader) {
        joiner_.Abandon(false);
        *problem = "a chunk of " + std::to_string(size) + " bytes, shorter than its header";
        return Result::Dropped;
    }
    const std::uint32_t length = U32(chunk);
    const std::uint32_t flags = U32(chunk + 4);
    const std::size_t data = size - kChunkHeader;
    if (data > kChunkData) {
        joiner_.Abandon((flags & kChunkLast) != 0);
        *problem = "a chunk of " + std::to_string(data) + " bytes of data, more than 1600";
        return Result::Dropped;
    }
    switch (joiner_.Feed(flags, length, chunk + kChunkHeader, data, message, problem)) {
    case Joined::NeedMore: return Result::NeedMore;
    case Joined::Message: return Result::Message;
    case Joined::Dropped: return Result::Dropped;
    case Joined::TooLong: break;
    }
    *problem = "a response of " + std::to_string(length) + " bytes, longer than any the module sends (at most " +
               std::to_string(maximum_) + ")";
    return Result::TooLong;
}

}  // namespace detail
}  // namespace kestav
