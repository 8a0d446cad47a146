#include "server/StreamReassembly.h"

#include <chrono>

#include "relay/Result.h"

namespace kestav {
namespace detail {

StreamResponse::Result StreamResponse::First(const std::string& piece, std::string* message) {
    buffer_.clear();
    end_.clear();
    if (piece.size() < kWholeBelow) {
        *message = piece;
        return Result::Message;
    }
    if (piece.size() > maximum_) return Result::TooLong;
    buffer_ = piece;
    return Result::NeedMarker;
}

std::string StreamResponse::Marker() {
    // Unknown to the module, so answered "ERROR|Unknown command "<marker>"";
    // the time and a count make it unlike any text of a response before it.
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    const std::string marker = "KestavEnd-" + std::to_string(std::uint64_t(now)) + "-" + std::to_string(++count_);
    end_ = relay::UnknownCommand(marker).ToResponse();
    return marker;
}

StreamResponse::Result StreamResponse::Next(const std::string& piece, std::string* message) {
    if (buffer_.size() + piece.size() > maximum_ + end_.size()) {
        buffer_.clear();
        return Result::TooLong;
    }
    buffer_ += piece;
    if (end_.empty() || buffer_.size() < end_.size() ||
        buffer_.compare(buffer_.size() - end_.size(), end_.size(), end_) != 0)
        return Result::NeedMore;
    *message = buffer_.substr(0, buffer_.size() - end_.size());
    buffer_.clear();
    end_.clear();
    return Result::Message;
}

}  // namespace detail
}  // namespace kestav
