// A Linux client: the FreeRDP add-in and its drivers.
#include "platform/Library.h"
#include "tools/check/Check.h"

namespace host {

int CheckThisPc(std::ostream& out) { return CheckFreeRdpClients(out, platform::SystemLibraryFolders()); }

}  // namespace host
