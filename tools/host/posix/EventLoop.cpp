#include "tools/host/EventLoop.h"

#include <poll.h>

namespace standin {

std::vector<int> ReadableWithin(const std::vector<int>& descriptors, int waitMs) {
    std::vector<pollfd> watched;
    for (const int descriptor : descriptors) watched.push_back({descriptor, POLLIN, 0});
    std::vector<int> readable;
    if (poll(watched.data(), watched.size(), waitMs) <= 0) return readable;
    for (const pollfd& one : watched)
        if ((one.revents & (POLLIN | POLLHUP)) != 0) readable.push_back(one.fd);
    return readable;
}

}  // namespace standin
