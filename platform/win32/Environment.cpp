#include "platform/Environment.h"

#include <windows.h>

namespace platform {

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

}  // namespace platform
