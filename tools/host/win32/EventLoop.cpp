// The Windows engine has no event loop for modules: nothing is ever readable.
#include "tools/host/EventLoop.h"

#include <chrono>
#include <thread>

namespace standin {

std::vector<int> ReadableWithin(const std::vector<int>&, int waitMs) {
    if (waitMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
    return {};
}

}  // namespace standin
