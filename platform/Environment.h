// The process environment, as the OS calls of this layer see it.
#pragma once

#include <string>

namespace platform {

// Sets a variable; an empty value removes it.
void SetEnvironment(const std::string& name, const std::string& value);
// A variable's value; empty when it is not set. (On Windows the process's
// own environment, which SetEnvironment changes, not a C runtime's copy.)
std::string GetEnvironment(const std::string& name);

}  // namespace platform
