// Responses of a dynamic channel read as a plain stream of bytes, as an xrdp
// session program reads them: each read gives what has arrived, with no
// header and no boundary. Where a response ends is known two ways:
// - A response of fewer than kWholeBelow bytes travels in one channel PDU
//   (1,600 bytes less its header) and arrives in one piece: the first piece
//   of a longer one is never that short.
// - A longer one is followed by a marker command, sent once the response
//   has begun to arrive (so the module has sent it whole and answers the
//   marker after it): the response is what comes before the marker's known
//   answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestav {
namespace detail {

// The data of the first PDU of a message sent in several (1,600 bytes less
// the command byte, the channel id and a length of 4 bytes).
constexpr std::size_t kWholeBelow = 1594;


class StreamResponse {
public:
    // Responses longer than `maximum` are refused.
    explicit StreamResponse(std::size_t maximum) : maximum_(maximum) {}

    enum class Result { NeedMarker, NeedMore, Message, TooLong };
    // The first piece of a response: Message when it is whole, NeedMarker
    // when the marker (Marker()) is to be sent now.
    Result First(const std::string& piece, std::string* message);
    // The marker command for the response begun; different each time.
    std::string Marker();
    // A later piece: Message once the marker's answer has come after the
    // response (*message the response without it).
    Result Next(const std::string& piece, std::string* message);

private:
    std::size_t maximum_;
    std::string buffer_;
    std::string end_;  // the marker's answer
    std::uint64_t count_ = 0;
};

}  // namespace detail
}  // namespace kestav
