#include "tests/support/ScriptedChannel.h"

#include <algorithm>

#include "server/ChunkReassembly.h"

namespace testing_support {

std::uint64_t ScriptedChannel::clockUs = 1000000000;

void ScriptedChannel::Send(const std::string& message) {
    for (const std::string& chunk : Chunks(message)) arriving_.push_back(chunk);
}

std::vector<std::string> ScriptedChannel::Chunks(const std::string& message) const {
    if (!chunkHeaders_) return {message};
    std::vector<std::string> chunks;
    std::size_t at = 0;
    do {
        const std::size_t size = std::min(message.size() - at, kestav::detail::kChunkData);
        std::uint32_t flags = at == 0 ? kestav::detail::kChunkFirst : 0;
        if (at + size == message.size()) flags |= kestav::detail::kChunkLast;
        std::string chunk(kestav::detail::kChunkHeader, '\0');
        for (int i = 0; i < 4; ++i) {
            chunk[i] = char(message.size() >> (8 * i));
            chunk[4 + i] = char(flags >> (8 * i));
        }
        chunks.push_back(chunk + message.substr(at, size));
        at += size;
    } while (at < message.size());
    return chunks;
}

int ScriptedChannel::Write(const std::string& command, std::string*) {
    written.push_back(command);
    if (!answering) return KESTAV_OK;
    const bool marker = command.compare(0, 11, "KestavSync-") == 0 || command.compare(0, 10, "KestavEnd-") == 0;
    Send(marker ? "ERROR|Unknown command \"" + command + "\"" : answer ? answer(command) : "OK|" + command);
    return KESTAV_OK;
}

platform::ChunkWait ScriptedChannel::Read(std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) {
    ++reads;
    clockUs += 100;
    if (earlyEmpty > 0) {
        --earlyEmpty;
        clockUs += std::min<std::uint64_t>(timeoutMs, 20) * 1000;
        return platform::ChunkWait::TimedOut;
    }
    std::string next;
    if (!arriving_.empty()) {
        next = arriving_.front();
        arriving_.pop_front();
    } else if (endless && !runaway) {
        runaway = ++endlessReads > endlessLimit;
        if (!runaway) next = endless();
    }
    if (next.empty() && closed) return platform::ChunkWait::Closed;
    if (next.empty()) {
        clockUs += std::uint64_t(timeoutMs) * 1000;
        return platform::ChunkWait::TimedOut;
    }
    chunk->assign(next.begin(), next.end());
    return platform::ChunkWait::Done;
}

}  // namespace testing_support
