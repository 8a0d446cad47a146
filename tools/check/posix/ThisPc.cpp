// A Linux client: the FreeRDP add-in, Horizon's static plug-in, the Citrix
// client's ICA module and their drivers.
#include "platform/Library.h"
#include "platform/Names.h"
#include "tools/check/Check.h"

namespace check {

int CheckThisPc(std::ostream& out) {
    return CheckFreeRdpClients(out, platform::SystemLibraryFolders(),
                               {std::begin(names::kHorizonBridgeFolders), std::end(names::kHorizonBridgeFolders)},
                               {std::begin(names::kHorizonClientPrograms), std::end(names::kHorizonClientPrograms)},
                               {names::kCitrixLinuxFolder});
}

}  // namespace check
