// Where a response ends on a channel read as a plain stream (xrdp): a short
// first piece is the whole response; a longer one ends where the marker's
// known answer follows it, however the bytes are cut into reads; a response
// containing text like the marker's answer, and one past the bound, are
// handled.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "server/StreamReassembly.h"

using kestav::detail::kWholeBelow;
using kestav::detail::StreamResponse;
using Result = StreamResponse::Result;

namespace {

constexpr std::size_t kMaximum = 1024 * 1024;

std::string Letters(std::size_t size) {
    std::string text = "OK|";
    while (text.size() < size) text += char('a' + text.size() % 26);
    return text.substr(0, size);
}

// Feeds `stream` cut into reads of random sizes; the response once whole.
Result Read(StreamResponse& reader, const std::string& response, const std::string& after,
            std::mt19937& random, std::string* message) {
    std::string stream = response;
    std::size_t at = std::min<std::size_t>(stream.size(), std::max<std::size_t>(kWholeBelow, 1 + random() % 40000));
    Result result = reader.First(stream.substr(0, at), message);
    if (result != Result::NeedMarker) return result;
    stream += "ERROR|Unknown command \"" + reader.Marker() + "\"" + after;
    while (at < stream.size()) {
        const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + random() % 2000);
        result = reader.Next(stream.substr(at, size), message);
        at += size;
        if (result != Result::NeedMore) return result;
    }
    return result;
}

TEST(StreamResponse, EachResponseEndsWhereItShould) {
    std::mt19937 random(7);
    StreamResponse reader(kMaximum);
    for (std::size_t size : {std::size_t(2), std::size_t(14), kWholeBelow - 1, kWholeBelow, kWholeBelow + 1,
                             std::size_t(1598), std::size_t(5003), std::size_t(65536), kMaximum}) {
        for (int round = 0; round < 5; ++round) {
            std::string message;
            const std::string response = Letters(size);
            const Result result = Read(reader, response, "", random, &message);
            ASSERT_EQ(result, Result::Message) << size;
            EXPECT_EQ(message, response) << size;
        }
    }
}

TEST(StreamResponse, AShortFirstPieceIsWholeALongOneWaitsForTheMarker) {
    StreamResponse reader(kMaximum);
    std::string message;
    EXPECT_EQ(reader.First(Letters(kWholeBelow - 1), &message), Result::Message);
    EXPECT_EQ(message.size(), kWholeBelow - 1);
    EXPECT_EQ(reader.First(Letters(kWholeBelow), &message), Result::NeedMarker);
    // Before the marker has been made, nothing ends the response.
    EXPECT_EQ(reader.Next("ERROR|Unknown command \"x\"", &message), Result::NeedMore);
}

TEST(StreamResponse, TextLikeAnEarlierMarkersAnswerDoesNotEndIt) {
    StreamResponse reader(kMaximum);
    std::string message;
    ASSERT_EQ(reader.First(Letters(2000), &message), Result::NeedMarker);
    const std::string first = reader.Marker();
    EXPECT_EQ(reader.Next("ERROR|Unknown command \"" + first + "\"", &message), Result::Message);
    // The next response quotes the first marker's answer; a new marker ends it.
    const std::string quoting = Letters(1600) + "ERROR|Unknown command \"" + first + "\"";
    ASSERT_EQ(reader.First(quoting, &message), Result::NeedMarker);
    const std::string second = reader.Marker();
    EXPECT_NE(second, first);
    EXPECT_EQ(reader.Next("", &message), Result::NeedMore);
    EXPECT_EQ(reader.Next("ERROR|Unknown command \"" + second + "\"", &message), Result::Message);
    EXPECT_EQ(message, quoting);
}

TEST(StreamResponse, MoreThanAnyResponseIsRefused) {
    StreamResponse reader(4096);
    std::string message;
    EXPECT_EQ(reader.First(std::string(4097, 'x'), &message), Result::TooLong);
    ASSERT_EQ(reader.First(std::string(4000, 'x'), &message), Result::NeedMarker);
    const std::string end = "ERROR|Unknown command \"" + reader.Marker() + "\"";
    EXPECT_EQ(reader.Next(std::string(96, 'x') + end, &message), Result::Message) << "exactly the bound";
    ASSERT_EQ(reader.First(std::string(4000, 'x'), &message), Result::NeedMarker);
    (void)reader.Marker();
    EXPECT_EQ(reader.Next(std::string(97 + 200, 'x'), &message), Result::TooLong);
}

}  // namespace
