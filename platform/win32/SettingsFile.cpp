// Windows keeps settings in the registry only.
#include "platform/SettingsFile.h"

namespace platform {

std::string SettingsFilePath() { return std::string(); }

std::vector<SettingsFileLine> ReadSettingsFile(const char*) { return {}; }

std::string SettingsFileProblem() { return std::string(); }

}  // namespace platform
