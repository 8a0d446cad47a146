// The client library's Remote Desktop receive path, whole: calls through
// the conversation (purge, write, read, the clean-up after a failed call)
// against a client that sends what the input says, with chunk headers or as
// a stream, and, when the input asks, sends it again and again without end.
// Every call returns within its limit (on the scripted channel's clock), no
// read loop outlives it, and a response passed on is within the bound.
#include <cstdint>
#include <string>

#include "server/Conversation.h"
#include "tests/support/ScriptedChannel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool headers = data[0] & 1, answering = data[0] & 2, endless = data[0] & 4;
    const std::uint32_t limitMs = 1 + data[1] * 4u;
    auto* channel = new testing_support::ScriptedChannel(headers);
    kestav::detail::Conversation conversation{std::unique_ptr<kestav::detail::Transport>(channel)};
    channel->answering = answering;
    // The rest: pieces, each a two-byte length and its bytes.
    std::vector<std::string> pieces;
    for (std::size_t at = 2; at + 2 <= size;) {
        std::size_t length = data[at] | std::size_t(data[at + 1]) << 8;
        at += 2;
        if (length > size - at) length = size - at;
        pieces.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    std::size_t next = 0;
    if (endless && !pieces.empty())
        channel->endless = [&] { return pieces[next++ % pieces.size()]; };
    else
        for (const std::string& piece : pieces) channel->SendRaw(piece);
    for (int call = 0; call < 3; ++call) {
        std::string response, error;
        channel->endlessReads = 0;
        const std::uint64_t started = testing_support::ScriptedChannel::ClockMs();
        const int status = conversation.Exchange("GetSerialNumber", limitMs, &response, &error);
        if (channel->runaway) __builtin_trap();
        if (testing_support::ScriptedChannel::ClockMs() - started > 2 * std::uint64_t(limitMs) + 1) __builtin_trap();
        if (status == KESTAV_OK && response.size() > KESTAV_LONGEST_RESPONSE) __builtin_trap();
        if (status != KESTAV_OK && error.empty()) __builtin_trap();
    }
    return 0;
}
