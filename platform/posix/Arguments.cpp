#include "platform/Arguments.h"

namespace platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace platform
