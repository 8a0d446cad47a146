#include "server/ResponseReader.h"

#include <chrono>
#include <thread>

#include "server/Deadline.h"
#include "server/KestavChannel.h"

namespace kestav {
namespace detail {

ResponseReader::ResponseReader(ChannelEnds& ends, bool chunkHeaders, std::size_t maximum)
    : ends_(ends), chunkHeaders_(chunkHeaders), maximum_(maximum), joiner_(maximum), stream_(maximum) {}

int ResponseReader::Read(std::uint32_t timeoutMs, std::string* response, std::string* error) {
    const Deadline deadline(timeoutMs);
    std::size_t received = 0;  // of a response begun
    bool begun = false;        // a stream's first piece has come
    for (;;) {
        // Checked after every chunk too: an end that keeps sending never
        // holds the call past its limit.
        const platform::ChunkWait waited = ends_.Read(deadline.LeftMs(), &chunk_);
        if (waited == platform::ChunkWait::Closed) {
            *error = "the Remote Desktop channel closed";
            return KESTAV_DISCONNECTED;
        }
        if (waited == platform::ChunkWait::Done) {
            received += chunk_.size();
            if (chunkHeaders_) {
                std::string problem;
                switch (joiner_.Feed(chunk_.data(), chunk_.size(), response, &problem)) {
                    case ChunkReassembler::Result::Message:
                        return KESTAV_OK;
                    case ChunkReassembler::Result::TooLong:
                        *error = problem;
                        return KESTAV_RESPONSE_TOO_LONG;
                    case ChunkReassembler::Result::Dropped:  // the wait goes on for a whole one
                    case ChunkReassembler::Result::NeedMore:
                        break;
                }
            } else {
                const std::string piece(chunk_.begin(), chunk_.end());
                StreamResponse::Result result = begun ? stream_.Next(piece, response) : stream_.First(piece, response);
                begun = true;
                if (result == StreamResponse::Result::NeedMarker) {
                    const int written = ends_.Write(stream_.Marker(), error);
                    if (written != KESTAV_OK) return written;
                    result = StreamResponse::Result::NeedMore;
                }
                if (result == StreamResponse::Result::Message) return KESTAV_OK;
                if (result == StreamResponse::Result::TooLong) {
                    *error = "a response of more than " + std::to_string(maximum_) +
                             " bytes, longer than any the module sends";
                    return KESTAV_RESPONSE_TOO_LONG;
                }
            }
        }
        if (deadline.Passed()) {
            if (received > 0)
                *error = "a response began but had not ended (" + std::to_string(received) + " bytes came)";
            return KESTAV_TIMEOUT;
        }
        // A read may come back empty before its time (xrdp's can): the wait
        // goes on to the call's own limit, a moment apart.
        if (waited == platform::ChunkWait::TimedOut) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int ResponseReader::Purge(std::uint32_t timeoutMs, std::string* error) {
    joiner_.Reset();
    const Deadline deadline(timeoutMs);
    std::size_t dropped = 0;
    for (;;) {
        const platform::ChunkWait waited = ends_.Read(0, &chunk_);
        if (waited != platform::ChunkWait::Done) return KESTAV_OK;  // quiet (or closed: the write will say)
        dropped += chunk_.size();
        if (deadline.Passed()) {
            *error = "the client kept sending what no command asked for (" + std::to_string(dropped) +
                     " bytes in " + std::to_string(timeoutMs) + " ms): the channel could not be made clean";
            return KESTAV_TIMEOUT;
        }
    }
}

}  // namespace detail
}  // namespace kestav
