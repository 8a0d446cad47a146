// The process environment, as the OS calls of this layer see it.
#pragma once

#include <string>

namespace platform {

// Sets a variable; an empty value removes it.
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace platform
