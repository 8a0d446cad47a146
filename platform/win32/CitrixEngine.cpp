// The Citrix Workspace app for Windows: no event loop is offered to a module;
// responses leave at the engine's polls (or through the high-performance
// channel).
#include "platform/CitrixEngine.h"

namespace platform {

CitrixEngine ThisCitrixEngine() { return CitrixEngine::Windows; }

EngineEvents FindEngineEvents() { return EngineEvents{}; }

bool WakePipe::Open() { return false; }
void WakePipe::Signal() {}
void WakePipe::Drain() {}
void WakePipe::Close() {}

}  // namespace platform
