// Joining a dynamic channel's chunks on the server side, with chunk
// sequences as the Remote Desktop server delivers them: random splits join
// up exactly; headers that disagree, oversized messages and stray chunks are
// dropped whole and the next message reads cleanly.
#include <gtest/gtest.h>

#include <random>

#include "server/ChunkReassembly.h"

using kestav::detail::ChunkReassembler;
using Result = ChunkReassembler::Result;

namespace {

constexpr std::size_t kMaximum = 1024 * 1024;

std::string Chunk(std::uint32_t length, std::uint32_t flags, const std::string& data) {
    std::string chunk(8, '\0');
    for (int i = 0; i < 4; ++i) {
        chunk[i] = char(length >> (8 * i));
        chunk[4 + i] = char(flags >> (8 * i));
    }
    return chunk + data;
}

// A message as the server reads it: chunks of random sizes up to 1,600.
std::vector<std::string> Split(const std::string& message, std::mt19937& random) {
    std::vector<std::string> chunks;
    std::size_t at = 0;
    do {
        const std::size_t size = std::min<std::size_t>(message.size() - at, 1 + random() % 1600);
        std::uint32_t flags = at == 0 ? 1 : 0;
        if (at + size == message.size()) flags |= 2;
        chunks.push_back(Chunk(std::uint32_t(message.size()), flags, message.substr(at, size)));
        at += size;
    } while (at < message.size());
    return chunks;
}

Result Feed(ChunkReassembler& joiner, const std::string& chunk, std::string* message,
            std::string* problem = nullptr) {
    std::string ignored;
    return joiner.Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size(), message,
                       problem != nullptr ? problem : &ignored);
}

TEST(ChunkReassembly, RandomSplitsJoinUpExactly) {
    std::mt19937 random(7);
    ChunkReassembler joiner(kMaximum);
    for (const std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(1600), std::size_t(1601),
                                   std::size_t(4999), std::size_t(65536), kMaximum}) {
        std::string message(size, '\0');
        for (char& c : message) c = char(random());
        const auto chunks = Split(message, random);
        std::string joined;
        for (std::size_t i = 0; i < chunks.size(); ++i)
            EXPECT_EQ(Feed(joiner, chunks[i], &joined), i + 1 == chunks.size() ? Result::Message : Result::NeedMore)
                << size << " bytes, chunk " << i;
        EXPECT_EQ(joined, message) << size;
    }
}

TEST(ChunkReassembly, WhatDoesNotAddUpIsDroppedAndTheNextMessageReads) {
    struct Case {
        const char* what;
        std::vector<std::string> chunks;
    };
    const std::string data(1000, 'd');
    const Case cases[] = {
        {"a header longer than the data", {Chunk(1500, 1, data), Chunk(1500, 2, "x")}},
        {"a header shorter than the data", {Chunk(1500, 1, data), Chunk(1500, 2, data)}},
        {"a chunk not the last, one byte past the header's length", {Chunk(1500, 1, data), Chunk(1500, 0, std::string(501, 'd'))}},
        {"one chunk saying more than it holds", {Chunk(5, 3, "abc")}},
        {"chunks disagreeing on the length", {Chunk(2000, 1, data), Chunk(2001, 2, data)}},
        {"an oversized message", {Chunk(kMaximum + 1, 1, data), Chunk(kMaximum + 1, 0, data),
                                  Chunk(kMaximum + 1, 2, data)}},
        {"a chunk shorter than its header", {std::string(5, '\0')}},
        {"more data in a chunk than 1,600 bytes", {Chunk(1601, 3, std::string(1601, 'e'))}},
        {"a chunk that belongs to no message", {Chunk(1000, 0, data), Chunk(1000, 2, data)}},
    };
    for (const Case& c : cases) {
        ChunkReassembler joiner(kMaximum);
        std::string message, problem;
        bool dropped = false;
        for (const std::string& chunk : c.chunks) {
            const Result result = Feed(joiner, chunk, &message, &problem);
            EXPECT_NE(result, Result::Message) << c.what;
            dropped |= result == Result::Dropped || result == Result::TooLong;
        }
        EXPECT_TRUE(dropped) << c.what;
        EXPECT_FALSE(problem.empty()) << c.what;
        EXPECT_EQ(Feed(joiner, Chunk(7, 3, "OK|true"), &message), Result::Message) << c.what;
        EXPECT_EQ(message, "OK|true") << c.what;
    }
}

// Longer than any response: said at its first chunk, whatever follows.
TEST(ChunkReassembly, AMessageLongerThanAnyResponseIsToldAtOnce) {
    ChunkReassembler joiner(kMaximum);
    std::string message, problem;
    EXPECT_EQ(Feed(joiner, Chunk(kMaximum, 1, "x"), &message, &problem), Result::NeedMore) << "the longest is taken";
    EXPECT_EQ(Feed(joiner, Chunk(100 * 1000 * 1000, 1, std::string(1600, 'x')), &message, &problem), Result::TooLong);
    EXPECT_EQ(problem, "a response of 100000000 bytes, longer than any the module sends (at most 1048576)");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Feed(joiner, Chunk(100 * 1000 * 1000, 0, std::string(1600, 'x')), &message), Result::NeedMore);
    EXPECT_EQ(Feed(joiner, Chunk(7, 3, "OK|true"), &message), Result::Message);
    EXPECT_EQ(message, "OK|true");
}

TEST(ChunkReassembly, ANewMessageBeforeTheLastEndedStartsAfresh) {
    ChunkReassembler joiner(kMaximum);
    std::string message;
    EXPECT_EQ(Feed(joiner, Chunk(3000, 1, std::string(1600, 'a')), &message), Result::NeedMore);
    EXPECT_EQ(Feed(joiner, Chunk(5, 3, "OK|ok"), &message), Result::Message);
    EXPECT_EQ(message, "OK|ok");
}

}  // namespace
