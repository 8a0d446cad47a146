#include "server/ChunkReassembly.h"

namespace kestav {
namespace detail {

namespace {
std::uint32_t U32(const std::uint8_t* bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}
}  // namespace

void ChunkReassembler::Reset() {
    inMessage_ = false;
    skipping_ = false;
    expected_ = 0;
    partial_.clear();
}

ChunkReassembler::Result ChunkReassembler::Drop(const std::string& why, bool lastChunk,
                                                std::string* problem) {
    Reset();
    skipping_ = !lastChunk;
    *problem = why;
    return Result::Dropped;
}

ChunkReassembler::Result ChunkReassembler::Feed(const std::uint8_t* chunk, std::size_t size,
                                                std::string* message, std::string* problem) {
    if (chunk == nullptr || size < kChunkHeader)
        return Drop("a chunk of " + std::to_string(size) + " bytes, shorter than its header", false, problem);
    const std::uint32_t length = U32(chunk);
    const std::uint32_t flags = U32(chunk + 4);
    const bool last = (flags & kChunkLast) != 0;
    const std::size_t data = size - kChunkHeader;
    if (data > kChunkData)
        return Drop("a chunk of " + std::to_string(data) + " bytes of data, more than 1600", last, problem);
    if (flags & kChunkFirst) {
        // A message begun and not ended is lost; this one is read as it comes.
        Reset();
        if (length > maximum_) {
            Drop("a response of " + std::to_string(length) + " bytes, longer than any the module sends (at most " +
                     std::to_string(maximum_) + ")",
                 last, problem);
            return Result::TooLong;
        }
        inMessage_ = true;
        expected_ = length;
    } else if (skipping_) {
        if (last) Reset();
        return Result::NeedMore;
    } else if (!inMessage_) {
        return Drop("a chunk that belongs to no message", last, problem);
    } else if (length != expected_) {
        return Drop("chunks of one message that disagree on its length (" + std::to_string(expected_) + ", " +
                        std::to_string(length) + ")",
                    last, problem);
    }
    if (data > expected_ - partial_.size())
        return Drop("more bytes than the message's header says (" + std::to_string(expected_) + ")", last,
                    problem);
    partial_.append(reinterpret_cast<const char*>(chunk + kChunkHeader), data);
    if (!last) return Result::NeedMore;
    if (partial_.size() != expected_)
        return Drop("a message of " + std::to_string(partial_.size()) + " bytes whose header says " +
                        std::to_string(expected_),
                    true, problem);
    message->swap(partial_);
    Reset();
    return Result::Message;
}

}  // namespace detail
}  // namespace kestav
