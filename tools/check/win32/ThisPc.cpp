// A Windows client: the Citrix clients and the Remote Desktop plug-in.
#include "tools/check/Check.h"

namespace check {

int CheckThisPc(std::ostream& out) { return CheckClientPc(out); }

}  // namespace check
