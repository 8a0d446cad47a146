// Waking the Linux engine's thread when the instrument thread has a response
// ready. The client's event loop watches a pipe; the instrument thread writes
// a byte into it; the loop calls Woken on the engine's thread, which hands the
// response over there. The engine's procedures are never called from the
// instrument thread. Where the client offers no event functions (or one
// fails), the response leaves at the engine's next poll, as on Windows.
#include "diag/LogFile.h"
#include "ica/Driver.h"
#include "platform/CitrixEngine.h"
#include "relay/VirtualChannelICA.h"

namespace ica {

namespace {

platform::EngineEvents events;
platform::WakePipe wakePipe;
void* wakeEvent = nullptr;
bool watched = false;

void Woken(void*, void*) {
    (void)Guarded([] {
        wakePipe.Drain();
        // A refused send (no output buffer) stays pending for the next poll.
        (void)SendData();
        return kStatusSuccess;
    });
}

}  // namespace

void StartEngineWake() {
    StopEngineWake();
    events = platform::FindEngineEvents();
    if (!events.Complete()) {
        diag::LogDetail("Engine events: none offered, responses leave at the engine's polls");
        return;
    }
    if (!wakePipe.Open() || events.create(nullptr, &Woken, nullptr, &wakeEvent) != 0 ||
        wakeEvent == nullptr) {
        diag::LogDetail("Engine events: cannot create one, responses leave at the engine's polls");
        StopEngineWake();
        return;
    }
    if (events.triggerForInput(wakeEvent, wakePipe.ReadEnd()) != 0) {
        diag::LogDetail("Engine events: cannot watch the wake pipe, responses leave at the engine's polls");
        StopEngineWake();
        return;
    }
    watched = true;
    relay::GetVirtualChannel().OnResponseReady([] { wakePipe.Signal(); });
    diag::LogDetail("Engine events: the instrument thread wakes the engine");
}

void StopEngineWake() {
    relay::GetVirtualChannel().OnResponseReady(nullptr);
    if (watched) (void)events.removeTriggers(wakePipe.ReadEnd());
    watched = false;
    if (wakeEvent != nullptr) (void)events.destroy(&wakeEvent);
    wakeEvent = nullptr;
    wakePipe.Close();
}

}  // namespace ica
