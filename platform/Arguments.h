// A program's command-line arguments, paths among them as UTF-8 (platform/Text.h).
#pragma once

#include <string>
#include <vector>

namespace platform {

// On Windows read from the UTF-16 command line, not from argv's 8-bit copy,
// which holds only what the ANSI code page can spell.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace platform
