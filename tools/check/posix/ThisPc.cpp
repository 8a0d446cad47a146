// A Linux client: the FreeRDP add-in and its drivers.
#include "platform/Library.h"
#include "tools/check/Check.h"

namespace check {

int CheckThisPc(std::ostream& out) { return CheckFreeRdpClients(out, platform::SystemLibraryFolders()); }

}  // namespace check
