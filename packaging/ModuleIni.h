// The module's entries in the module.ini of a Citrix Workspace app for Linux
// (<client folder>/config/module.ini), as the Linux SDK has a virtual driver
// registered: its name in the VirtualDriver list of [ICA 3.0], a line
// "<name> = On" there, and a section [<name>] whose DriverName is the file in
// the client's folder. Adding them and taking them away again leaves every
// other byte of the file as it was (its final line end or none included);
// neither step ever adds an entry twice or takes another's, and a section of
// that name naming another file is never taken for the module's.
#pragma once

#include <string>

namespace packaging {

struct ModuleIniEntries {
    int listed = 0;          // times the name is in [ICA 3.0]'s VirtualDriver list
    std::string state;       // the value of "<name> =" in [ICA 3.0]; empty when absent
    bool section = false;    // [<name>] is there
    std::string driverName;  // its DriverName; empty when absent
};

// What the file says of the module now.
ModuleIniEntries ReadModuleIniEntries(const std::string& text, const std::string& name);

// The file with the module's entries added (those already there kept as they
// are). False, with `why`, for a file with no [ICA 3.0] section or no
// VirtualDriver list in it (no client's file lacks them), or whose [<name>]
// names another DriverName: it is not edited.
bool AddModuleIniEntries(const std::string& text, const std::string& name, const std::string& driverFile,
                         std::string* edited, std::string* why);

// The file without the module's entries: its name out of the list (with one
// separator), its line in [ICA 3.0], its section (and the blank line before).
// Unchanged where [<name>] names another DriverName than `driverFile`.
std::string RemoveModuleIniEntries(const std::string& text, const std::string& name, const std::string& driverFile);

}  // namespace packaging
