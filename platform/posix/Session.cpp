#include "platform/Session.h"

#include <stdlib.h>

namespace platform {

// An xrdp session (xrdp sets XRDP_SESSION in it) is a Remote Desktop one;
// anything else cannot be told apart from the machine's own console.
int SessionProtocol() {
    const char* xrdp = getenv("XRDP_SESSION");
    return xrdp != nullptr && *xrdp != '\0' ? 2 : -1;
}

unsigned SessionNumber() { return 0; }

// xrdp says nothing of it to a program in the session: opening a dynamic
// channel fails at once while no client is connected.
bool SessionHasClient() { return true; }

}  // namespace platform
