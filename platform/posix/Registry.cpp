// There is no registry here: nothing is ever found, nothing can be written,
// and the machine's settings are the settings file's alone
// (platform/SettingsFile.h). No environment variable reaches a setting.
#include "platform/Registry.h"
#include "platform/SettingsFile.h"

#include "platform/Names.h"

namespace platform {

View ViewOf(int bits) { return bits == 64 ? View::Bits64 : View::Bits32; }

TextKind ReadMachineText(View, const std::string&, const char*, std::string*) { return TextKind::Absent; }
bool WriteMachineText(View, const std::string&, const char*, const std::string&, TextKind) { return false; }
bool WriteMachineBinary(View, const std::string&, const char*, const std::string&) { return false; }
bool ReadMachineString(View, const std::string&, const char*, std::string*) { return false; }
bool WriteMachineString(View, const std::string&, const char*, const std::string&) { return false; }
bool DeleteMachineKey(View, const std::string&) { return true; }
bool DeleteMachineKeyIfEmpty(View, const std::string&) { return true; }
ValueKind ReadMachineDword(View, const std::string&, const char*, std::uint32_t*) { return ValueKind::Absent; }
bool WriteMachineDword(View, const std::string&, const char*, std::uint32_t) { return false; }
bool DeleteMachineValue(View, const std::string&, const char*) { return true; }
bool ReadUserString(const std::string&, const char*, std::string*) { return false; }
bool WriteUserString(const std::string&, const char*, const std::string&) { return false; }
bool DeleteUserKey(const std::string&) { return true; }

std::string SettingsFilePath() { return names::kSettingsFile; }

}  // namespace platform
