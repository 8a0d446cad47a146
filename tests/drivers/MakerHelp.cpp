// A library a maker's driver needs and ships beside itself (libmakerhelp.so,
// makerhelp.dll), as a maker links it: by name, with no search path recorded.
#include "platform/CallingConvention.h"

extern "C" KST_EXPORT const char* MakerHelpAnswer() { return "answered beside the driver"; }
