// The module's registration with the Citrix Workspace app for Linux, as the
// package's scripts run it (/usr/lib/kestav/kestav-register):
//   add [client folder]
//     where the folder (default /opt/Citrix/ICAClient) holds a client
//     (config/module.ini): links VDKESTAV.DLL there to the module beside this
//     program and adds the module's entries to module.ini (packaging/
//     ModuleIni.h), each once. No client there: nothing to do. A file of that
//     name that is not this package's link, or a module.ini that is not a
//     plain file of at most 1 MiB with an [ICA 3.0] VirtualDriver list, is
//     left as it is, nothing registered, and said why.
//   remove [client folder]
//     the reverse: the entries out of module.ini, the link away if it is
//     this package's. Never fails the package's removal: what it cannot do,
//     it says.
// module.ini is replaced whole (a new file beside it, renamed over it, its
// mode kept), so that the client never reads half of it.
#pragma once

#include <string>
#include <vector>

#include "packaging/Registration.h"

namespace packaging {

// 0 done (also when there was nothing to do), 1 refused or failed (said
// why), 2 for arguments it does not take (said with the usage).
int RegisterWithCitrixLinux(const std::vector<std::string>& arguments, const std::string& moduleFile,
                            const Say& say);

}  // namespace packaging
