// A channel of this process's Remote Desktop session, from the server end
// (dynamic or static): whole messages written, chunks read. A
// Windows dynamic channel gives each chunk behind its CHANNEL_PDU_HEADER
// (server/ChunkReassembly.h joins them); a static one gives the bytes alone,
// and so does every channel of an xrdp session (Linux, through xrdp's
// libxrdpapi): bytes as they have arrived, with no boundary
// (server/StreamReassembly.h finds where a response ends).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct SessionChannel;

// The longest write the server passes to the client as one message; 0
// where there is no such bound (xrdp cuts writes at 32,768 bytes).
extern const std::size_t kLongestWholeWrite;

// Null with *error (the system's code) when the session has no such channel.
// A static channel may open where no client would carry it (xrdp opens one
// it does not list, and one while no client is connected).
SessionChannel* OpenDynamicChannel(const std::string& name, std::uint32_t* error);
SessionChannel* OpenStaticChannel(const std::string& name, std::uint32_t* error);
// Whether each chunk read from the channel comes behind a CHANNEL_PDU_HEADER.
bool ChunkHeaders(const SessionChannel* channel);
bool SessionChannelWrite(SessionChannel* channel, const std::string& bytes, std::uint32_t* error);
enum class ChunkWait { Done, TimedOut, Closed };
// The next chunk, waiting at most timeoutMs; on a time-out the read stays
// pending for the next call.
ChunkWait SessionChannelRead(SessionChannel* channel, std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk);
void CloseSessionChannel(SessionChannel* channel);

}  // namespace platform
