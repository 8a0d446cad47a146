// The stand-in Linux engine's event loop: which of some descriptors become
// readable within a time.
#pragma once

#include <vector>

namespace standin {

std::vector<int> ReadableWithin(const std::vector<int>& descriptors, int waitMs);

}  // namespace standin
