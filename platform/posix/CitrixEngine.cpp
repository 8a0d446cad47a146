// The Citrix Workspace app for Linux: its event functions come from the client
// program that loaded the module (looked up in the whole process), and the
// wake-up is a non-blocking pipe.
#include "platform/CitrixEngine.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

CitrixEngine ThisCitrixEngine() { return CitrixEngine::Linux; }

namespace {
template <typename Function>
void Find(const char* name, Function* function) {
    *function = reinterpret_cast<Function>(reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, name)));
}
}  // namespace

EngineEvents FindEngineEvents() {
    EngineEvents events;
    Find("Evt_create", &events.create);
    Find("Evt_trigger_for_input", &events.triggerForInput);
    Find("Evt_remove_triggers", &events.removeTriggers);
    Find("Evt_destroy", &events.destroy);
    return events;
}

bool WakePipe::Open() {
    Close();
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) return true;
    ends[0] = ends[1] = -1;
    return false;
}

void WakePipe::Signal() {
    if (ends[1] < 0) return;
    const char byte = 1;
    // EAGAIN: the pipe is full, so the engine is woken already.
    while (write(ends[1], &byte, 1) < 0 && errno == EINTR) {
    }
}

void WakePipe::Drain() {
    if (ends[0] < 0) return;
    char bytes[64];
    for (;;) {
        const ssize_t got = read(ends[0], bytes, sizeof bytes);
        if (got > 0) continue;
        if (got < 0 && errno == EINTR) continue;
        return;  // empty (EAGAIN) or closed
    }
}

void WakePipe::Close() {
    for (int& end : ends) {
        if (end >= 0) close(end);
        end = -1;
    }
}

}  // namespace platform
