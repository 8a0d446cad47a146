// The registration of the module with one ICA client, in that client's
// registry view, as KestavRegister.exe and the installer's custom action run
// it (the 32-bit client on 64-bit Windows: the WOW6432Node view):
//   add 64 [IsolateDriver=1] [DriverTimeoutSeconds=90] [InstrumentThread=0]
//     registers the module: its name added to the VirtualDriverEx list (every
//     other entry left as it was) and its own key Modules\KestavClientDriver;
//     writes each setting given with a value as a preference (the package's
//     properties ISOLATEDRIVER, DRIVERTIMEOUTSECONDS, INSTRUMENTTHREAD; an
//     empty value leaves that setting untouched) and notes that it did. A
//     VirtualDriverEx of a type it does not edit is refused, nothing written.
//   settings 64 [IsolateDriver=0] [...]
//     the settings alone, as "add" writes them, for a view without a Citrix
//     client (the Remote Desktop plug-in reads them too).
//   remove 32
//     the reverse: our entry and our key removed, and each setting this tool
//     wrote removed, unless it has been changed since. Another product's
//     change never blocks it: our entry is taken out of a REG_MULTI_SZ list
//     (its type and the others' entries kept), and a list of a type it does
//     not edit is left as it is, with a warning. When a newer package is
//     replacing this one (it sets Installer\Upgrading first), the settings
//     stay for it; its "add" clears the mark.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace packaging {

// Takes each line that says why something was refused or left alone.
using Say = std::function<void(const std::string& line)>;

// Runs one registration ("add", "64", settings...). 0 on success (also
// when there was nothing to do), 1 on failure or refusal (said why), 2 for
// arguments it does not take (said with the usage).
int Register(const std::vector<std::string>& arguments, const Say& say);

}  // namespace packaging
