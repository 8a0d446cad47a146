// A thread of the module's own. Started outside DllMain only. On Windows it
// holds its own reference on the module (GetModuleHandleEx from its address)
// and leaves through FreeLibraryAndExitThread, so that an unload while it
// runs cannot pull its code away; on POSIX the C library lets go of its
// reference once the thread has left the module's code.
#pragma once

#include <cstdint>

namespace platform {

struct ModuleThread;
// Null when no thread can be started.
ModuleThread* StartModuleThread(void (*body)(void*), void* argument);
// Waits at most timeoutMs for the thread to end; true when it has. The
// thread stays known: it can be waited for again.
bool WaitModuleThread(ModuleThread* thread, std::uint32_t timeoutMs);
// Lets go of the thread; one still running goes on by itself.
void ReleaseModuleThread(ModuleThread* thread);

}  // namespace platform
