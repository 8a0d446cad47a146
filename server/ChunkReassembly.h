// Messages of a Remote Desktop dynamic channel as the server side reads them:
// each read gives one chunk of at most 1,600 bytes of data behind a
// CHANNEL_PDU_HEADER (u32 length of the whole message, u32 flags: 1 the
// first chunk, 2 the last). Chunks are joined until the last one; anything
// that does not add up is dropped whole, never passed on cut or joined
// wrongly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "relay/ChunkJoiner.h"

namespace kestav {
namespace detail {

using relay::kChunkFirst;
using relay::kChunkLast;
constexpr std::size_t kChunkHeader = 8;
constexpr std::size_t kChunkData = 1600;  // CHANNEL_CHUNK_LENGTH

class ChunkReassembler {
public:
    // Messages longer than `maximum` are dropped.
    explicit ChunkReassembler(std::size_t maximum) : maximum_(maximum), joiner_(maximum) {}

    enum class Result { NeedMore, Message, Dropped, TooLong };
    // One chunk as read. Message: *message is whole. Dropped: *problem
    // says what did not add up; the next message starts afresh. TooLong: a
    // message longer than `maximum` begins (*problem says how long), and
    // the rest of it is skipped as it comes.
    Result Feed(const std::uint8_t* chunk, std::size_t size, std::string* message, std::string* problem);
    // Forgets a message begun.
    void Reset() { joiner_.Reset(); }

private:
    std::size_t maximum_;
    relay::ChunkJoiner joiner_;  // the same joining as the client's static channels
};

}  // namespace detail
}  // namespace kestav
