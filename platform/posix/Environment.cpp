#include "platform/Environment.h"

#include <stdlib.h>

namespace platform {

void SetEnvironment(const std::string& name, const std::string& value) {
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
}

std::string GetEnvironment(const std::string& name) {
    const char* value = getenv(name.c_str());
    return value != nullptr ? value : std::string();
}

}  // namespace platform
