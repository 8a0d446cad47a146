// probe-dep.dll: a library the probe driver imports, as a maker's driver
// imports the libraries it ships beside itself.
#include "platform/CallingConvention.h"

extern "C" KST_EXPORT int KST_CDECL ProbeDependencyAnswer() { return 42; }
