// The machine's settings file, where a system has one instead of a registry:
// on Linux /etc/kestav/client.conf (platform/Names.h), lines of
// "Name = value" in an optional [ClientDriver] section; '#' or ';' starts a
// comment, on a line of its own or after a value. Windows has none: its
// settings are the registry's.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace platform {

// Where the settings file is read from; empty where there is none.
std::string SettingsFilePath();

// A line of the file's [ClientDriver] section (or before any section) that
// sets a setting: its number in the file, from 1, and its value as written,
// blanks and a comment after it taken off.
struct SettingsFileLine {
    std::size_t number;
    std::string value;
};
// The lines that set `name` (in any letter case), in file order. None when
// the file is absent, or cannot be read (SettingsFileProblem says why).
std::vector<SettingsFileLine> ReadSettingsFile(const char* name);
// Why the file, which is there, is not read, in words for the administrator;
// "" when it is read or there is none:
//   "it is 71680 bytes, more than 65536"
//   "it is a FIFO, not a plain file"
//   "it is not text (a byte 0x00 on line 3)"
//   "it cannot be read (Permission denied)"
std::string SettingsFileProblem();

}  // namespace platform
