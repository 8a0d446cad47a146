// A library a maker's driver needs and ships beside itself (libmakerhelp.so,
// makerhelp.dll), as a maker links it: by name, with no search path recorded.
// It needs libmakerbase.so (makerbase.dll) beside it in turn.
#include "platform/CallingConvention.h"

extern "C" const char* MakerBaseWords();

extern "C" KST_EXPORT const char* MakerHelpAnswer() { return MakerBaseWords(); }
