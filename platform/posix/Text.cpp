#include "platform/Text.h"

namespace platform {

std::string ShownPath(const std::string& path) { return path; }

std::string PathFromAnsi(const std::string& text) { return text; }

}  // namespace platform
