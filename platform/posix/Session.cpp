#include "platform/Session.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

struct SessionClaim {
    int file;
};

// A lock on "kestav-...-<display>.lock" in $XDG_RUNTIME_DIR, the user's own
// folder (no other user can make or hold a file there); no claim without it.
SessionClaim* ClaimInSession(const std::string& name, Claim* result) {
    *result = Claim::Unavailable;
    const char* folder = getenv("XDG_RUNTIME_DIR");
    if (folder == nullptr || *folder != '/') return nullptr;
    const char* display = getenv("DISPLAY");
    std::string shown = display != nullptr ? display : "";
    for (char& c : shown)
        if (c == '/') c = '_';
    const std::string path = std::string(folder) + "/" + name + "-" + shown + ".lock";
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (file < 0) return nullptr;
    if (flock(file, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) *result = Claim::Taken;
        close(file);
        return nullptr;
    }
    *result = Claim::Made;
    return new SessionClaim{file};
}

void ReleaseClaim(SessionClaim* claim) {
    if (claim == nullptr) return;
    close(claim->file);  // releases the lock
    delete claim;
}

}  // namespace platform
