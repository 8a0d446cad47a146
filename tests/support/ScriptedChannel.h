// A Remote Desktop client's end of KstCmd1/KstDta1 as the server library's
// ResponseReader sees it, scripted, on a clock of its own: every read moves
// the clock on by a tenth of a millisecond, a read that finds nothing by its
// whole wait. It answers each command as the module does (in chunks with headers,
// or as a stream as xrdp delivers it), and can instead send without end,
// answer with more bytes than any response, or stay silent. For the tests
// and the fuzz target of the library's receive path: a deadline that does
// not hold shows as a read loop that never ends, or as time on this clock.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "server/Deadline.h"
#include "server/KestavChannel.h"
#include "server/ResponseReader.h"
#include "server/Transport.h"

namespace testing_support {

class ScriptedChannel final : public kestav::detail::ChannelEnds, public kestav::detail::Transport {
public:
    explicit ScriptedChannel(bool chunkHeaders)
        : chunkHeaders_(chunkHeaders), reader_(*this, chunkHeaders, KESTAV_LONGEST_RESPONSE) {
        kestav::detail::Now = &ScriptedChannel::Now;
    }
    ~ScriptedChannel() override { kestav::detail::Now = &kestav::detail::Clock::now; }

    // The clock every deadline of the library reads while this object lives.
    static kestav::detail::Clock::time_point Now() {
        return kestav::detail::Clock::time_point(std::chrono::microseconds(clockUs));
    }
    static std::uint64_t ClockMs() { return clockUs / 1000; }

    // A message as the client's chunks carry it (or the stream's one piece).
    std::vector<std::string> Chunks(const std::string& message) const;

    // What arrives next, as the client sends it: one message (cut into
    // chunks behind headers, or as one piece of a stream).
    void Send(const std::string& message);
    // Raw chunks or pieces, as they come.
    void SendRaw(const std::string& bytes) { arriving_.push_back(bytes); }
    // While set, every read finds one more of these, without end (an empty
    // one: nothing this time); after `endlessLimit` of them the channel
    // stops and says `runaway`: a read loop that no deadline ended.
    std::function<std::string()> endless;
    std::uint64_t endlessReads = 0, endlessLimit = 200000;
    bool runaway = false;
    // The next reads come back empty after 20 ms, whatever has arrived (a
    // read that returns before its time).
    int earlyEmpty = 0;
    // Once what has arrived is read, every read finds the channel closed.
    bool closed = false;
    // Whether each command written is answered ("OK|<command>", markers as
    // the module answers unknown commands).
    bool answering = true;
    // What a command is answered with instead of "OK|<command>", when set.
    std::function<std::string(const std::string& command)> answer;
    std::vector<std::string> written;
    std::uint64_t reads = 0;

    // Transport
    const char* Name() const override { return "scripted Remote Desktop"; }
    int Write(const std::string& command, std::string* error) override;
    int Read(std::uint32_t timeoutMs, std::string* response, std::string* error) override {
        return reader_.Read(timeoutMs, response, error);
    }
    int Purge(std::uint32_t timeoutMs, std::string* error) override { return reader_.Purge(timeoutMs, error); }

private:
    // ChannelEnds
    platform::ChunkWait Read(std::uint32_t timeoutMs, std::vector<std::uint8_t>* chunk) override;

    static std::uint64_t clockUs;
    const bool chunkHeaders_;
    std::deque<std::string> arriving_;
    kestav::detail::ResponseReader reader_;
};

}  // namespace testing_support
