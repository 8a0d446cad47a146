// kestav-host --check: what an administrator wants to know about a client PC,
// one line per finding, "OK ..." or "PROBLEM ...".
#pragma once

#include <ostream>

namespace host {

// Checks every ICA client found (32-bit and 64-bit registry views): its
// folder, the module's registration (present and single), the module file
// and its bitness, and each library under drivers\ (bitness, entry-point form,
// all 31 names). Returns the number of problems.
int CheckClientPc(std::ostream& out);

}  // namespace host
