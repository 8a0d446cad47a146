// POSIX side of the test helpers: files cannot be held exclusively here.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace testing_support {

const char* const kLineEnd = "\n";

ExclusiveHold::ExclusiveHold(const std::string&) {}
ExclusiveHold::~ExclusiveHold() {}
void ExclusiveHold::Release() {}

bool MakeReadOnly(const std::string& path) {
    return chmod(path.c_str(), 0444) == 0 && geteuid() != 0;
}

void MakeWritable(const std::string& path) {
    chmod(path.c_str(), 0644);
}

}  // namespace testing_support
