// A library that the maker's helper library needs in turn (libmakerbase.so,
// makerbase.dll), beside both: as a C++ runtime shipped beside a driver
// needs its own.
#include "platform/CallingConvention.h"

extern "C" KST_EXPORT const char* MakerBaseWords() { return "answered beside the driver"; }
