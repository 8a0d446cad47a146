// A call's time limit, read on the library's clock. The tests and the fuzz
// targets replace the clock (one that moves on with every read), so that a
// deadline is proven to hold without waiting for it.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestav {
namespace detail {

using Clock = std::chrono::steady_clock;
// The clock every deadline of the library reads: Clock::now.
extern Clock::time_point (*Now)();

class Deadline {
public:
    explicit Deadline(std::uint32_t ms) : end_(Now() + std::chrono::milliseconds(ms)) {}
    // What is left, in whole milliseconds; 0 once it has passed.
    std::uint32_t LeftMs() const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_ - Now()).count();
        return left > 0 ? std::uint32_t(left) : 0;
    }
    bool Passed() const { return Now() >= end_; }

private:
    Clock::time_point end_;
};

}  // namespace detail
}  // namespace kestav
