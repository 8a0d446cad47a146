#include "diag/ModuleFolder.h"

namespace diag {

// Constructed ahead of every other static object, so that the load-time hook
// that fills it can never run before it exists.
std::string ModuleFolder __attribute__((init_priority(101)));

void SetModuleFolder(const std::string& folder) {
    ModuleFolder = folder;
}

std::string FolderOfModulePath(const std::string& modulePath) {
    const std::string::size_type separator = modulePath.find_last_of("\\/");
    if (separator == std::string::npos) return modulePath;
    return modulePath.substr(0, separator);
}

}  // namespace diag
