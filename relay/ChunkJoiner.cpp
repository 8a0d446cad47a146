#include "relay/ChunkJoiner.h"

namespace relay {

void ChunkJoiner::Reset() {
    inMessage_ = false;
    skipping_ = false;
    expected_ = 0;
    partial_.clear();
    partial_.shrink_to_fit();
}

void ChunkJoiner::Abandon(bool lastChunk) {
    Reset();
    skipping_ = !lastChunk;
}

ChunkJoiner::Result ChunkJoiner::Drop(const std::string& why, bool lastChunk, std::string* problem) {
    Abandon(lastChunk);
    *problem = why;
    return Result::Dropped;
}

ChunkJoiner::Result ChunkJoiner::Feed(std::uint32_t flags, std::uint32_t total, const std::uint8_t* data,
                                      std::size_t size, std::string* message, std::string* problem) {
    const bool last = (flags & kChunkLast) != 0;
    if (data == nullptr && size > 0) return Drop("a chunk without its bytes", last, problem);
    if (flags & kChunkFirst) {
        // A message begun and not ended is lost; this one is read as it comes.
        Reset();
        if (total > maximum_) {
            announced_ = total;
            Drop("a message of " + std::to_string(total) + " bytes, longer than " + std::to_string(maximum_), last,
                 problem);
            return Result::TooLong;
        }
        inMessage_ = true;
        expected_ = total;
        partial_.reserve(total);
    } else if (skipping_) {
        if (last) Reset();
        return Result::NeedMore;
    } else if (!inMessage_) {
        return Drop("a chunk that belongs to no message", last, problem);
    } else if (total != expected_) {
        return Drop("chunks of one message that disagree on its length (" + std::to_string(expected_) + ", " +
                        std::to_string(total) + ")",
                    last, problem);
    }
    if (size > expected_ - partial_.size())
        return Drop("more bytes than the message's length says (" + std::to_string(expected_) + ")", last, problem);
    if (size > 0) partial_.append(reinterpret_cast<const char*>(data), size);
    if (!last) return Result::NeedMore;
    if (partial_.size() != expected_)
        return Drop("a message of " + std::to_string(partial_.size()) + " bytes whose length says " +
                        std::to_string(expected_),
                    true, problem);
    *message = std::move(partial_);
    Reset();
    return Result::Message;
}

}  // namespace relay
