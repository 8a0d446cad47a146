// Windows keeps settings in the registry only.
#include "platform/SettingsFile.h"

namespace platform {

std::string SettingsFilePath() { return std::string(); }

ValueKind ReadSettingsFile(const char*, std::uint32_t*) { return ValueKind::Absent; }

}  // namespace platform
