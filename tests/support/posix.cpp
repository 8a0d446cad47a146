// POSIX side of the test helpers: files cannot be held exclusively here.
#include "tests/support/TestSupport.h"

namespace testing_support {

const char* const kLineEnd = "\n";

ExclusiveHold::ExclusiveHold(const std::string&) {}
ExclusiveHold::~ExclusiveHold() {}
void ExclusiveHold::Release() {}

}  // namespace testing_support
