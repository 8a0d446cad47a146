// Messages of a virtual channel that come in chunks, each with the
// message's whole length and the flags FIRST (1) and LAST (2): the static
// channels' data events on the client, and the chunks behind their
// CHANNEL_PDU_HEADERs that a Windows server reads. Chunks are joined until
// the last one; a message announced longer than the bound is refused before
// any byte of it is kept, and anything that does not add up (a chunk of no
// message, lengths that disagree, more or fewer bytes than announced) is
// dropped whole, never passed on cut or joined wrongly. The next message
// reads afresh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace relay {

constexpr std::uint32_t kChunkFirst = 0x01;
constexpr std::uint32_t kChunkLast = 0x02;

class ChunkJoiner {
public:
    // Messages longer than `maximum` are refused.
    explicit ChunkJoiner(std::size_t maximum) : maximum_(maximum) {}

    enum class Result { NeedMore, Message, Dropped, TooLong };
    // One chunk: `total` is the whole message's length as announced.
    // Message: *message is whole. Dropped: *problem says what did not add
    // up. TooLong: a message longer than `maximum` begins (Announced() says
    // how long); the rest of it is skipped as it comes.
    Result Feed(std::uint32_t flags, std::uint32_t total, const std::uint8_t* data, std::size_t size,
                std::string* message, std::string* problem);
    // Drops a message begun, as when its channel closes; the next chunk must be a first.
    void Reset();
    // Drops a message begun for a reason of the caller's; unless
    // `lastChunk`, the rest of it is skipped as it comes.
    void Abandon(bool lastChunk);
    std::uint32_t Announced() const { return announced_; }

private:
    Result Drop(const std::string& why, bool lastChunk, std::string* problem);

    std::size_t maximum_;
    bool inMessage_ = false;
    bool skipping_ = false;  // the rest of a dropped or refused message
    std::uint32_t expected_ = 0;
    std::uint32_t announced_ = 0;
    std::string partial_;
};

}  // namespace relay
