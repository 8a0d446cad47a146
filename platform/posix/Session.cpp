#include "platform/Session.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/File.h"

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

// A lock on "<name>-<display>.lock" in the user's own folder, the log's
// ($XDG_RUNTIME_DIR, else one made in the temporary folder with the log's
// checks: no other user can make or hold a file there).
SessionClaim* ClaimInSession(const std::string& name, Claim* result) {
    *result = Claim::Unavailable;
    char folder[PATH_MAX];
    const std::uint32_t length = LogFolder(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return nullptr;
    const char* display = getenv("DISPLAY");
    std::string shown = display != nullptr ? display : "";
    for (char& c : shown)
        if (c == '/') c = '_';
    const std::string path = std::string(folder, length) + "/" + name + "-" + shown + ".lock";
    // A descriptor of its own (the log's open keeps and shares its appending one).
    const FileHandle file = OpenSharedAppend(path.c_str(), true);
    if (file == kNoFile) return nullptr;
    if (flock(int(file), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) *result = Claim::Taken;
        CloseFile(file);
        return nullptr;
    }
    *result = Claim::Made;
    return new SessionClaim{int(file)};
}

void ReleaseClaim(SessionClaim* claim) {
    if (claim == nullptr) return;
    close(claim->file);  // releases the lock
    delete claim;
}

}  // namespace platform
