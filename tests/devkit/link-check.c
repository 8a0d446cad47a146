/* A program as another toolchain builds it against the developer kit: the
   client library's header and one of its import libraries, nothing else
   (no C runtime). Its exit code is 40 plus the length of the library's
   version text, so a run shows that the import was bound and called. */
#include "KestavChannel.h"

int __stdcall start(void) {
    const char* version = KestavLibraryVersion();
    int length = 0;
    while (version[length] != 0) ++length;
    return 40 + length;
}
