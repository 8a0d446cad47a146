// A Linux client: the FreeRDP add-in and its drivers.
#include "packaging/Names.h"
#include "tools/check/Check.h"

namespace host {

int CheckThisPc(std::ostream& out) { return CheckFreeRdpClient(out, names::kFreeRdpAddIn); }

}  // namespace host
