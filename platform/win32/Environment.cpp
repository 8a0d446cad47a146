#include "platform/Environment.h"

#include <windows.h>

#include <vector>

#include "platform/win32/Wide.h"

namespace platform {

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableW(Widen(name).c_str(), value.empty() ? nullptr : Widen(value).c_str());
}

std::string GetEnvironment(const std::string& name) {
    std::vector<wchar_t> value(1024);
    const DWORD length = GetEnvironmentVariableW(Widen(name).c_str(), value.data(), DWORD(value.size()));
    return length > 0 && length < value.size() ? Narrow(value.data(), length) : std::string();
}

}  // namespace platform
