// Linked into a module (or a program) in place of the engine of the OS it is
// built for: the Windows engine's steps, for the native tests of them.
#include "ica/Driver.h"

namespace ica {

const EngineAbi& ModuleEngine() { return kWindowsEngine; }

}  // namespace ica
