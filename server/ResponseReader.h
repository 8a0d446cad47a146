// Whole responses out of a Remote Desktop data channel, within each call's
// time limit whatever the other end sends: a message that never ends, a
// flood, a message longer than any the module sends. Chunks come behind
// their CHANNEL_PDU_HEADERs (Windows: ChunkReassembler joins them) or as a
// stream without boundaries (xrdp: StreamResponse finds the end, with a
// marker command written on the command channel).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/SessionChannel.h"
#include "server/ChunkReassembly.h"
#include "server/StreamReassembly.h"

namespace kestav {
namespace detail {

// The two ends the reader uses: the data channel's chunks in, a command out.
class ChannelEnds {
public:
    virtual ~ChannelEnds() = default;
    // The next chunk, waiting at most timeoutMs (0: only what is there).
    virtual platform::ChunkWait Read(std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) = 0;
    // One command into the command channel; a KestavStatus, *error when not KESTAV_OK.
    virtual int Write(const std::string& command, std::string* error) = 0;
};

class ResponseReader {
public:
    // Responses longer than `maximum` are refused.
    ResponseReader(ChannelEnds& ends, bool chunkHeaders, std::size_t maximum);

    // The next whole response within timeoutMs: KESTAV_OK; KESTAV_TIMEOUT
    // (with words when a response had begun and not ended);
    // KESTAV_RESPONSE_TOO_LONG (the rest of it may still come: purge);
    // KESTAV_DISCONNECTED when the channel closed.
    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error);
    // Drops what has arrived until the channel is quiet: KESTAV_OK, or
    // KESTAV_TIMEOUT when data kept coming for timeoutMs.
    int Purge(std::uint32_t timeoutMs, std::string* error);

private:
    ChannelEnds& ends_;
    const bool chunkHeaders_;
    const std::size_t maximum_;
    ChunkReassembler joiner_;
    StreamResponse stream_;
    std::vector<std::uint8_t> chunk_;
};

}  // namespace detail
}  // namespace kestav
