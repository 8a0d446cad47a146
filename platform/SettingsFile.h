// The machine's settings file, where a system has one instead of a registry:
// on Linux /etc/kestav/client.conf (packaging/Names.h), lines of
// "Name = value" in an optional [ClientDriver] section, '#' or ';' starting
// a comment. Windows has none: its settings are the registry's.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace platform {

// Where the settings file is read from; empty where there is none.
std::string SettingsFilePath();

// A setting's value in the settings file: Absent, Dword (*value set: a
// decimal number that fits 32 bits) or Other (written, but not such a number).
// Names match in any letter case, as the registry's do; the last line wins.
ValueKind ReadSettingsFile(const char* name, std::uint32_t* value);

}  // namespace platform
