// The ICA module for the engine the stand-in plays: the one built for this
// OS's Citrix engine, or (natively) the one built for the Windows engine.
#pragma once

#include <string>
#include <vector>

#include "platform/CitrixEngine.h"
#include "tests/support/TestSupport.h"

namespace testing_support {

inline std::string IcaModuleFor(platform::CitrixEngine kind) {
    return ExecutableFolder() + "/" +
           (kind == platform::ThisCitrixEngine() ? KST_MODULE_FILE : KST_WINDOWS_ENGINE_MODULE_FILE);
}

// The engines the stand-in plays here with a module built for each: the
// Windows engine everywhere, the Linux engine natively.
inline std::vector<platform::CitrixEngine> EnginesHere() {
    if (platform::ThisCitrixEngine() == platform::CitrixEngine::Windows)
        return {platform::CitrixEngine::Windows};
    return {platform::CitrixEngine::Windows, platform::CitrixEngine::Linux};
}

inline const char* EngineName(platform::CitrixEngine kind) {
    return kind == platform::CitrixEngine::Windows ? "Windows" : "Linux";
}

}  // namespace testing_support
