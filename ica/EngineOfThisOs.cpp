// The engine the shipped module is built for: the Citrix client of the OS it
// is built for.
#include "ica/Driver.h"
#include "platform/CitrixEngine.h"

namespace ica {

const EngineAbi& ModuleEngine() {
    return platform::ThisCitrixEngine() == platform::CitrixEngine::Linux ? kLinuxEngine
                                                                          : kWindowsEngine;
}

}  // namespace ica
