#include "platform/Environment.h"

#include <windows.h>

namespace platform {

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

std::string GetEnvironment(const std::string& name) {
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name.c_str(), value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

}  // namespace platform
