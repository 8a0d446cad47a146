// The client library's Remote Desktop receive path against a client that
// misbehaves, with chunk headers (Windows) and as a stream (xrdp): a
// response that never ends, a flood before the next call, late answers
// without end during the clean-up, a response longer than any the module
// sends. Each call returns within its limit (on the scripted channel's
// clock) with its own status and words, and once the client behaves again
// the next call gets its own answer.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "server/Conversation.h"
#include "tests/support/ScriptedChannel.h"

using kestav::detail::Conversation;
using testing_support::ScriptedChannel;

namespace {

constexpr std::uint32_t kLimitMs = 500;

class ResponseReaderTest : public ::testing::TestWithParam<bool> {
protected:
    bool Headers() const { return GetParam(); }
    int Call(const std::string& command) {
        const std::uint64_t started = ScriptedChannel::ClockMs();
        error.clear();
        channel->endlessReads = 0;
        const int status = conversation.Exchange(command, kLimitMs, &response, &error);
        EXPECT_FALSE(channel->runaway) << command << ": a read loop went on past every deadline";
        // The clean-up after a failed call has a limit of its own, the same;
        // past each limit, at most the read that finds it passed.
        EXPECT_LE(ScriptedChannel::ClockMs() - started, 2 * kLimitMs + 1) << command;
        return status;
    }
    // A chunk of no message (or a piece of a stream) with this data.
    std::string Stray(const std::string& data) const {
        return Headers() ? std::string(8, '\0') + data : data;
    }

    ScriptedChannel* channel = new ScriptedChannel(GetParam());
    Conversation conversation{std::unique_ptr<kestav::detail::Transport>(channel)};
    std::string response, error;
};

TEST_P(ResponseReaderTest, AnswersAsTheModuleSendsThem) {
    ASSERT_EQ(Call("Hello"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|Hello");
    // Reads that come back empty early do not end the call.
    channel->earlyEmpty = 5;
    ASSERT_EQ(Call("Hello"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|Hello");
    ASSERT_EQ(Call(std::string(KESTAV_LONGEST_RESPONSE - 3, 'L')), KESTAV_OK) << error;
    EXPECT_EQ(response.size(), KESTAV_LONGEST_RESPONSE);
}

// The client starts a response and never ends it: the call returns within
// its limit, says so, and the call after the client stops gets its answer.
TEST_P(ResponseReaderTest, AResponseThatNeverEnds) {
    channel->answering = false;
    // The first chunk of a message that never gets its last one, or in a
    // stream a first piece long enough to need the marker, whose answer
    // never comes; then more of it without end.
    const auto chunks = channel->Chunks(std::string(100000, 'a'));
    channel->endless = [&]() -> std::string {
        if (channel->written.empty()) return std::string();  // not before the command
        if (channel->written.size() == 1) return Headers() ? chunks.front() : std::string(2000, 'a');
        return Headers() ? chunks[1] : std::string(100, 'b');
    };
    ASSERT_EQ(Call("Measure"), KESTAV_TIMEOUT);
    EXPECT_EQ(error.rfind("no answer to \"Measure\" within 500 ms: a response began but had not ended (", 0), 0u)
        << error;
    EXPECT_NE(error.find(" bytes came)"), std::string::npos) << error;
    // Still sending: the next call cannot make the channel clean, and says why.
    ASSERT_EQ(Call("IsConnected"), KESTAV_TIMEOUT);
    EXPECT_EQ(error.rfind("the client kept sending what no command asked for (", 0), 0u) << error;
    channel->endless = nullptr;
    channel->answering = true;
    ASSERT_EQ(Call("GetSerialNumber"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|GetSerialNumber");
}

// The client floods the channel between calls: the purge before a write
// stops at the call's limit, and the call after the flood works.
TEST_P(ResponseReaderTest, AFloodBeforeACall) {
    channel->endless = [&] { return Stray(std::string(1000, 'x')); };
    ASSERT_EQ(Call("Measure"), KESTAV_TIMEOUT);
    EXPECT_EQ(error.rfind("the client kept sending what no command asked for (", 0), 0u) << error;
    EXPECT_NE(error.find(" bytes in 500 ms): the channel could not be made clean"), std::string::npos) << error;
    channel->endless = nullptr;
    const std::size_t written = channel->written.size();
    ASSERT_EQ(Call("Measure"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|Measure");
    ASSERT_GT(channel->written.size(), written + 1);
    EXPECT_EQ(channel->written[written].compare(0, 11, "KestavSync-"), 0) << "the channel made clean first";
}

// After a time-out, late answers keep coming once the marker is written
// and its answer never does: the clean-up stops at its limit.
TEST_P(ResponseReaderTest, LateAnswersWithoutEndDuringTheCleanUp) {
    channel->answering = false;
    ASSERT_EQ(Call("Measure"), KESTAV_TIMEOUT);
    const std::size_t written = channel->written.size();
    const std::string late = channel->Chunks("OK|late").front();
    channel->endless = [&]() -> std::string {
        if (channel->written.size() == written) return std::string();  // not before the marker
        return late;
    };
    ASSERT_EQ(Call("IsConnected"), KESTAV_TIMEOUT);
    EXPECT_EQ(error, "the instrument is still busy with an earlier command (no answer within 500 ms)");
    ASSERT_GT(channel->written.size(), written);
    EXPECT_EQ(channel->written[written].compare(0, 11, "KestavSync-"), 0);
    channel->endless = nullptr;
    channel->answering = true;
    ASSERT_EQ(Call("IsConnected"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|IsConnected");
}

// Longer than any response: its own status (the session goes on), and the
// next call cleans the channel of the rest of it first.
TEST_P(ResponseReaderTest, AResponseLongerThanAnyTheModuleSends) {
    channel->answer = [](const std::string&) { return std::string(KESTAV_LONGEST_RESPONSE + 2000, 'z'); };
    ASSERT_EQ(Call("GetSerialNumber"), KESTAV_RESPONSE_TOO_LONG) << error;
    EXPECT_EQ(error, Headers() ? "a response of 1050576 bytes, longer than any the module sends (at most 1048576)"
                               : "a response of more than 1048576 bytes, longer than any the module sends");
    channel->answer = nullptr;
    const std::size_t written = channel->written.size();
    ASSERT_EQ(Call("GetSerialNumber"), KESTAV_OK) << error;
    EXPECT_EQ(response, "OK|GetSerialNumber");
    ASSERT_GT(channel->written.size(), written + 1);
    EXPECT_EQ(channel->written[written].compare(0, 11, "KestavSync-"), 0) << "the channel made clean first";
}

// A channel that closes, idle or in mid-response: a disconnection at once,
// never a time-out.
TEST_P(ResponseReaderTest, AClosedChannelIsADisconnection) {
    channel->answering = false;
    const std::string begun = Headers() ? channel->Chunks(std::string(100000, 'p')).front() : std::string(2000, 'p');
    channel->closed = true;
    for (const std::string& before : {std::string(), begun}) {
        channel->SendRaw(before);
        EXPECT_EQ(channel->Read(3000, &response, &error), KESTAV_DISCONNECTED) << before.size();
        EXPECT_EQ(error, "the Remote Desktop channel closed");
    }
}

INSTANTIATE_TEST_SUITE_P(HeadersAndStream, ResponseReaderTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "ChunkHeaders" : "Stream";
                         });

}  // namespace
