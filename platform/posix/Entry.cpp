// The module's load-time hook on POSIX: the counterpart of DllMain's process
// attach, finding the shared object's own folder through dladdr.
#include "diag/ModuleFolder.h"
#include "platform/Library.h"

namespace {

__attribute__((constructor)) void StoreModuleFolder() {
    try {
        const std::string path =
            platform::ModuleFileName(reinterpret_cast<const void*>(&StoreModuleFolder));
        if (!path.empty()) diag::SetModuleFolder(diag::FolderOfModulePath(path));
    } catch (...) {
    }
}

}  // namespace
