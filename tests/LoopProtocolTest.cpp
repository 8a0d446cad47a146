// The local loop's frames: each kind round-trips, and whatever else arrives
// is refused whole.
#include <gtest/gtest.h>

#include "server/LoopProtocol.h"

using namespace loop;

namespace {

std::vector<std::uint8_t> Encoded(const Frame& frame) {
    std::vector<std::uint8_t> message;
    Encode(frame, &message);
    return message;
}

bool Decodes(const std::vector<std::uint8_t>& message, Frame* frame = nullptr) {
    Frame ignored;
    return Decode(message.data(), message.size(), frame != nullptr ? frame : &ignored);
}

std::vector<Frame> OneOfEach() {
    std::vector<Frame> frames;
    Frame f;
    f.kind = Kind::Welcome, f.version = kProtocolVersion, f.maximumPacket = 4999, f.hpc = 1;
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Busy, f.bytes = "one session at a time";
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Write, f.channel = Channel::Data, f.bytes = std::string("Init|sim|\0x", 11);
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Written, f.channel = Channel::Command, f.status = WriteStatus::TooLong;
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Packet, f.channel = Channel::Data, f.bytes = "OK|0.25";
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Query, f.channel = Channel::Data;
    frames.push_back(f);
    f = Frame(), f.kind = Kind::Queried, f.bytes = std::string(48, '\x03');
    frames.push_back(f);
    return frames;
}

TEST(LoopProtocol, EveryKindRoundTrips) {
    for (const Frame& frame : OneOfEach()) {
        Frame back;
        ASSERT_TRUE(Decodes(Encoded(frame), &back)) << int(frame.kind);
        EXPECT_EQ(Encoded(back), Encoded(frame)) << int(frame.kind);
        EXPECT_EQ(back.bytes, frame.bytes);
    }
}

TEST(LoopProtocol, FixedFieldsCutShortAreRefused) {
    for (const Frame& frame : OneOfEach()) {
        const auto message = Encoded(frame);
        // Kinds with a text may end anywhere after their fixed fields.
        const std::size_t fixed = message.size() - frame.bytes.size();
        for (std::size_t size = 0; size < fixed; ++size)
            EXPECT_FALSE(Decodes({message.begin(), message.begin() + std::ptrdiff_t(size)}))
                << int(frame.kind) << " cut to " << size;
    }
}

TEST(LoopProtocol, ValuesOutOfRangeAreRefused) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> message;
    };
    const Case cases[] = {
        {"kind 0", {0}},
        {"kind 8", {8, 0}},
        {"channel 2", {std::uint8_t(Kind::Packet), 2, 'x'}},
        {"written status 3", {std::uint8_t(Kind::Written), 0, 3, 0, 0, 0}},
        {"HPC flag 2", {std::uint8_t(Kind::Welcome), 1, 0, 0, 0, 0x87, 0x13, 0, 0, 2}},
        {"trailing byte after a welcome", {std::uint8_t(Kind::Welcome), 1, 0, 0, 0, 0x87, 0x13, 0, 0, 1, 9}},
        {"trailing byte after a query", {std::uint8_t(Kind::Query), 1, 0}},
    };
    for (const Case& c : cases) EXPECT_FALSE(Decodes(c.message)) << c.what;
    Frame longest;
    longest.kind = Kind::Write;
    longest.bytes.assign(kMaximumWrite, 'w');
    EXPECT_TRUE(Decodes(Encoded(longest)));
    longest.bytes += 'w';
    EXPECT_FALSE(Decodes(Encoded(longest))) << "longer than the write hook takes";
}

TEST(LoopProtocol, ChannelsByName) {
    Channel channel;
    EXPECT_TRUE(ChannelOf("KstCmd1", &channel));
    EXPECT_EQ(channel, Channel::Command);
    EXPECT_TRUE(ChannelOf("KstDta1", &channel));
    EXPECT_EQ(channel, Channel::Data);
    EXPECT_FALSE(ChannelOf("KstCmd2", &channel));
    EXPECT_FALSE(ChannelOf("KstDta1 ", &channel));
    EXPECT_STREQ(ChannelName(Channel::Data), "KstDta1");
}

}  // namespace
