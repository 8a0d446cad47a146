// The server end of a Remote Desktop dynamic virtual channel of this
// process's session: whole messages written, chunks read. On Windows each
// chunk comes behind its CHANNEL_PDU_HEADER (server/ChunkReassembly.h joins
// them); in an xrdp session (Linux, through xrdp's libxrdpapi) a read gives
// the bytes that have arrived, with no header and no boundary
// (server/StreamReassembly.h finds where a response ends).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct DynamicChannel;

// Whether each chunk read comes behind a CHANNEL_PDU_HEADER.
extern const bool kChunkHeaders;

// Null with *error (the system's code) when the session has no such channel.
DynamicChannel* OpenDynamicChannel(const std::string& name, std::uint32_t* error);
bool DynamicChannelWrite(DynamicChannel* channel, const std::string& bytes, std::uint32_t* error);
enum class ChunkWait { Done, TimedOut, Closed };
// The next chunk, waiting at most timeoutMs; on a time-out the read stays
// pending for the next call.
ChunkWait DynamicChannelRead(DynamicChannel* channel, std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk);
void CloseDynamicChannel(DynamicChannel* channel);

}  // namespace platform
