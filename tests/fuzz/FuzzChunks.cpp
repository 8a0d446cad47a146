// The server library's joining of Remote Desktop chunks: any bytes read as a
// run of chunks (each led by a 16-bit size). A message passed on is whole:
// exactly as long as its first chunk's header said, never longer than the
// limit, and made of the data of its chunks in order.
#include <cstdint>
#include <string>

#include "server/ChunkReassembly.h"

using kestav::detail::ChunkReassembler;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kLimit = 8 * 1024;
    ChunkReassembler joiner(kLimit);
    std::string joined;      // the data of the chunks of the message begun, as read
    std::uint32_t said = 0;  // its length, as its first chunk said
    for (std::size_t at = 0; at + 2 <= size;) {
        std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
        at += 2;
        if (length > size - at) length = size - at;
        const std::uint8_t* chunk = data + at;
        at += length;
        if (length >= kestav::detail::kChunkHeader) {
            const std::uint32_t flags = chunk[4] | std::uint32_t(chunk[5]) << 8 |
                                        std::uint32_t(chunk[6]) << 16 | std::uint32_t(chunk[7]) << 24;
            if (flags & kestav::detail::kChunkFirst) {
                joined.clear();
                said = chunk[0] | std::uint32_t(chunk[1]) << 8 | std::uint32_t(chunk[2]) << 16 |
                       std::uint32_t(chunk[3]) << 24;
            }
            joined.append(reinterpret_cast<const char*>(chunk + kestav::detail::kChunkHeader),
                          length - kestav::detail::kChunkHeader);
        }
        std::string message, problem;
        switch (joiner.Feed(chunk, length, &message, &problem)) {
            case ChunkReassembler::Result::Message:
                if (message.size() > kLimit || message.size() != said || message != joined) __builtin_trap();
                break;
            case ChunkReassembler::Result::Dropped:
            case ChunkReassembler::Result::TooLong:
                if (problem.empty()) __builtin_trap();
                break;
            case ChunkReassembler::Result::NeedMore:
                break;
        }
    }
    return 0;
}
